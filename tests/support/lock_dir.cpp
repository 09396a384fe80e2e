#include "support/lock_dir.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace quarin::test {

const std::string& testLockDir()
{
    // Never destroyed: the clean-up at exit runs after the statics are gone.
    static const std::string& dir = *new std::string([] {
        std::error_code error;
        std::string pattern =
            (std::filesystem::temp_directory_path(error) / "quarin-locks-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            return std::string("/nonexistent");
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(testLockDir(), ignored);
        });
        return pattern;
    }());
    return dir;
}

} // namespace quarin::test
