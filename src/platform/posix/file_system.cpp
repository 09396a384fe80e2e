#include "platform/posix/file_system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarin::posix {

namespace {

// A descriptor closed on every way out.
class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}

    ~Fd() { reset(); }

    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }

    bool valid() const { return m_fd >= 0; }

    // The error of close() matters after a write: a full disk may show only there.
    int reset()
    {
        int error = 0;
        if (m_fd >= 0 && ::close(m_fd) != 0) {
            error = errno;
        }
        m_fd = -1;
        return error;
    }

private:
    int m_fd;
};

// 0 or errno.
int writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::string folderOf(const std::string& path)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symlinks to the file they lead to, which need not exist yet.
std::string linkTarget(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat entry
        {
        };

        if (::lstat(path.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode)) {
            return path;
        }
        char buffer[4096];
        ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
            return path;
        }
        std::string target(buffer, static_cast<std::size_t>(length));
        path = target.front() == '/' ? target : folderOf(path) + "/" + target;
    }
    return path;
}

// The mode a new file gets; read without umask(), which would change it for every thread.
mode_t newFileMode()
{
    mode_t mask = 022;
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            unsigned int value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = value;
                break;
            }
        }
        std::fclose(status);
    }
    return 0644 & ~mask;
}

// Not emptied first: a write cut short would leave a short file. The room is claimed before the
// first byte, so a full disk or a size limit leaves the old contents whole.
bool writeInPlace(const std::string& path, std::string_view contents)
{
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644));
    if (!fd.valid()) {
        return false;
    }

    struct stat entry
    {
    };

    const bool regular = ::fstat(fd.get(), &entry) == 0 && S_ISREG(entry.st_mode);
    const auto size = static_cast<off_t>(contents.size());
    if (regular && size > entry.st_size && ::fallocate(fd.get(), 0, 0, size) != 0 &&
        errno != EOPNOTSUPP) {
        return false;
    }
    if (writeAll(fd.get(), contents) != 0 || (regular && ::ftruncate(fd.get(), size) != 0)) {
        return false;
    }
    return fd.reset() == 0;
}

void syncFolder(const std::string& folder)
{
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        ::fsync(fd.get());
    }
}

} // namespace

std::optional<std::string> PosixFileSystem::readAll(const std::string& path)
{
    // Non-blocking: a FIFO put in a file's place would otherwise hold the window's thread until
    // someone writes to it. A regular file reads as ever.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
        return std::nullopt;
    }
    std::string contents;
    char buffer[8192];
    while (contents.size() < kReadLimit) {
        std::size_t wanted = std::min(sizeof buffer, kReadLimit - contents.size());
        ssize_t n = ::read(fd.get(), buffer, wanted);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                break; // a FIFO with a silent writer: what came is all there is
            }
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    return contents;
}

bool PosixFileSystem::replace(const std::string& path, std::string_view contents)
{
    std::string target = linkTarget(path);

    struct stat existing
    {
    };

    bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        // A device or a pipe cannot be renamed over.
        return writeInPlace(target, contents);
    }
    // A file made read-only (settings frozen on purpose) stays as it is; a rename would not ask.
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;
    }
    std::string folder = folderOf(target);
    std::string temporary = target + ".XXXXXX";
    Fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) {
        // Only a folder that takes no new file is written in place. Any other failure (a full
        // disk, an exhausted quota) ends the save with the old file whole.
        const int error = errno;
        return (error == EACCES || error == EPERM) && writeInPlace(target, contents);
    }
    auto discard = [&] {
        fd.reset();
        ::unlink(temporary.c_str());
        return false;
    };
    if (exists) {
        // Root rewriting someone's file should leave it theirs; failing that is no error.
        [[maybe_unused]] int owned = ::fchown(fd.get(), existing.st_uid, existing.st_gid);
    }
    mode_t mode = exists ? existing.st_mode & 07777 : newFileMode();
    if (::fchmod(fd.get(), mode) != 0 || writeAll(fd.get(), contents) != 0 ||
        ::fsync(fd.get()) != 0 || fd.reset() != 0) {
        return discard();
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        return discard();
    }
    syncFolder(folder);
    return true;
}

bool PosixFileSystem::remove(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

int PosixFileSystem::appendLocked(const std::string& path, std::string_view line)
{
    Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644));
    if (!fd.valid()) {
        return errno;
    }
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    if (int error = writeAll(fd.get(), line); error != 0) {
        return error;
    }
    // Closing releases the lock.
    return fd.reset();
}

} // namespace quarin::posix
