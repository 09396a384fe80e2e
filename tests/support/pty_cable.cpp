#include "support/pty_cable.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <span>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace quarin::test {

namespace {

bool makeNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void append(std::vector<std::uint8_t>& to, const std::uint8_t* bytes, std::size_t count)
{
    to.insert(to.end(), bytes, bytes + count);
}

// What is pending for a dead master is dropped; a vanished one (-1) keeps it.
void flushOrDrop(int fd,
                 std::vector<std::uint8_t>& pending,
                 bool (*flush)(int, std::vector<std::uint8_t>&))
{
    if (fd >= 0 && !flush(fd, pending)) {
        pending.clear();
    }
}

pollfd pollFor(int fd, const std::vector<std::uint8_t>& pending)
{
    const short out = pending.empty() ? 0 : POLLOUT;
    return pollfd{fd, static_cast<short>(POLLIN | out), 0};
}

// Hands what fd has ready to take; true when its end hung up instead.
template <typename Take>
bool readReady(short revents, int fd, std::span<std::uint8_t> chunk, Take take)
{
    if ((revents & POLLIN) != 0) {
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got > 0) {
            take(static_cast<std::size_t>(got));
        }
        return false;
    }
    return (revents & (POLLHUP | POLLERR)) != 0;
}

long bitsPerSecond(speed_t speed)
{
    switch (speed) {
    case B300:
        return 300;
    case B600:
        return 600;
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    default:
        return 0;
    }
}

void closeFd(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

} // namespace

PtyCable::PtyCable(Line line) : m_line(line)
{
    if (!m_quarin.open(m_error) || !m_peer.open(m_error)) {
        return;
    }
    if (!makeNonBlocking(m_quarin.master()) || !makeNonBlocking(m_peer.master())) {
        m_error = std::string("cannot set up the masters: ") + std::strerror(errno);
        return;
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        m_error = std::string("eventfd: ") + std::strerror(errno);
        return;
    }
    if (m_line == Line::WireTimed) {
        m_closeWatch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_closeWatch < 0 ||
            inotify_add_watch(m_closeWatch, m_quarin.path().c_str(), IN_CLOSE_WRITE) < 0) {
            m_error = std::string("inotify: ") + std::strerror(errno);
            return;
        }
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
    closeFd(m_wakeFd);
    closeFd(m_closeWatch);
}

bool PtyCable::linkAsCom(const std::filesystem::path& dir, int n) const
{
    std::string error;
    return m_quarin.linkAsCom(dir, n, error);
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

bool PtyCable::waitSentByPeer(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_fromPeer.size() >= count; });
}

bool PtyCable::waitQueuedTowardQuarin(std::size_t count, std::chrono::milliseconds timeout) const
{
    // The relay's writes into the master raise no event here, so the queue is looked at.
    const auto until = Clock::now() + timeout;
    for (;;) {
        int queued = 0;
        {
            std::lock_guard lock(m_mutex);
            if (m_quarin.held() < 0 || ioctl(m_quarin.held(), FIONREAD, &queued) != 0) {
                return false;
            }
        }
        if (static_cast<std::size_t>(queued) >= count) {
            return true;
        }
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<std::uint8_t> PtyCable::receivedByPeer() const
{
    std::lock_guard lock(m_mutex);
    return m_toPeer;
}

bool PtyCable::waitReceivedByPeer(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_toPeer.size() >= count; });
}

bool PtyCable::setPeerLine(int baudRate, int stopBits)
{
    static constexpr std::pair<int, speed_t> kSpeeds[] = {{1200, B1200},
                                                          {2400, B2400},
                                                          {4800, B4800},
                                                          {9600, B9600},
                                                          {19200, B19200},
                                                          {38400, B38400}};
    termios settings = {};
    if (tcgetattr(m_peer.held(), &settings) != 0) {
        return false;
    }
    for (const auto& [baud, speed] : kSpeeds) {
        if (baud == baudRate) {
            cfsetispeed(&settings, speed);
            cfsetospeed(&settings, speed);
            settings.c_cflag &= ~tcflag_t{CSTOPB};
            settings.c_cflag |= stopBits == 2 ? tcflag_t{CSTOPB} : tcflag_t{0};
            return tcsetattr(m_peer.held(), TCSANOW, &settings) == 0;
        }
    }
    return false;
}

std::chrono::microseconds PtyCable::exchangeTime() const
{
    std::lock_guard lock(m_mutex);
    if (!m_firstQuarinStart || !m_lastTowardQuarinEnd) {
        return {};
    }
    return std::chrono::duration_cast<std::chrono::microseconds>(*m_lastTowardQuarinEnd -
                                                                 *m_firstQuarinStart);
}

void PtyCable::clearRecords()
{
    std::lock_guard lock(m_mutex);
    m_fromQuarin.clear();
    m_fromPeer.clear();
    m_toPeer.clear();
    m_firstQuarinStart.reset();
    m_lastTowardQuarinEnd.reset();
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

void PtyCable::drainWakeFd()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t rc = read(m_wakeFd, &count, sizeof count);
}

void PtyCable::relay()
{
    if (m_line == Line::WireTimed) {
        // The wire starts when the relay takes the bytes: on a busy machine a relay that waits
        // for a core would start it late. Where the test may (as root), it waits for none.
        const sched_param realTime{1};
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
        relayWireTimed();
    } else {
        relayInstant();
    }
}

void PtyCable::relayInstant()
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
                m_quarin.close();
                toQuarin.clear();
                m_vanished = true;
                m_changed.notify_all();
            }
        }
        flushOrDrop(m_quarin.master(), toQuarin, flush);
        flushOrDrop(m_peer.master(), toPeer, flush);

        pollfd fds[3] = {{m_wakeFd, POLLIN, 0},
                         pollFor(m_quarin.master(), toQuarin),
                         pollFor(m_peer.master(), toPeer)};
        // A negative descriptor is skipped by poll(): a vanished master simply drops out.
        if (poll(fds, 3, 100) < 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            drainWakeFd();
        }
        const bool quarinHungUp =
            readReady(fds[1].revents, m_quarin.master(), chunk, [&](std::size_t count) {
                std::lock_guard lock(m_mutex);
                append(m_fromQuarin, chunk, count);
                m_changed.notify_all();
                if (m_echo) {
                    append(toQuarin, chunk, count);
                }
                if (!m_peerDeaf) {
                    append(toPeer, chunk, count);
                    append(m_toPeer, chunk, count);
                }
            });
        const bool peerHungUp =
            readReady(fds[2].revents, m_peer.master(), chunk, [&](std::size_t count) {
                std::lock_guard lock(m_mutex);
                append(m_fromPeer, chunk, count);
                m_changed.notify_all();
                if (!m_peerMuted) {
                    append(toQuarin, chunk, count);
                }
            });
        if (quarinHungUp || peerHungUp) {
            // Cannot happen while the cable holds both slave ends; should it, do not spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

namespace {

std::chrono::steady_clock::duration characterTime(unsigned speed, unsigned frame)
{
    const long baud = bitsPerSecond(speed);
    if (baud == 0) {
        return {};
    }
    long dataBits = 8;
    switch (frame & CSIZE) {
    case CS5:
        dataBits = 5;
        break;
    case CS6:
        dataBits = 6;
        break;
    case CS7:
        dataBits = 7;
        break;
    default:
        break;
    }
    const long bits =
        1 + dataBits + ((frame & PARENB) != 0 ? 1 : 0) + ((frame & CSTOPB) != 0 ? 2 : 1);
    return std::chrono::nanoseconds(bits * 1'000'000'000L / baud);
}

} // namespace

PtyCable::Clock::time_point PtyCable::sendOnWire(std::deque<OnWire>& wire,
                                                 Clock::time_point& lineFree,
                                                 const std::uint8_t* bytes,
                                                 std::size_t count,
                                                 const LineState& line,
                                                 bool fromQuarin,
                                                 Clock::duration gap)
{
    const Clock::duration character = characterTime(line.speed, line.frame);
    const Clock::time_point now = Clock::now();
    Clock::time_point first{};
    for (std::size_t i = 0; i < count; ++i) {
        // Back to back while the line is busy, with the gap, if any, between two characters.
        const Clock::time_point start = lineFree > now - gap ? lineFree + gap : now;
        if (i == 0) {
            first = start;
        }
        lineFree = start + character;
        wire.push_back({bytes[i], lineFree, line, fromQuarin, false});
    }
    return first;
}

PtyCable::LineState PtyCable::lineOf(int slaveFd)
{
    termios settings = {};
    if (slaveFd < 0 || tcgetattr(slaveFd, &settings) != 0) {
        return {};
    }
    return {cfgetospeed(&settings), settings.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB)};
}

bool PtyCable::quarinClosed()
{
    bool closed = false;
    alignas(inotify_event) char events[1024];
    while (read(m_closeWatch, events, sizeof events) > 0) {
        closed = true;
    }
    return closed;
}

void PtyCable::relayWireTimed()
{
    std::deque<OnWire> towardPeer;
    std::deque<OnWire> towardQuarin;
    Clock::time_point quarinLineFree{};
    Clock::time_point peerLineFree{};
    Clock::time_point lastLook = Clock::now();
    std::vector<std::uint8_t> toQuarin;
    std::vector<std::uint8_t> toPeer;
    std::uint8_t chunk[4096];
    LineState quarinLine;
    LineState peerLine;
    // A sender that closes or changes its settings spoils what it still has on the wire; the
    // change came after the last look, so what was off the wire by then is whole. Every look
    // comes before new bytes are taken, which then go at the settings that stand.
    const auto look = [&] {
        quarinLine = lineOf(m_quarin.held());
        peerLine = lineOf(m_peer.held());
        const bool closed = quarinClosed();
        for (std::deque<OnWire>* wire : {&towardPeer, &towardQuarin}) {
            for (OnWire& b : *wire) {
                const LineState& sender = b.fromQuarin ? quarinLine : peerLine;
                if (b.end > lastLook && (b.sentOn != sender || (b.fromQuarin && closed))) {
                    b.garbled = true;
                }
            }
        }
        lastLook = Clock::now();
    };
    for (;;) {
        std::vector<std::uint8_t> injected;
        {
            std::lock_guard lock(m_mutex);
            if (m_stop) {
                return;
            }
            injected.swap(m_inject);
            if (m_vanishRequested && !m_vanished) {
                m_quarin.close();
                toQuarin.clear();
                towardQuarin.clear();
                m_vanished = true;
                m_changed.notify_all();
            }
        }
        look();
        sendOnWire(
            towardQuarin, peerLineFree, injected.data(), injected.size(), peerLine, false, {});
        const Clock::time_point now = Clock::now();

        const auto land = [&](std::deque<OnWire>& wire,
                              const LineState& receiver,
                              std::vector<std::uint8_t>& out,
                              bool towardQuarinEnd) {
            std::lock_guard lock(m_mutex);
            while (!wire.empty() && wire.front().end <= now) {
                const OnWire& b = wire.front();
                const std::uint8_t byte =
                    b.garbled || b.sentOn != receiver ? garbled(b.byte) : b.byte;
                out.push_back(byte);
                if (towardQuarinEnd) {
                    m_lastTowardQuarinEnd = b.end;
                } else {
                    m_toPeer.push_back(byte);
                }
                wire.pop_front();
            }
            m_changed.notify_all();
        };
        land(towardPeer, peerLine, toPeer, false);
        land(towardQuarin, quarinLine, toQuarin, true);

        flushOrDrop(m_quarin.master(), toQuarin, flush);
        flushOrDrop(m_peer.master(), toPeer, flush);

        pollfd fds[4] = {{m_wakeFd, POLLIN, 0},
                         pollFor(m_quarin.master(), toQuarin),
                         pollFor(m_peer.master(), toPeer),
                         {m_closeWatch, POLLIN, 0}};
        Clock::time_point wakeAt = now + std::chrono::milliseconds(100);
        for (const std::deque<OnWire>* wire : {&towardPeer, &towardQuarin}) {
            if (!wire->empty()) {
                wakeAt = std::min(wakeAt, wire->front().end);
            }
        }
        const auto wait = std::max(Clock::duration{}, wakeAt - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec timeout{ns / 1'000'000'000L, ns % 1'000'000'000L};
        if (ppoll(fds, 4, &timeout, nullptr) < 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            drainWakeFd();
        }
        look();
        const bool quarinHungUp =
            readReady(fds[1].revents, m_quarin.master(), chunk, [&](std::size_t count) {
                std::deque<OnWire> sent;
                const Clock::time_point start =
                    sendOnWire(sent, quarinLineFree, chunk, count, quarinLine, true, {});
                std::lock_guard lock(m_mutex);
                append(m_fromQuarin, chunk, count);
                m_changed.notify_all();
                if (!m_firstQuarinStart) {
                    m_firstQuarinStart = start;
                }
                if (m_echo) {
                    towardQuarin.insert(towardQuarin.end(), sent.begin(), sent.end());
                }
                if (!m_peerDeaf) {
                    towardPeer.insert(towardPeer.end(), sent.begin(), sent.end());
                }
            });
        const bool peerHungUp =
            readReady(fds[2].revents, m_peer.master(), chunk, [&](std::size_t count) {
                const std::chrono::microseconds gap(m_replyGap.load());
                std::lock_guard lock(m_mutex);
                append(m_fromPeer, chunk, count);
                m_changed.notify_all();
                if (!m_peerMuted) {
                    sendOnWire(towardQuarin, peerLineFree, chunk, count, peerLine, false, gap);
                }
            });
        if (quarinHungUp || peerHungUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

} // namespace quarin::test
