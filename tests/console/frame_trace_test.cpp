// The frame trace: off at start and then silent, on at the operator's word, one line per frame,
// written once the transaction's time has been taken.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "console/frame_trace.h"
#include "transactions/tx_console.h"

namespace quarin::test {
namespace {

constexpr char kTrace[] = "Quarin.trace";

const Bytes kRequest = hexBytes("01 03 00 00 00 01 84 0A");
const Bytes kReply = withCrc("01 03 02 00 0A");

std::string trace(const FakeConsole& c)
{
    const auto it = c.fp.files.files.find(kTrace);
    return it == c.fp.files.files.end() ? std::string() : it->second;
}

std::string stampOf(std::uint64_t ms)
{
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 + 1000).substr(1);
}

bool hasTrace(const FakeConsole& c)
{
    return c.fp.files.files.count(kTrace) != 0;
}

TEST(FrameTraceRecord, LinesCarryStampLinkDirectionElapsedAndBytes)
{
    FrameTrace t;
    const std::vector<std::uint8_t> tx{0x01, 0x03, 0xAB};
    t.sent("COM1", {5, 990}, tx, 3);
    EXPECT_FALSE(t.recording()) << "off: nothing is kept";
    EXPECT_EQ(t.take(), "");

    t.setEnabled(true);
    t.sent("COM1", {5, 990}, tx, 3);
    t.echo({5, 999}, std::vector<std::uint8_t>{0x01, 0x03});
    // Across a second boundary, counted as the transaction time is.
    t.received({6, 20}, std::vector<std::uint8_t>{0x01, 0x83, 0x02}, false);
    EXPECT_TRUE(t.recording());
    EXPECT_EQ(t.take(),
              "5.990 COM1 TX +0 ms 01 03 AB\r\n"
              "5.999 COM1 ECHO +9 ms 01 03 (echo cut short: 2 of 3 bytes)\r\n"
              "6.020 COM1 RX +30 ms 01 83 02\r\n");
    EXPECT_FALSE(t.recording());
    EXPECT_EQ(t.take(), "");

    // Frames seen with no request of this transaction recorded are not kept.
    t.received({7, 0}, tx, false);
    EXPECT_EQ(t.take(), "");
}

TEST(FrameTraceRecord, NotesWhatWentWrong)
{
    struct Case
    {
        const char* name;
        std::vector<std::uint8_t> echo;
        std::size_t left;
        std::vector<std::uint8_t> reply;
        bool failed;
        const char* lines;
    };

    const Case cases[] = {
        {"echo matches",
         {0x11, 0x22},
         2,
         {},
         false,
         "0.000 L TX +0 ms 11 22\r\n0.000 L ECHO +0 ms 11 22 (echo matches)\r\n"
         "0.000 L RX +0 ms (nothing)\r\n"},
        {"echo differs",
         {0x11, 0x23},
         2,
         {0x01},
         false,
         "0.000 L TX +0 ms 11 22\r\n0.000 L ECHO +0 ms 11 23 (echo differs from the request)\r\n"
         "0.000 L RX +0 ms 01\r\n"},
        {"no echo, short write, failed read",
         {},
         1,
         {},
         true,
         "0.000 L TX +0 ms 11 22 (only 1 of 2 bytes left)\r\n0.000 L ECHO +0 ms (no echo)\r\n"
         "0.000 L RX +0 ms (nothing) (read failed)\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameTrace t;
        t.setEnabled(true);
        t.sent("L", {}, std::vector<std::uint8_t>{0x11, 0x22}, c.left);
        t.echo({}, c.echo);
        t.received({}, c.reply, c.failed);
        EXPECT_EQ(t.take(), c.lines);
    }
}

TEST(FrameTrace, OffAtStartAndToggledWithANotice)
{
    FakeConsole c;
    EXPECT_FALSE(c.dlg.frameTraceOn());
    c.dlg.toggleFrameTrace();
    EXPECT_TRUE(c.dlg.frameTraceOn());
    c.dlg.toggleFrameTrace();
    EXPECT_FALSE(c.dlg.frameTraceOn());
    EXPECT_EQ(c.view.informations(),
              (std::vector<std::string>{
                  "Frame trace on: every frame sent and received is appended to Quarin.trace.",
                  "Frame trace off."}));
    EXPECT_TRUE(c.view.boxes().empty());
}

TEST(FrameTrace, OffWritesNothingOnAnyLink)
{
    FakeConsole c;
    c.useSerial();
    c.select(ControlId::Wiring, TwoWireEcho);
    c.fp.serial.script.reads = {kRequest, kReply};
    c.read();
    c.fp.serial.script.reads = {};
    c.read();
    c.write();
    c.useTcp("10.0.0.9");
    c.fp.sockets.slave = goodTcpSlave;
    c.read();
    c.write();
    c.readLogged();

    EXPECT_FALSE(hasTrace(c));
    for (const auto& [name, contents] : c.fp.files.files) {
        EXPECT_EQ(name, "Quarin.log") << "no file but the log is written";
    }
}

TEST(FrameTrace, SerialReadOnAnEchoingLine)
{
    FakeConsole c;
    c.useSerial(2);
    c.select(ControlId::Wiring, TwoWireEcho);
    c.dlg.toggleFrameTrace();
    c.fp.serial.script.reads = {kRequest, kReply};
    c.read();

    EXPECT_EQ(c.shownValues()[0], "10");
    EXPECT_EQ(trace(c),
              "100.000 COM2 TX +0 ms " + toHex(kRequest) +
                  "\r\n"
                  "100.003 COM2 ECHO +3 ms " +
                  toHex(kRequest) +
                  " (echo matches)\r\n"
                  "100.006 COM2 RX +6 ms " +
                  toHex(kReply) + "\r\n");
    EXPECT_EQ(c.dlg.stats().lastMs, 6u);

    // A line that gives back something else, then no reply within the time-out.
    c.type(ControlId::Timeout, "1500");
    c.fp.serial.script.reads = {hexBytes("01 03 00 00 00 01 84 0B")};
    c.read();
    const std::string second = trace(c).substr(trace(c).find("100.006 COM2 RX"));
    EXPECT_NE(second.find("COM2 ECHO +3 ms 01 03 00 00 00 01 84 0B (echo differs from the "
                          "request)\r\n"),
              std::string::npos)
        << second;
    EXPECT_NE(second.find("COM2 RX +1503 ms (nothing)\r\n"), std::string::npos) << second;
}

TEST(FrameTrace, SerialWriteAndBroadcast)
{
    FakeConsole c;
    c.useSerial();
    c.dlg.toggleFrameTrace();
    c.type(ControlId::Value, "258");
    const Bytes request = withCrc("01 06 00 00 01 02");
    c.dataType(SingleHoldingRegister);
    c.fp.serial.script.reads = {request};
    c.write();
    EXPECT_TRUE(c.view.boxes().empty());
    EXPECT_EQ(trace(c),
              "100.000 COM1 TX +0 ms " + toHex(request) + "\r\n100.003 COM1 RX +3 ms " +
                  toHex(request) + "\r\n");

    c.fp.files.files.clear();
    c.type(ControlId::SlaveId, "0");
    const std::string stamp = stampOf(c.fp.clock.nowMs());
    c.write();
    EXPECT_EQ(trace(c), stamp + " COM1 TX +0 ms " + toHex(withCrc("00 06 00 00 01 02")) + "\r\n");
}

TEST(FrameTrace, TcpReadAndWrite)
{
    FakeConsole c;
    c.useTcp("10.0.0.9");
    c.fp.sockets.slave = goodTcpSlave;
    c.dlg.toggleFrameTrace();
    c.read();
    c.write();

    ASSERT_EQ(c.fp.sockets.sent.size(), 2u);
    const Bytes& read = c.fp.sockets.sent[0];
    const Bytes& write = c.fp.sockets.sent[1];
    EXPECT_EQ(trace(c),
              "100.000 10.0.0.9:502 TX +0 ms " + toHex(read) +
                  "\r\n"
                  "100.004 10.0.0.9:502 RX +4 ms " +
                  toHex(goodTcpReply(read)) +
                  "\r\n"
                  "100.004 10.0.0.9:502 TX +0 ms " +
                  toHex(write) +
                  "\r\n"
                  "100.006 10.0.0.9:502 RX +2 ms " +
                  toHex(goodTcpReply(write)) + "\r\n");
}

TEST(FrameTrace, TcpFailuresShowWhatArrived)
{
    FakeConsole c;
    c.useTcp("10.0.0.9");
    c.type(ControlId::Timeout, "1000");
    c.dlg.toggleFrameTrace();
    c.fp.sockets.replies.push_back({data("00 01 00 00 00 05 01"), closeStep()});
    c.read();
    EXPECT_NE(trace(c).find(" RX +6 ms 00 01 00 00 00 05 01 (read failed)\r\n"), std::string::npos)
        << trace(c);

    c.fp.files.files.clear();
    c.fp.sockets.replies.push_back({silence()});
    c.read();
    EXPECT_NE(trace(c).find(" RX +1000 ms (nothing) (read failed)\r\n"), std::string::npos)
        << trace(c);

    c.fp.files.files.clear();
    c.fp.sockets.sendError = EPIPE;
    c.read();
    EXPECT_NE(trace(c).find(" TX +0 ms 00 0"), std::string::npos) << trace(c);
    EXPECT_NE(trace(c).find(" (not sent)\r\n"), std::string::npos) << trace(c);
}

// A file system whose appends take time on the console's clock, as a slow disk would.
class SlowFiles : public InMemoryFileSystem
{
public:
    explicit SlowFiles(FakeClock& clock) : m_clock(clock) {}

    int appendLocked(const std::string& path, std::string_view line) override
    {
        m_clock.advance(50);
        return InMemoryFileSystem::appendLocked(path, line);
    }

private:
    FakeClock& m_clock;
};

TEST(FrameTrace, WritingTheTraceCostsTheTransactionTimeNothing)
{
    for (const bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "serial" : "tcp");
        std::vector<std::string> times[2];
        for (const bool tracing : {false, true}) {
            FakePlatform fp;
            SlowFiles files(fp.clock);
            Platform platform{
                fp.serial, fp.sockets, fp.clock, fp.workers, files, fp.programs, fp.halt};
            FakeView view;
            CMasterDlg dlg(view, platform);
            dlg.onInitDialog();
            view.setIndex(ControlId::Port, serial ? 1 : 0);
            dlg.applyPortRules();
            view.type(ControlId::Address, "10.0.0.9");
            view.setIndex(ControlId::SampleMode, ScheduledWithLogging);
            fp.sockets.slave = goodTcpSlave;
            if (tracing) {
                dlg.toggleFrameTrace();
            }
            dlg.onRead();
            for (int tick = 0; tick < 3; ++tick) {
                fp.serial.script.reads = {tick == 1 ? Bytes{} : kReply};
                dlg.onTimer(CMasterDlg::kScheduleTimer);
                fp.workers.runNext();
                times[tracing].push_back(view.text(ControlId::TransactionTime) + "/" +
                                         view.text(ControlId::MinTime) + "/" +
                                         view.text(ControlId::MaxTime));
            }
            EXPECT_EQ(files.files.count(kTrace), tracing ? 1u : 0u);
        }
        EXPECT_EQ(times[0], times[1]);
    }
}

TEST(FrameTrace, AWriteFailureIsToldOncePerSwitchingOn)
{
    FakeConsole c;
    c.useSerial();
    c.dlg.toggleFrameTrace();
    c.fp.files.appendError = ENOSPC;
    for (int i = 0; i < 3; ++i) {
        c.fp.serial.script.reads = {kReply};
        c.read();
    }
    EXPECT_EQ(c.view.notices(),
              std::vector<std::string>{"Quarin.trace could not be written: No space left on "
                                       "device"});
    c.dlg.toggleFrameTrace();
    c.dlg.toggleFrameTrace();
    c.fp.serial.script.reads = {kReply};
    c.read();
    EXPECT_EQ(c.view.notices().size(), 2u);
    EXPECT_EQ(c.shownValues()[0], "10");
}

TEST(FrameTrace, AHaltedTransactionLeavesNoTrace)
{
    FakeConsole c;
    c.useSerial();
    c.dlg.toggleFrameTrace();
    c.fp.serial.onRead = [&](SerialLog&) { c.fp.halt.raise(); };
    c.fp.serial.script.reads = {kReply};
    c.read();
    EXPECT_FALSE(hasTrace(c));
    EXPECT_FALSE(c.dlg.busy());
}

// A scheduled run: the worker records and writes, the window's thread switches the trace.
TEST(FrameTrace, AWorkerTracesWhileTheWindowSwitches)
{
    FakeConsole c;
    c.useSerial();
    c.type(ControlId::Timeout, "1000");
    c.select(ControlId::SampleMode, ScheduledWithLogging);
    c.dlg.onRead();
    c.dlg.toggleFrameTrace();
    c.fp.serial.script.reads = {kReply};
    ASSERT_TRUE(c.tickOnAWorkerThread());
    c.dlg.toggleFrameTrace();
    ASSERT_TRUE(c.tickOnAWorkerThread());
    c.dlg.toggleFrameTrace();
    c.fp.serial.script.reads = {};
    ASSERT_TRUE(c.tickOnAWorkerThread());

    const std::string lines = trace(c);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 4) << lines;
    EXPECT_NE(lines.find(" RX +3 ms " + toHex(kReply) + "\r\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find(" RX +1000 ms (nothing)\r\n"), std::string::npos) << lines;
    EXPECT_EQ(c.view.text(ControlId::TransactionCount), "3");
}

TEST(FrameTrace, IsNotASetting)
{
    std::string saved[2];
    for (const bool tracing : {false, true}) {
        FakeConsole c;
        if (tracing) {
            c.dlg.toggleFrameTrace();
        }
        c.dlg.saveSettings();
        saved[tracing] = c.fp.files.files["Quarin.ini"];
    }
    EXPECT_FALSE(saved[0].empty());
    EXPECT_EQ(saved[0], saved[1]);
}

} // namespace
} // namespace quarin::test
