#include <fcntl.h>
#include <future>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/platform.h"
#include "posix_test_support.h"
#include "support/lock_dir.h"

namespace quarin::posix {
namespace {

using test::Clock;
using test::msSince;

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(EventFdHalt, OnceRaisedStaysReadable)
{
    EventFdHalt halt;
    ASSERT_GE(halt.fd(), 0);
    EXPECT_EQ(::fcntl(halt.fd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_FALSE(halt.raised());
    EXPECT_FALSE(readable(halt.fd()));

    halt.raise();
    halt.raise();
    EXPECT_TRUE(halt.raised());
    EXPECT_TRUE(readable(halt.fd()));
    EXPECT_TRUE(readable(halt.fd()));
}

TEST(PosixClock, FormatsTheLogTimeStamp)
{
    std::tm time{};
    time.tm_year = 2026 - 1900;
    time.tm_mon = 11;
    time.tm_mday = 6;
    time.tm_hour = 8;
    time.tm_min = 4;
    EXPECT_EQ(formatLocalTime(time), "12/06/26 08:04:00");
    time.tm_year = 2000 - 1900;
    time.tm_mon = 0;
    time.tm_mday = 31;
    time.tm_hour = 23;
    time.tm_min = 59;
    time.tm_sec = 59;
    EXPECT_EQ(formatLocalTime(time), "01/31/00 23:59:59");
}

TEST(PosixClock, LocalTimeTextHasTheLogForm)
{
    EventFdHalt halt;
    PosixClock clock(halt);
    std::string text = clock.localTimeText();
    // "MM/DD/YY HH:MM:SS": digits everywhere but the separators.
    const std::string form = "00/00/00 00:00:00";
    ASSERT_EQ(text.size(), form.size()) << text;
    for (std::size_t i = 0; i < form.size(); ++i) {
        if (form[i] == '0') {
            EXPECT_TRUE(text[i] >= '0' && text[i] <= '9') << text;
        } else {
            EXPECT_EQ(text[i], form[i]) << text;
        }
    }
}

TEST(PosixClock, SleepsAndMeasuresMilliseconds)
{
    EventFdHalt halt;
    PosixClock clock(halt);
    TimeStamp before = clock.now();
    clock.sleepMs(200);
    TimeStamp after = clock.now();
    EXPECT_LT(before.milliseconds, 1000u);
    EXPECT_LT(after.milliseconds, 1000u);
    long elapsed = (static_cast<long>(after.seconds) - static_cast<long>(before.seconds)) * 1000 +
                   static_cast<long>(after.milliseconds) - static_cast<long>(before.milliseconds);
    EXPECT_GE(elapsed, 199);
    EXPECT_LT(elapsed, 2000);
}

TEST(PosixClock, TheHaltCutsASleepShort)
{
    EventFdHalt halt;
    PosixClock clock(halt);
    test::WhilePolling halter([&] { halt.raise(); });
    auto start = Clock::now();
    clock.sleepMs(60000);
    EXPECT_TRUE(halter.landedInside());
    EXPECT_LT(msSince(start), 2000);

    start = Clock::now();
    clock.sleepMs(60000);
    EXPECT_LT(msSince(start), 500);
}

TEST(ThreadWorkerStarter, CountsWorkersUntilTheyReturn)
{
    ThreadWorkerStarter workers;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<std::thread::id> ranOn;
    workers.start([&, released] {
        ranOn.set_value(std::this_thread::get_id());
        released.wait();
    });
    workers.start([released] { released.wait(); });
    EXPECT_NE(ranOn.get_future().get(), std::this_thread::get_id());
    EXPECT_EQ(workers.running(), 2);

    release.set_value();
    auto end = Clock::now() + std::chrono::seconds(5);
    while (workers.running() != 0 && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(workers.running(), 0);
}

TEST(PosixPlatform, EveryAdapterSharesTheOneHalt)
{
    PosixPlatform posix{quarin::test::testLockDir()};
    Platform platform = posix.platform();
    EXPECT_EQ(&platform.halt, &posix.halt());
    platform.halt.raise();
    EXPECT_TRUE(posix.halt().raised());

    int quiet[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quiet), 0);
    auto start = Clock::now();
    platform.clock.sleepMs(60000);
    auto* sockets = dynamic_cast<PosixSocketApi*>(&platform.sockets);
    ASSERT_NE(sockets, nullptr);
    EXPECT_EQ(sockets->waitReadable(quiet[0], 60), WaitResult::Failed);
    EXPECT_LT(msSince(start), 2000);
    ::close(quiet[0]);
    ::close(quiet[1]);
}

} // namespace
} // namespace quarin::posix
