#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "console/master_dlg.h"
#include "messages/framing.h"
#include "transactions/tx_console.h"

namespace quarin::test {
namespace {

// A slave on the fake socket that answers function 03 reads of one register with `value`, except
// the requests for which fails(n) holds (n counts from 1), which get a wrong function code.
std::function<std::vector<SocketStep>(const Bytes&)> tcpSlave(std::function<bool(int)> fails)
{
    auto count = std::make_shared<int>(0);
    return [count, fails](const Bytes& request) {
        const int n = ++*count;
        Bytes reply(request.begin(), request.begin() + 6);
        reply[5] = 5;
        reply.insert(
            reply.end(),
            {request[6], static_cast<std::uint8_t>(fails(n) ? 0x04 : 0x03), 0x02, 0x00, 0x2A});
        return std::vector<SocketStep>{{SocketStep::Data, reply}};
    };
}

// What a schedule disables while it runs, Stop aside.
constexpr ControlId kLinkControls[] = {ControlId::SampleMode,
                                       ControlId::Port,
                                       ControlId::Timeout,
                                       ControlId::DataType,
                                       ControlId::WriteButton,
                                       ControlId::ReadButton,
                                       ControlId::Address};

TEST(Scheduler, ReadStartsTheTimerAndDisablesTheLinkControls)
{
    OpenedConsole c;
    c.view.type(ControlId::SampleRate, "250");
    c.startSchedule(Scheduled);
    EXPECT_EQ(c.view.timerPeriod(CMasterDlg::kScheduleTimer), 1);
    for (ControlId id : kLinkControls) {
        EXPECT_FALSE(c.view.isEnabled(id));
    }
    EXPECT_TRUE(c.view.isEnabled(ControlId::StopButton));
    c.dlg.onTimer(CMasterDlg::kScheduleTimer);
    EXPECT_EQ(c.view.timerPeriod(CMasterDlg::kScheduleTimer), 250);
    EXPECT_TRUE(c.dlg.busy());
    // A tick while the transaction runs starts nothing.
    c.dlg.onTimer(CMasterDlg::kScheduleTimer);
    EXPECT_EQ(c.fp.workers.startedCount(), 1);

    c.dlg.onStop();
    EXPECT_EQ(c.view.timerPeriod(CMasterDlg::kScheduleTimer), 0);
    for (ControlId id : kLinkControls) {
        EXPECT_TRUE(c.view.isEnabled(id));
    }
    EXPECT_FALSE(c.view.isEnabled(ControlId::StopButton));
}

TEST(Scheduler, RateOfZeroFromTheFileDoesNotSpinButIsKept)
{
    OpenedConsole c;
    c.dlg.settings().m_sampleRateMs = 0;
    c.dlg.showTransfer();
    c.startSchedule(ScheduledWithLogging);
    c.dlg.onTimer(CMasterDlg::kScheduleTimer);
    EXPECT_GE(c.view.timerPeriod(CMasterDlg::kScheduleTimer), 1);
    EXPECT_EQ(c.dlg.settings().m_sampleRateMs, 0);
}

TEST(Scheduler, LoggingRunCountsFailuresAndWritesTheStopLine)
{
    OpenedConsole c;
    c.fp.sockets.slave = tcpSlave([](int n) { return n % 40 == 0; });
    c.startSchedule(ScheduledWithLogging);
    for (int i = 0; i < 120; ++i) {
        c.tick();
        if (i == 0) {
            EXPECT_EQ(c.view.text(ControlId::Value, 0), "42");
        }
    }
    EXPECT_EQ(c.view.text(ControlId::ErrorCount), "3");
    EXPECT_EQ(c.view.text(ControlId::TransactionCount), "120");
    c.dlg.onStop();
    const std::string failure = "12/06/26 08:04:00 - Slave IP = 254.254.254.254 - Slave ID = 1 - "
                                "Response has wrong function code\r\n";
    EXPECT_EQ(c.log(),
              failure + failure + failure +
                  "12/06/26 08:04:00 - Slave IP = 254.254.254.254 - Slave ID = 1 - "
                  "***** Logging Stopped, Error Count = 3, Transaction Count = 120 "
                  "*****\r\n");
    EXPECT_TRUE(c.view.boxes().empty());
    EXPECT_EQ(c.fp.sockets.connects.size(), 1u) << "a Failure keeps the connection";
}

TEST(Scheduler, ScheduledRunStopsAtItsFirstReportedFailure)
{
    OpenedConsole c;
    c.fp.sockets.slave = tcpSlave([](int n) { return n == 3; });
    c.startSchedule(Scheduled);
    for (int i = 0; i < 5; ++i) {
        c.tick();
    }
    EXPECT_EQ(
        c.view.boxTexts(),
        std::vector<std::string>{"12/06/26 08:04:00 - Slave IP = 254.254.254.254 - Slave ID = "
                                 "1 - Response has wrong function code"});
    EXPECT_FALSE(c.dlg.scheduleRunning());
    EXPECT_EQ(c.fp.workers.startedCount(), 3);
    EXPECT_TRUE(c.view.isEnabled(ControlId::ReadButton));
    EXPECT_EQ(c.log(), "");
}

TEST(Scheduler, BoxFailuresAreNeitherLoggedNorCountedNorStopTheRun)
{
    OpenedConsole c;
    c.view.type(ControlId::Timeout, "999");
    c.startSchedule(Scheduled);
    c.tick();
    c.tick();
    EXPECT_EQ(c.view.boxTexts().size(), 2u);
    EXPECT_TRUE(c.dlg.scheduleRunning());
    EXPECT_EQ(c.view.text(ControlId::ErrorCount), "0");
}

TEST(Scheduler, ManualReadResetsTheCountsOfTheRun)
{
    OpenedConsole c;
    c.fp.sockets.slave = tcpSlave([](int) { return true; });
    c.startSchedule(ScheduledWithLogging);
    c.tick();
    c.tick();
    c.dlg.onStop();
    EXPECT_EQ(c.view.text(ControlId::ErrorCount), "2");
    c.view.setIndex(ControlId::SampleMode, Manual);
    c.fp.sockets.slave = tcpSlave([](int) { return false; });
    c.dlg.onRead();
    EXPECT_EQ(c.view.text(ControlId::ErrorCount), "0");
    EXPECT_EQ(c.view.text(ControlId::TransactionCount), "0");
}

TEST(Scheduler, ReadAfterStopWaitsForTheLastScheduledTransaction)
{
    OpenedConsole c;
    c.fp.sockets.slave = tcpSlave([](int) { return false; });
    c.startSchedule(Scheduled);
    c.dlg.onTimer(CMasterDlg::kScheduleTimer); // the worker is started, not yet run
    c.dlg.onStop();
    c.view.setIndex(ControlId::SampleMode, Manual);
    c.dlg.onRead();
    EXPECT_TRUE(c.fp.sockets.sent.empty()) << "the link is still the worker's";
    EXPECT_GT(c.view.timerPeriod(CMasterDlg::kDeferredCommandTimer), 0);
    c.fp.workers.runNext();
    c.dlg.onTimer(CMasterDlg::kDeferredCommandTimer);
    EXPECT_EQ(c.fp.sockets.sent.size(), 2u);
    EXPECT_EQ(c.view.timerPeriod(CMasterDlg::kDeferredCommandTimer), 0);
    EXPECT_FALSE(c.dlg.busy());
}

// Exit's wait for a worker and the boxes of its save run the window's events. Whatever they bring
// from then on (a click, the Read deferred after Stop, a tick) starts no transaction, and neither
// does what arrives after Exit and before the window's close lands.
TEST(Scheduler, NothingStartsOnceExitHasBegun)
{
    struct Case
    {
        const char* name;
        std::function<void(OpenedConsole&)> setup;
        std::function<void(OpenedConsole&)> event;
    };

    const auto serial = [](OpenedConsole& c) {
        c.view.setIndex(ControlId::Port, 1);
        c.dlg.applyPortRules();
    };
    const Case cases[] = {
        {"Read clicked", serial, [](OpenedConsole& c) { c.dlg.onRead(); }},
        {"Write clicked", serial, [](OpenedConsole& c) { c.dlg.onWrite(); }},
        {"the Read deferred after Stop",
         [&](OpenedConsole& c) {
             serial(c);
             c.startSchedule(Scheduled);
             c.dlg.onTimer(CMasterDlg::kScheduleTimer);
             c.dlg.onStop();
             c.view.setIndex(ControlId::SampleMode, Manual);
             c.dlg.onRead(); // waits for the worker
             c.fp.workers.runNext();
         },
         [](OpenedConsole& c) { c.dlg.onTimer(CMasterDlg::kDeferredCommandTimer); }},
        {"a tick of a schedule",
         [&](OpenedConsole& c) {
             serial(c);
             c.startSchedule(ScheduledWithLogging);
         },
         [](OpenedConsole& c) { c.dlg.onTimer(CMasterDlg::kScheduleTimer); }},
    };
    for (const Case& k : cases) {
        for (const bool inTheSavesBox : {true, false}) {
            SCOPED_TRACE(std::string(k.name) + (inTheSavesBox ? " in the save's box" : " later"));
            OpenedConsole c;
            k.setup(c);
            const std::size_t opened = c.fp.serial.opened.size();
            const int started = c.fp.workers.startedCount();
            if (inTheSavesBox) {
                c.view.type(ControlId::SlaveId, "x");
                bool fired = false;
                c.view.onBox([&](const ShownBox&) {
                    if (!std::exchange(fired, true)) {
                        k.event(c);
                    }
                });
                c.dlg.onExit();
                EXPECT_TRUE(fired);
            } else {
                c.dlg.onExit();
                k.event(c);
            }
            EXPECT_EQ(c.fp.serial.opened.size(), opened) << "a port opened";
            EXPECT_EQ(c.fp.workers.startedCount(), started) << "a worker started";
            EXPECT_TRUE(c.view.closed());
        }
    }
}

TEST(FailureReport, UnwritableLogIsToldOnceAndTheRunGoesOn)
{
    OpenedConsole c;
    c.fp.files.appendError = 28; // ENOSPC
    c.fp.sockets.slave = tcpSlave([](int) { return true; });
    c.startSchedule(ScheduledWithLogging);
    for (int i = 0; i < 4; ++i) {
        c.tick();
    }
    EXPECT_EQ(c.view.notices().size(), 1u);
    EXPECT_TRUE(c.view.boxes().empty());
    EXPECT_EQ(c.view.text(ControlId::ErrorCount), "4");
    EXPECT_TRUE(c.dlg.scheduleRunning());
    EXPECT_FALSE(c.dlg.busy());
}

// The real shape of a run: a worker thread per tick, the window's thread pumping events.
// A logging run against this slave.
void startLogging(FakeConsole& c, std::function<std::vector<SocketStep>(const Bytes&)> slave)
{
    c.fp.sockets.slave = std::move(slave);
    c.startSchedule(ScheduledWithLogging);
}

TEST(Scheduler, WorkerThreadsShareTheConsoleWithoutRaces)
{
    OpenedConsole c(Workers::Threads);
    startLogging(c, tcpSlave([](int n) { return n % 5 == 0; }));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int tick = 1; tick <= 200 && std::chrono::steady_clock::now() < deadline; ++tick) {
        c.dlg.onTimer(CMasterDlg::kScheduleTimer);
        c.view.waitWhileProcessingEvents([&] { return !c.dlg.busy(); }, 2000);
        if (tick % 50 == 0) {
            c.view.type(ControlId::SlaveId, "1"); // the operator edits while a run goes on
            c.dlg.onSlaveIdChanged();
        }
    }
    c.view.waitWhileProcessingEvents([&] { return c.threadWorkers.running() == 0; }, 5000);
    c.dlg.onStop();
    EXPECT_EQ(c.view.text(ControlId::TransactionCount), "200");
    EXPECT_EQ(c.view.text(ControlId::ErrorCount), "40");
    c.dlg.onDestroy();
}

TEST(Scheduler, DestroyHaltsAWorkerWaitingForTheWindow)
{
    OpenedConsole c(Workers::Threads);
    startLogging(c, tcpSlave([](int) { return true; }));
    c.dlg.onTimer(CMasterDlg::kScheduleTimer);
    // The worker now waits for the window's thread, which does not pump: the halt must free it.
    ASSERT_TRUE(c.view.waitForCaller(10000));
    const auto start = std::chrono::steady_clock::now();
    c.dlg.onDestroy();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(c.threadWorkers.running(), 0);
    EXPECT_EQ(c.fp.files.files.count("Quarin.log"), 0u) << "nothing is logged after the halt";
}

// The worker picks its link on the window's thread, where the transfer of an edit may be writing
// the record at that very moment. Its worth is in the ThreadSanitizer build.
TEST(Scheduler, EditsWhileAWorkerRunsShareNothingWithIt)
{
    OpenedConsole c(Workers::Threads);
    startLogging(c, tcpSlave([](int) { return false; }));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int tick = 1; tick <= 50; ++tick) {
        c.dlg.onTimer(CMasterDlg::kScheduleTimer);
        while (c.dlg.busy() && std::chrono::steady_clock::now() < deadline) {
            c.view.type(ControlId::SlaveId, "1");
            c.dlg.onSlaveIdChanged();
            c.view.processEvents();
        }
    }
    c.view.waitWhileProcessingEvents([&] { return c.threadWorkers.running() == 0; }, 5000);
    c.dlg.onStop();
    EXPECT_EQ(c.view.text(ControlId::TransactionCount), "50");
    EXPECT_EQ(c.view.text(ControlId::Value, 0), "42");
    c.dlg.onDestroy();
}

// Exit may land while reportFailure reads the record on the window's thread: the halted worker then
// neither logs its failure nor drops the link, which the window's end closes.
TEST(FailureReport, AHaltLandingInsideTheReportChangesNothing)
{
    class HaltingClock : public FakeClock
    {
    public:
        std::string localTimeText() override
        {
            if (atLocalTime) {
                atLocalTime();
            }
            return FakeClock::localTimeText();
        }

        std::function<void()> atLocalTime;
    };

    HaltingClock clock;
    OpenedConsole c(Workers::Threads, &clock);
    c.view.type(ControlId::Timeout, "1500");
    startLogging(c, [](const Bytes&) {
        return std::vector<SocketStep>{{SocketStep::Silence, {}, 0}}; // a link failure
    });
    clock.atLocalTime = [&] {
        c.fp.halt.raise();
        c.view.halt();
    };
    c.dlg.onTimer(CMasterDlg::kScheduleTimer);
    ASSERT_TRUE(
        c.view.waitWhileProcessingEvents([&] { return c.threadWorkers.running() == 0; }, 10000));
    EXPECT_EQ(c.fp.files.files.count("Quarin.log"), 0u) << "nothing is logged after the halt";
    EXPECT_EQ(c.fp.sockets.closes, 0) << "a halted worker leaves the link alone";
    EXPECT_FALSE(c.dlg.busy());
    c.dlg.onDestroy();
    EXPECT_EQ(c.fp.sockets.closes, 1);
}

} // namespace
} // namespace quarin::test
