// The console's threads at full pace: the real worker threads and a loopback slave, the window's
// thread ticking the schedule every millisecond, Stop and Read thrown in, and exits while a
// transaction is on the wire. Its worth is in the ThreadSanitizer build, where any race between
// the window's thread and a worker is a report and the run fails.

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/live_console.h"
#include "support/peer_rig.h"

namespace quarin::test {
namespace {

using namespace std::chrono_literals;

// Answers reads of holding registers with 42s; every fifth request gets an exception reply. While
// held, a request is taken and left unanswered, so a transaction can be caught on the wire.
class LoopbackSlave
{
public:
    LoopbackSlave()
    {
        if (m_listener.listen(8)) {
            m_thread = std::thread([this] { run(); });
        }
    }

    ~LoopbackSlave()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_connection >= 0) {
            close(m_connection);
        }
    }

    LoopbackSlave(const LoopbackSlave&) = delete;
    LoopbackSlave& operator=(const LoopbackSlave&) = delete;

    std::uint16_t port() const { return m_thread.joinable() ? m_listener.port() : 0; }

    void hold(bool on) { m_hold = on; }

    int held() const { return m_held; }

    int requests() const { return m_requests; }

    int failed() const { return m_failed; }

private:
    void run()
    {
        std::vector<std::uint8_t> pending;
        while (!m_stop) {
            pollfd fds[2] = {{m_listener.fd(), POLLIN, 0}, {m_connection, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                // The console dropped its link or a new console came: the newest connection wins.
                const int accepted = accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
                if (accepted >= 0) {
                    if (m_connection >= 0) {
                        close(m_connection);
                    }
                    m_connection = accepted;
                    pending.clear();
                }
                continue;
            }
            if (fds[1].revents == 0) {
                continue;
            }
            std::uint8_t buffer[512];
            const ssize_t got = recv(m_connection, buffer, sizeof buffer, 0);
            if (got <= 0) {
                close(m_connection);
                m_connection = -1;
                pending.clear();
                continue;
            }
            pending.insert(pending.end(), buffer, buffer + got);
            answerWhole(pending);
        }
    }

    void answerWhole(std::vector<std::uint8_t>& pending)
    {
        while (pending.size() >= 7) {
            const std::size_t size = 6u + (std::size_t{pending[4]} << 8 | pending[5]);
            if (pending.size() < size) {
                return;
            }
            const std::vector<std::uint8_t> request(pending.begin(),
                                                    pending.begin() + static_cast<long>(size));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(size));
            ++m_requests;
            if (m_hold) {
                ++m_held;
                continue;
            }
            std::vector<std::uint8_t> reply(request.begin(), request.begin() + 7);
            if (m_requests % 5 == 0) {
                ++m_failed;
                reply.insert(reply.end(), {static_cast<std::uint8_t>(request[7] | 0x80), 0x02});
            } else {
                const int count = size >= 12 ? request[10] << 8 | request[11] : 0;
                reply.push_back(request[7]);
                reply.push_back(static_cast<std::uint8_t>(2 * count));
                for (int i = 0; i < count; ++i) {
                    reply.insert(reply.end(), {0x00, 0x2A});
                }
            }
            const std::size_t length = reply.size() - 6;
            reply[4] = static_cast<std::uint8_t>(length >> 8);
            reply[5] = static_cast<std::uint8_t>(length);
            send(m_connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
    }

    LoopbackPort m_listener;
    int m_connection = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_hold{false};
    std::atomic<int> m_held{0};
    std::atomic<int> m_requests{0};
    std::atomic<int> m_failed{0};
    std::thread m_thread;
};

int logLines(const char* prefix)
{
    std::ifstream log("Quarin.log");
    int count = 0;
    for (std::string line; std::getline(log, line);) {
        count += line.find(prefix) != std::string::npos ? 1 : 0;
    }
    return count;
}

int wholeLog()
{
    return logLines("");
}

// Ticks as the window's timers would: the schedule every millisecond, a deferred Read when one
// waits, and the workers' calls in between.
void pump(LiveConsole& c, int ticks)
{
    for (int i = 0; i < ticks; ++i) {
        if (c.view.timerPeriod(CMasterDlg::kDeferredCommandTimer) > 0) {
            c.dlg.onTimer(CMasterDlg::kDeferredCommandTimer);
        }
        if (c.view.timerPeriod(CMasterDlg::kScheduleTimer) > 0) {
            c.dlg.onTimer(CMasterDlg::kScheduleTimer);
        }
        c.view.waitWhileProcessingEvents([] { return false; }, 1);
    }
}

TEST(LiveThreads, ScheduleAtOneMillisecondWithStopsReadsAndExitsMidTransaction)
{
    constexpr int kConsoles = 10;
    constexpr int kTicksEach = 100;
    constexpr int kStopEvery = 50;
    TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    LoopbackSlave slave;
    ASSERT_NE(slave.port(), 0);

    int ticks = 0;
    int stops = 0;
    for (int round = 0; round < kConsoles; ++round) {
        SCOPED_TRACE("console " + std::to_string(round));
        int linesAtExit = 0;
        {
            LiveConsole c(slave.port());
            c.useTcp();
            c.timeoutMs(2000);
            c.registers(1, 4);
            c.view.type(ControlId::SampleRate, "1");
            c.view.setIndex(ControlId::SampleMode, ScheduledWithLogging);
            c.dlg.onRead();
            for (int done = 0; done < kTicksEach; done += kStopEvery) {
                pump(c, kStopEvery);
                ticks += kStopEvery;
                c.dlg.onStop();
                ++stops;
                c.dlg.onRead();
            }
            // A transaction caught on the wire, then Exit.
            slave.hold(true);
            const int heldBefore = slave.held();
            const auto deadline = SteadyClock::now() + 10s;
            while (slave.held() == heldBefore && SteadyClock::now() < deadline) {
                pump(c, 1);
            }
            ASSERT_GT(slave.held(), heldBefore) << "no transaction reached the slave";
            ASSERT_TRUE(c.dlg.busy());
            linesAtExit = wholeLog();
            const auto begun = SteadyClock::now();
            c.dlg.onExit();
            EXPECT_TRUE(c.waitForWorkers(5s)) << "the halt ends the transaction";
            EXPECT_LT(SteadyClock::now() - begun, 5s);
            EXPECT_TRUE(c.view.closed());
        }
        slave.hold(false);
        EXPECT_EQ(wholeLog(), linesAtExit) << "nothing is logged after the halt";
    }
    EXPECT_EQ(ticks, kConsoles * kTicksEach);
    EXPECT_EQ(logLines("Logging Stopped"), stops);
    // A failure is logged once at most: one a Stop or an Exit overtook is not logged at all.
    const int failureLines = wholeLog() - stops;
    EXPECT_GT(failureLines, 0);
    EXPECT_LE(failureLines, slave.failed());
}

} // namespace
} // namespace quarin::test
