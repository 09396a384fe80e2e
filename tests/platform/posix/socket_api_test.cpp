#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/halt_event.h"
#include "platform/posix/socket_api.h"
#include "posix_test_support.h"

namespace quarin::posix {
namespace {

using test::Clock;
using test::msSince;
using test::onFreshThread;

constexpr std::uint32_t kLoopback = 0x7F000001;

// A TCP socket bound to 127.0.0.1 on a port of the kernel's choice; listening unless told not to.
class Endpoint
{
public:
    explicit Endpoint(int backlog = 8, bool listening = true)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            m_port = ntohs(address.sin_port);
        }
        if (listening) {
            ::listen(m_fd, backlog);
        }
    }

    ~Endpoint() { ::close(m_fd); }

    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    std::uint16_t port() const { return m_port; }

    // True once a connection waits to be accepted; false after a few seconds.
    bool pending() const
    {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 5000) == 1;
    }

    // The next connection, or -1 after a few seconds.
    int accept() const { return pending() ? ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC) : -1; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

std::string recvText(int fd)
{
    char buffer[64];
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) {
        return {};
    }
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

void sendText(int fd, const std::string& text)
{
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
}

std::span<const std::uint8_t> bytesOf(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class SocketApiTest : public testing::Test
{
protected:
    // A connection made by the API, and the peer's end of it.
    struct Pair
    {
        SocketHandle client = kNoSocket;
        int peer = -1;
    };

    Pair connectTo(const Endpoint& listener)
    {
        Pair pair;
        pair.client = m_api.connect(kLoopback, listener.port());
        pair.peer = listener.accept();
        m_toClose.push_back(pair.peer);
        m_handles.push_back(pair.client);
        return pair;
    }

    std::string receive(SocketHandle s)
    {
        std::uint8_t buffer[64];
        long n = m_api.recv(s, buffer);
        return n > 0 ? std::string(buffer, buffer + n) : std::string();
    }

    void TearDown() override
    {
        for (int fd : m_toClose) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        for (SocketHandle s : m_handles) {
            m_api.close(s);
        }
    }

    EventFdHalt m_halt;
    PosixSocketApi m_api{m_halt};
    std::vector<int> m_toClose;
    std::vector<SocketHandle> m_handles;
};

TEST_F(SocketApiTest, ResolvesLocalhost)
{
    EXPECT_EQ(m_api.resolve("localhost"), "127.0.0.1");
}

TEST_F(SocketApiTest, StartupsAreCounted)
{
    EXPECT_TRUE(m_api.startup());
    EXPECT_TRUE(m_api.startup());
    EXPECT_EQ(m_api.startups(), 2);
    m_api.cleanup();
    m_api.cleanup();
    m_api.cleanup();
    EXPECT_EQ(m_api.startups(), 0);
}

TEST_F(SocketApiTest, ConnectsSendsAndReceives)
{
    Endpoint listener;
    Pair pair = connectTo(listener);
    ASSERT_NE(pair.client, kNoSocket);
    ASSERT_GE(pair.peer, 0);

    EXPECT_EQ(m_api.waitWritable(pair.client, 1), WaitResult::Ready);
    EXPECT_EQ(m_api.send(pair.client, bytesOf("request")), 7);
    EXPECT_EQ(recvText(pair.peer), "request");

    sendText(pair.peer, "reply");
    EXPECT_EQ(m_api.waitReadable(pair.client, 5), WaitResult::Ready);
    EXPECT_EQ(receive(pair.client), "reply");

    // The connection is blocking again: a later recv waits for its data instead of failing.
    int flags = ::fcntl(pair.client, F_GETFL);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    EXPECT_EQ(::fcntl(pair.client, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST_F(SocketApiTest, APeerThatClosesGivesAnEmptyReceive)
{
    Endpoint listener;
    Pair pair = connectTo(listener);
    ASSERT_GE(pair.peer, 0);
    ::close(pair.peer);
    m_toClose.back() = -1;
    EXPECT_EQ(m_api.waitReadable(pair.client, 5), WaitResult::Ready);
    std::uint8_t buffer[6];
    EXPECT_EQ(m_api.recv(pair.client, buffer), 0);
}

TEST_F(SocketApiTest, WaitsThatRunOutLeaveTheErrorAlone)
{
    Endpoint listener;
    Pair pair = connectTo(listener);
    ASSERT_NE(pair.client, kNoSocket);

    struct Outcome
    {
        int before = -1;
        WaitResult result = WaitResult::Ready;
        long ms = 0;
        int after = -1;
    };

    Outcome outcome = onFreshThread([&] {
        Outcome o;
        o.before = m_api.lastError();
        auto start = Clock::now();
        o.result = m_api.waitReadable(pair.client, 1);
        o.ms = msSince(start);
        o.after = m_api.lastError();
        return o;
    });
    EXPECT_EQ(outcome.before, 0);
    EXPECT_EQ(outcome.result, WaitResult::TimedOut);
    EXPECT_GE(outcome.ms, 950);
    EXPECT_LT(outcome.ms, 3000);
    EXPECT_EQ(outcome.after, 0);
}

TEST_F(SocketApiTest, ARefusedConnectionSetsTheThreadsError)
{
    Endpoint closedPort(0, false);
    ASSERT_NE(closedPort.port(), 0);
    auto [handle, error] = onFreshThread([&] {
        SocketHandle s = m_api.connect(kLoopback, closedPort.port());
        return std::pair{s, m_api.lastError()};
    });
    EXPECT_EQ(handle, kNoSocket);
    EXPECT_EQ(error, ECONNREFUSED);
    // Another thread's error is not this one's.
    EXPECT_EQ(onFreshThread([&] { return m_api.lastError(); }), 0);
}

TEST_F(SocketApiTest, DiscardPendingDropsStaleBytes)
{
    Endpoint listener;
    Pair pair = connectTo(listener);
    ASSERT_GE(pair.peer, 0);
    sendText(pair.peer, "stale reply");
    ASSERT_EQ(m_api.waitReadable(pair.client, 5), WaitResult::Ready);
    m_api.discardPending(pair.client);
    // Nothing left, and the call did not wait for more.
    EXPECT_EQ(m_api.waitReadable(pair.client, 0), WaitResult::TimedOut);

    sendText(pair.peer, "fresh");
    ASSERT_EQ(m_api.waitReadable(pair.client, 5), WaitResult::Ready);
    EXPECT_EQ(receive(pair.client), "fresh");
}

TEST_F(SocketApiTest, APeerResetDuringSendIsAnErrorNotASignal)
{
    // With the default action SIGPIPE would end this test program.
    auto previous = std::signal(SIGPIPE, SIG_DFL);
    Endpoint listener;
    Pair pair = connectTo(listener);
    ASSERT_GE(pair.peer, 0);
    linger abort{1, 0};
    ASSERT_EQ(::setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    ::close(pair.peer);
    m_toClose.back() = -1;

    long sent = 0;
    for (int i = 0; i < 100 && sent >= 0; ++i) {
        sent = m_api.send(pair.client, bytesOf("request"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(sent, -1);
    EXPECT_TRUE(m_api.lastError() == ECONNRESET || m_api.lastError() == EPIPE) << m_api.lastError();
    // The reset is reported once; from then on the broken pipe is what would raise the signal.
    EXPECT_EQ(m_api.send(pair.client, bytesOf("request")), -1);
    EXPECT_EQ(m_api.lastError(), EPIPE);
    std::signal(SIGPIPE, previous);
}

TEST_F(SocketApiTest, TheHaltCutsShortAConnectionAttempt)
{
    // A listener that accepts nobody and has no room: further attempts hang in SYN_SENT.
    Endpoint listener(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(listener.port());
        address.sin_addr.s_addr = htonl(kLoopback);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    // Its one place is taken once a connection waits in it.
    ASSERT_TRUE(listener.pending());

    auto start = Clock::now();
    auto attempt = std::async(std::launch::async, [&] {
        SocketHandle s = m_api.connect(kLoopback, listener.port());
        return std::pair{s, m_api.lastError()};
    });
    EXPECT_EQ(attempt.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout)
        << "the backlog was not full";
    m_halt.raise();
    ASSERT_EQ(attempt.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto [handle, error] = attempt.get();
    EXPECT_EQ(handle, kNoSocket);
    EXPECT_EQ(error, ECANCELED);
    EXPECT_LT(msSince(start), 3000);
    for (int fd : fillers) {
        ::close(fd);
    }
}

TEST_F(SocketApiTest, TheHaltEndsABlockedWait)
{
    Endpoint listener;
    Pair pair = connectTo(listener);
    ASSERT_NE(pair.client, kNoSocket);
    test::WhilePolling halter([&] { m_halt.raise(); });
    auto start = Clock::now();
    WaitResult result = m_api.waitReadable(pair.client, 60);
    long ms = msSince(start);
    EXPECT_TRUE(halter.landedInside());
    EXPECT_EQ(result, WaitResult::Failed);
    EXPECT_LT(ms, 2000);

    // Halted for good: even a socket that is ready fails its waits, and nothing connects.
    sendText(pair.peer, "late");
    EXPECT_EQ(m_api.waitWritable(pair.client, 60), WaitResult::Failed);
    EXPECT_EQ(m_api.waitReadable(pair.client, 60), WaitResult::Failed);
    EXPECT_EQ(m_api.connect(kLoopback, listener.port()), kNoSocket);
}

TEST_F(SocketApiTest, TheLinkStepsDropStaleBytesAndWaitOnlyForWhatHasNotArrived)
{
    Endpoint listener;
    Pair pair = connectTo(listener);
    ASSERT_GE(pair.peer, 0);
    sendText(pair.peer, "stale reply");
    ASSERT_EQ(m_api.waitReadable(pair.client, 5), WaitResult::Ready);

    const Transfer sent = m_api.sendFresh(pair.client, bytesOf("request"), 1);
    EXPECT_EQ(sent.bytes, 7);
    EXPECT_FALSE(sent.waitFailed);
    EXPECT_EQ(recvText(pair.peer), "request");

    // Nothing has come since: the receive waits out its limit, which sets no error.
    struct Outcome
    {
        Transfer got;
        long ms = 0;
        int error = -1;
    };

    const Outcome quiet = onFreshThread([&] {
        std::uint8_t buffer[16];
        Outcome o;
        const auto start = Clock::now();
        o.got = m_api.receiveWithin(pair.client, buffer, 1);
        o.ms = msSince(start);
        o.error = m_api.lastError();
        return o;
    });
    EXPECT_EQ(quiet.got.bytes, -1);
    EXPECT_TRUE(quiet.got.waitFailed);
    EXPECT_GE(quiet.ms, 950);
    EXPECT_LT(quiet.ms, 3000);
    EXPECT_EQ(quiet.error, 0);

    // A receive already waiting takes the reply when it comes; the stale bytes are gone.
    auto waiting = std::async(std::launch::async, [&] {
        std::uint8_t buffer[16];
        const Transfer got = m_api.receiveWithin(pair.client, buffer, 60);
        return got.bytes > 0 ? std::string(buffer, buffer + got.bytes) : std::string();
    });
    sendText(pair.peer, "reply");
    EXPECT_EQ(waiting.get(), "reply");

    // A peer that has gone: an empty receive, not a failed wait.
    ::close(pair.peer);
    m_toClose.back() = -1;
    std::uint8_t buffer[6];
    const Transfer closed = m_api.receiveWithin(pair.client, buffer, 5);
    EXPECT_EQ(closed.bytes, 0);
    EXPECT_FALSE(closed.waitFailed);
}

TEST_F(SocketApiTest, TheHaltStopsTheLinkStepsWhetherOrNotTheyWouldWait)
{
    Endpoint listener;
    Pair pair = connectTo(listener);
    ASSERT_GE(pair.peer, 0);
    // Raised while the receive waits, or before it starts: either way it ends, failed.
    auto waiting = std::async(std::launch::async, [&] {
        std::uint8_t buffer[16];
        const Transfer got = m_api.receiveWithin(pair.client, buffer, 60);
        return std::pair(got, m_api.lastError());
    });
    m_halt.raise();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto [got, error] = waiting.get();
    EXPECT_TRUE(got.waitFailed);
    EXPECT_EQ(error, ECANCELED);

    // Ready sockets too: nothing is sent, nothing taken.
    sendText(pair.peer, "late");
    std::uint8_t buffer[16];
    EXPECT_TRUE(m_api.receiveWithin(pair.client, buffer, 60).waitFailed);
    EXPECT_TRUE(m_api.sendFresh(pair.client, bytesOf("request"), 60).waitFailed);
    EXPECT_EQ(m_api.lastError(), ECANCELED);
    pollfd p{pair.peer, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_EQ(receive(pair.client), "late");
}

TEST_F(SocketApiTest, AClosedHandleFailsItsWait)
{
    EXPECT_EQ(onFreshThread([&] { return m_api.waitReadable(kNoSocket, 1); }), WaitResult::Failed);
    EXPECT_EQ(m_api.send(kNoSocket, bytesOf("x")), -1);
    EXPECT_EQ(m_api.lastError(), EBADF);
    // As the waits before them: a closed handle is a failed wait, not a failed call.
    std::uint8_t buffer[4];
    EXPECT_TRUE(m_api.sendFresh(kNoSocket, bytesOf("x"), 1).waitFailed);
    EXPECT_TRUE(m_api.receiveWithin(kNoSocket, buffer, 1).waitFailed);
    EXPECT_EQ(m_api.lastError(), EBADF);
}

} // namespace
} // namespace quarin::posix
