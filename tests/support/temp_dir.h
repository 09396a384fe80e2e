#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace quarin::test {

// Whether a fresh folder becomes the current directory while it lasts.
enum class Cwd
{
    Enter,
    Stay
};

// A fresh folder under the system's temporary directory that the test works in, as Quarin works
// in its current folder (Quarin.ini, Quarin.log, COM<n> links). Unless told to stay, the
// constructor makes it the current directory and the destructor goes back to the previous one;
// the destructor removes the folder with everything in it.
class TempDir
{
public:
    explicit TempDir(Cwd cwd = Cwd::Enter);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // False (with error()) when the folder could not be made or entered.
    bool ok() const { return m_error.empty(); }

    const std::string& error() const { return m_error; }

    const std::filesystem::path& path() const { return m_path; }

    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
    std::filesystem::path m_previous;
    std::string m_error;
};

// A file with exactly these bytes, made or overwritten.
inline void writeFile(const std::string& path, const std::string& contents)
{
    std::ofstream(path, std::ios::binary) << contents;
}

} // namespace quarin::test
