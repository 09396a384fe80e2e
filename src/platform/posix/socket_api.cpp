#include "platform/posix/socket_api.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/posix/halt_event.h"
#include "platform/posix/poll_wait.h"

namespace quarin::posix {

namespace {

// The thread's last socket error, as the console's texts show it.
thread_local int t_lastError = 0;

void fail(int error)
{
    t_lastError = error;
}

bool setBlocking(int fd, bool blocking)
{
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    flags = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

} // namespace

PosixSocketApi::PosixSocketApi(const EventFdHalt& halt) : m_halt(halt) {}

bool PosixSocketApi::startup()
{
    ++m_startups;
    return true;
}

void PosixSocketApi::cleanup()
{
    int count = m_startups.load();
    while (count > 0 && !m_startups.compare_exchange_weak(count, count - 1)) {
    }
}

std::optional<std::string> PosixSocketApi::resolve(const std::string& hostName)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(hostName.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> dotted;
    sockaddr_in address{};
    if (found->ai_addrlen >= sizeof address) {
        std::memcpy(&address, found->ai_addr, sizeof address);
        char text[INET_ADDRSTRLEN];
        if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) != nullptr) {
            dotted = text;
        }
    }
    ::freeaddrinfo(found);
    return dotted;
}

SocketHandle PosixSocketApi::connect(std::uint32_t address, std::uint16_t port)
{
    if (m_halt.raised()) {
        fail(ECANCELED);
        return kNoSocket;
    }
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        fail(errno);
        return kNoSocket;
    }
    auto abandon = [s](int error) {
        ::close(s);
        fail(error);
        return kNoSocket;
    };
    // Non-blocking only so that the halt can cut the attempt short; it has no time-out.
    if (!setBlocking(s, false)) {
        return abandon(errno);
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            return abandon(errno);
        }
        WaitOutcome wait = waitForFd(s, POLLOUT, m_halt.fd(), std::nullopt);
        if (wait.wake == Wake::Halted) {
            return abandon(ECANCELED);
        }
        if (wait.wake == Wake::Failed) {
            return abandon(wait.error);
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return abandon(errno);
        }
        if (error != 0) {
            return abandon(error);
        }
    }
    if (!setBlocking(s, true)) {
        return abandon(errno);
    }
    return s;
}

WaitResult PosixSocketApi::waitWritable(SocketHandle s, int seconds)
{
    return wait(s, POLLOUT, seconds);
}

WaitResult PosixSocketApi::waitReadable(SocketHandle s, int seconds)
{
    return wait(s, POLLIN, seconds);
}

WaitResult PosixSocketApi::wait(SocketHandle s, short events, int seconds)
{
    if (s < 0) {
        fail(EBADF);
        return WaitResult::Failed;
    }
    int ms = seconds <= 0 ? 0 : seconds >= INT_MAX / 1000 ? INT_MAX : seconds * 1000;
    WaitOutcome outcome = waitForFd(s, events, m_halt.fd(), deadlineAfter(ms));
    switch (outcome.wake) {
    case Wake::Ready:
        if ((outcome.revents & POLLNVAL) != 0) {
            fail(EBADF);
            return WaitResult::Failed;
        }
        // Like select(): a pending error or hang-up counts as ready, and the next send or recv
        // reports it.
        return WaitResult::Ready;
    case Wake::TimedOut:
        return WaitResult::TimedOut;
    case Wake::Halted:
        fail(ECANCELED);
        return WaitResult::Failed;
    case Wake::Failed:
        fail(outcome.error);
        return WaitResult::Failed;
    }
    return WaitResult::Failed;
}

long PosixSocketApi::send(SocketHandle s, std::span<const std::uint8_t> bytes)
{
    for (;;) {
        // MSG_NOSIGNAL: a peer that reset the connection must not end the program with SIGPIPE.
        ssize_t n = ::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            fail(errno);
            return -1;
        }
    }
}

long PosixSocketApi::recv(SocketHandle s, std::span<std::uint8_t> buffer)
{
    for (;;) {
        ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            fail(errno);
            return -1;
        }
    }
}

void PosixSocketApi::discardPending(SocketHandle s)
{
    std::uint8_t scratch[512];
    for (;;) {
        ssize_t n = ::recv(s, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && errno == EINTR)) {
            continue;
        }
        return;
    }
}

bool PosixSocketApi::refuse(SocketHandle s)
{
    if (s < 0) {
        fail(EBADF);
        return true;
    }
    // A halted caller sends and receives nothing more, even where no wait would be made.
    if (m_halt.raised()) {
        fail(ECANCELED);
        return true;
    }
    return false;
}

Transfer PosixSocketApi::sendFresh(SocketHandle s, std::span<const std::uint8_t> bytes, int seconds)
{
    if (refuse(s)) {
        return {-1, true};
    }
    discardPending(s);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN) {
            if (wait(s, POLLOUT, seconds) != WaitResult::Ready) {
                return {-1, true};
            }
        } else if (errno != EINTR) {
            fail(errno);
            return {-1, false};
        }
    }
    return {static_cast<long>(sent), false};
}

Transfer PosixSocketApi::receiveWithin(SocketHandle s, std::span<std::uint8_t> buffer, int seconds)
{
    if (refuse(s)) {
        return {-1, true};
    }
    for (;;) {
        const ssize_t n = ::recv(s, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n >= 0) {
            return {n, false};
        }
        if (errno == EAGAIN) {
            if (wait(s, POLLIN, seconds) != WaitResult::Ready) {
                return {-1, true};
            }
        } else if (errno != EINTR) {
            fail(errno);
            return {-1, false};
        }
    }
}

void PosixSocketApi::close(SocketHandle s)
{
    if (s >= 0) {
        ::close(s);
    }
}

int PosixSocketApi::lastError() const
{
    return t_lastError;
}

} // namespace quarin::posix
