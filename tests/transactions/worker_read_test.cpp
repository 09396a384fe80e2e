#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "transactions/transaction_checks.h"

namespace quarin::test {

namespace {

// One tick of a scheduled run whose worker is a thread of its own, while the window's thread
// keeps handling the calls it makes.
void tickOnAWorkerThread(FakeConsole& c)
{
    c.dlg.onTimer(CMasterDlg::kScheduleTimer);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        c.fp.workers.runNext();
        done = true;
    });
    const bool finished = c.view.waitWhileProcessingEvents([&] { return done.load(); }, 20000);
    worker.join();
    ASSERT_TRUE(finished);
}

} // namespace

TEST(ReadOnAWorker, SerialFailureIsLoggedAndTheNextTickReads)
{
    FakeConsole c;
    serialAt1500(c);
    c.select(ControlId::SampleMode, ScheduledWithLogging);
    c.dlg.onRead();
    tickOnAWorkerThread(c);
    EXPECT_EQ(c.log(), c.reportLine("Timeout waiting on a response") + "\r\n");
    EXPECT_EQ(c.view.text(ControlId::ErrorCount), "1");
    EXPECT_FALSE(c.dlg.busy());

    c.fp.serial.script.reads = {withCrc("01 03 02 00 0A")};
    tickOnAWorkerThread(c);
    EXPECT_EQ(c.view.text(ControlId::Value, 0), "10");
    EXPECT_EQ(c.view.text(ControlId::TransactionCount), "2");
    EXPECT_EQ(c.view.text(ControlId::TransactionTime), "3");
    EXPECT_EQ(c.view.busyDepth(), 0);
    EXPECT_FALSE(c.dlg.busy());
}

TEST(ReadOnAWorker, TcpBoxesAreShownOnTheWindowsThreadAndTheRunGoesOn)
{
    FakeConsole c;
    tcpAt1500(c);
    c.replyWith("00 09 00 00 00 05 01 03 02 00 0A");
    c.select(ControlId::SampleMode, Scheduled);
    c.dlg.onRead();
    tickOnAWorkerThread(c);
    EXPECT_EQ(c.view.boxTexts(),
              std::vector<std::string>{"Slave ID 1 - Response has invalid transaction number"});
    EXPECT_TRUE(c.dlg.scheduleRunning());

    tickOnAWorkerThread(c);
    EXPECT_EQ(c.view.text(ControlId::Value, 0), "1");
    EXPECT_EQ(c.fp.sockets.connects.size(), 1u);
    EXPECT_FALSE(c.dlg.busy());
}

} // namespace quarin::test

namespace quarin::test {

// Once the console halts, a worker can no longer reach the record; what it would read instead is
// not the operator's settings, and it must not act on it.
TEST(ReadOnAWorker, AHaltedWorkerTouchesNeitherLink)
{
    FakeConsole c;
    c.useTcp("127.0.0.1");
    c.fp.sockets.slave = goodTcpSlave;
    c.fp.halt.raise();
    c.view.halt();
    std::thread worker([&] {
        c.dlg.TcpRead();
        c.dlg.SerialRead();
    });
    worker.join();
    EXPECT_TRUE(c.fp.sockets.connects.empty());
    EXPECT_EQ(c.fp.sockets.startups, 0);
    EXPECT_TRUE(c.fp.serial.opened.empty());
    EXPECT_TRUE(c.view.boxTexts().empty());
    expectIdle(c);
}

} // namespace quarin::test

namespace quarin::test {

// An edit while a logged read waits for its slave runs a transfer, which reads the controls back
// into the record. The failure that follows must show what the read put there (ten "0" and its
// own time), never the last good reading: a dead slave must not look alive.
TEST(ReadOnAWorker, AnEditDuringAFailedReadBringsBackNoStaleReading)
{
    struct Edit
    {
        ControlId control;
        const char* text;
        void (CMasterDlg::*handler)();
    };

    const Edit edits[] = {
        {ControlId::SlaveId, "1", &CMasterDlg::onSlaveIdChanged},
        {ControlId::StartRegister, "1", &CMasterDlg::refreshLabels},
        {ControlId::RegisterCount, "1", &CMasterDlg::refreshLabels},
        {ControlId::SampleRate, "1", &CMasterDlg::checkSampleRate},
    };
    for (const bool serial : {true, false}) {
        for (const Edit& edit : edits) {
            SCOPED_TRACE(std::string(serial ? "serial, " : "TCP, ") +
                         std::to_string(static_cast<int>(edit.control)));
            FakeConsole c;
            auto operatorEdits = [&] {
                c.type(edit.control, edit.text);
                (c.dlg.*edit.handler)();
            };
            int requests = 0;
            if (serial) {
                c.useSerial(1);
                c.fp.serial.script.reads = {withCrc("01 03 02 00 0A")};
            } else {
                c.useTcp("127.0.0.1");
                c.fp.sockets.slave = [&](const Bytes& request) {
                    if (++requests == 1) {
                        return goodTcpSlave(request);
                    }
                    operatorEdits();
                    return std::vector<SocketStep>{silence()};
                };
            }
            c.type(ControlId::Timeout, "1500");
            c.readLogged();
            ASSERT_EQ(c.view.text(ControlId::Value, 0), serial ? "10" : "1");
            ASSERT_NE(c.view.text(ControlId::TransactionTime), "0");

            if (serial) {
                c.fp.serial.script.reads.clear();
                c.fp.serial.onRead = [&](SerialLog&) { operatorEdits(); };
            }
            c.dlg.onTimer(CMasterDlg::kScheduleTimer);
            c.fp.workers.runNext();

            EXPECT_EQ(c.view.text(ControlId::ErrorCount), "1");
            EXPECT_EQ(c.shownValues(), allZero());
            EXPECT_EQ(c.recordValues(), allZero());
            // A time-out of the serial read is timed; the lost TCP link is not.
            EXPECT_EQ(c.view.text(ControlId::TransactionTime), serial ? "1500" : "0");
        }
    }
}

} // namespace quarin::test
