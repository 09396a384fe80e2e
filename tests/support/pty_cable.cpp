#include "support/pty_cable.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace quarin::test {

namespace {

// openpty() cannot ask for O_CLOEXEC: set it at once, so no program the test starts (a peer,
// or one the code under test starts) keeps a master open and hides a vanish.
bool keepFromChildren(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool makeNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool makeRaw(int fd)
{
    termios settings = {};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool openPair(int& master, int& slave, std::string& path, std::string& error)
{
    char name[64] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    path = name;
    if (!keepFromChildren(master) || !keepFromChildren(slave) || !makeNonBlocking(master) ||
        !makeRaw(slave)) {
        error = "cannot set up " + path + ": " + std::strerror(errno);
        return false;
    }
    // The master's own settings are raw by default; making sure costs nothing.
    makeRaw(master);
    return true;
}

void append(std::vector<std::uint8_t>& to, const std::uint8_t* bytes, std::size_t count)
{
    to.insert(to.end(), bytes, bytes + count);
}

void closeFd(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

} // namespace

PtyCable::PtyCable()
{
    if (!openPair(m_quarinMaster, m_quarinSlave, m_quarinPath, m_error) ||
        !openPair(m_peerMaster, m_peerSlave, m_peerPath, m_error)) {
        return;
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        m_error = std::string("eventfd: ") + std::strerror(errno);
        return;
    }
    m_relay = std::thread([this] { relay(); });
}

PtyCable::~PtyCable()
{
    if (m_relay.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        wake();
        // The relay never blocks but in poll(), which the wake ends (and a 100 ms timeout
        // would end too), so this join is short.
        m_relay.join();
    }
    for (int* fd : {&m_quarinMaster, &m_quarinSlave, &m_peerMaster, &m_peerSlave, &m_wakeFd}) {
        closeFd(*fd);
    }
}

bool PtyCable::linkAsCom(const std::filesystem::path& dir, int n) const
{
    std::error_code error;
    std::filesystem::create_symlink(m_quarinPath, dir / ("COM" + std::to_string(n)), error);
    return !error;
}

void PtyCable::injectTowardQuarin(std::span<const std::uint8_t> bytes)
{
    {
        std::lock_guard lock(m_mutex);
        append(m_inject, bytes.data(), bytes.size());
    }
    wake();
}

void PtyCable::vanish()
{
    std::unique_lock lock(m_mutex);
    if (!m_relay.joinable()) {
        return;
    }
    m_vanishRequested = true;
    lock.unlock();
    wake();
    lock.lock();
    m_changed.wait_for(lock, std::chrono::seconds(5), [this] { return m_vanished; });
}

std::vector<std::uint8_t> PtyCable::sentByQuarin() const
{
    std::lock_guard lock(m_mutex);
    return m_fromQuarin;
}

std::vector<std::uint8_t> PtyCable::sentByPeer() const
{
    std::lock_guard lock(m_mutex);
    return m_fromPeer;
}

bool PtyCable::waitSentByQuarin(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_fromQuarin.size() >= count; });
}

void PtyCable::clearRecords()
{
    std::lock_guard lock(m_mutex);
    m_fromQuarin.clear();
    m_fromPeer.clear();
}

void PtyCable::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t rc = write(m_wakeFd, &one, sizeof one);
}

// Writes what the master takes now; the rest waits for POLLOUT. False when the master is dead.
bool PtyCable::flush(int fd, std::vector<std::uint8_t>& pending)
{
    while (!pending.empty()) {
        const ssize_t written = write(fd, pending.data(), pending.size());
        if (written < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        pending.erase(pending.begin(), pending.begin() + written);
    }
    return true;
}

void PtyCable::relay()
{
    std::vector<std::uint8_t> toQuarin;
    std::vector<std::uint8_t> toPeer;
    std::uint8_t chunk[4096];
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stop) {
                return;
            }
            append(toQuarin, m_inject.data(), m_inject.size());
            m_inject.clear();
            if (m_vanishRequested && !m_vanished) {
                closeFd(m_quarinMaster);
                closeFd(m_quarinSlave);
                toQuarin.clear();
                m_vanished = true;
                m_changed.notify_all();
            }
        }
        if (m_quarinMaster >= 0 && !flush(m_quarinMaster, toQuarin)) {
            toQuarin.clear();
        }
        if (m_peerMaster >= 0 && !flush(m_peerMaster, toPeer)) {
            toPeer.clear();
        }

        const auto events = [](int fd, const std::vector<std::uint8_t>& pending) {
            const short out = pending.empty() ? 0 : POLLOUT;
            return pollfd{fd, static_cast<short>(POLLIN | out), 0};
        };
        pollfd fds[3] = {
            {m_wakeFd, POLLIN, 0}, events(m_quarinMaster, toQuarin), events(m_peerMaster, toPeer)};
        // A negative descriptor is skipped by poll(): a vanished master simply drops out.
        if (poll(fds, 3, 100) < 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t rc = read(m_wakeFd, &count, sizeof count);
        }
        bool idleHangUp = false;
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t got = read(m_quarinMaster, chunk, sizeof chunk);
            if (got > 0) {
                const auto count = static_cast<std::size_t>(got);
                std::lock_guard lock(m_mutex);
                append(m_fromQuarin, chunk, count);
                m_changed.notify_all();
                if (m_echo) {
                    append(toQuarin, chunk, count);
                }
                if (!m_peerDeaf) {
                    append(toPeer, chunk, count);
                }
            }
        } else if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            idleHangUp = true;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            const ssize_t got = read(m_peerMaster, chunk, sizeof chunk);
            if (got > 0) {
                const auto count = static_cast<std::size_t>(got);
                std::lock_guard lock(m_mutex);
                append(m_fromPeer, chunk, count);
                if (!m_peerMuted) {
                    append(toQuarin, chunk, count);
                }
            }
        } else if ((fds[2].revents & (POLLHUP | POLLERR)) != 0) {
            idleHangUp = true;
        }
        if (idleHangUp) {
            // Cannot happen while the cable holds both slave ends; should it, do not spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

} // namespace quarin::test
