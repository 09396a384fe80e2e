#include "support/temp_dir.h"

#include <cstdlib>
#include <system_error>

namespace quarin::test {

TempDir::TempDir(Cwd cwd)
{
    std::error_code error;
    if (cwd == Cwd::Enter) {
        m_previous = std::filesystem::current_path(error);
        if (error) {
            m_error = "no current directory: " + error.message();
            return;
        }
    }
    const auto base = std::filesystem::temp_directory_path(error);
    if (error) {
        m_error = "no temporary directory: " + error.message();
        return;
    }
    std::string pattern = (base / "quarin-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        m_error = "mkdtemp failed for " + pattern;
        return;
    }
    m_path = pattern;
    if (cwd == Cwd::Stay) {
        return;
    }
    std::filesystem::current_path(m_path, error);
    if (error) {
        m_error = "cannot enter " + pattern + ": " + error.message();
    }
}

TempDir::~TempDir()
{
    std::error_code error;
    if (!m_previous.empty()) {
        std::filesystem::current_path(m_previous, error);
    }
    if (!m_path.empty()) {
        std::filesystem::remove_all(m_path, error);
    }
}

} // namespace quarin::test
