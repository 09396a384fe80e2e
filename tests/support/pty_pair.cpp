#include "support/pty_pair.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace quarin::test {

namespace {

bool makeRaw(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

// openpty() cannot ask for O_CLOEXEC: set it at once, so no program the test starts keeps an end
// open and hides a close.
bool keepFromChildren(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

} // namespace

void PtyPair::close()
{
    for (int* fd : {&m_master, &m_held}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

bool PtyPair::open(std::string& error)
{
    char name[64] = {};
    if (openpty(&m_master, &m_held, name, nullptr, nullptr) != 0) {
        error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    m_path = name;
    // Raw from the start: a fresh pty echoes, and the slave would read its own replies back.
    if (!keepFromChildren(m_master) || !keepFromChildren(m_held) || !makeRaw(m_held) ||
        !makeRaw(m_master)) {
        error = "cannot set up " + m_path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool PtyPair::linkAsCom(const std::filesystem::path& dir, int n, std::string& error) const
{
    std::error_code failed;
    const std::filesystem::path link = dir / ("COM" + std::to_string(n));
    std::filesystem::remove(link, failed);
    std::filesystem::create_symlink(m_path, link, failed);
    if (failed) {
        error = "link " + link.string() + ": " + failed.message();
        return false;
    }
    return true;
}

} // namespace quarin::test
