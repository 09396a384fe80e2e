// The logging mode on a real worker thread against a slave in another process, the window's
// timer and events played by the test thread: every failure a line in Quarin.log, the stop line
// with the counts the console shows, and an exit that does not wait for a long read.

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/live_console.h"
#include "support/peer_rig.h"

namespace quarin::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kRunLimit = 60s; // for eight transactions: only a hang comes near it

std::string readLog()
{
    std::ifstream file("Quarin.log", std::ios::binary);
    std::string log;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        log.append(chunk, static_cast<std::size_t>(file.gcount()));
    }
    return log;
}

std::vector<std::string> logLines(const std::string& log)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2) {
        lines.push_back(log.substr(at, end - at));
    }
    EXPECT_EQ(at, log.size()) << "every line ends in CR LF";
    return lines;
}

TEST(LiveLogging, LoggingRunWritesEveryFailureAndTheStopLineThenExitsDuringALongRead)
{
    const std::string good = R"({"reply": "tid 00 00 00 05 01 03 02 00 2A"})";
    const std::vector<std::string> steps = {
        good,
        R"({"reply": "tid 00 00 00 05 01 04 02 00 2A"})",
        good,
        R"({"reply": "tid+7 00 00 00 05 01 03 02 00 2A"})",
        R"({"after": "close"})",
        good,
        R"({"reply": "tid 00 00 00 03 01 83 02"})",
        good,
        R"({"hold": true})",
    };
    constexpr std::uint32_t kRunTransactions = 8;
    TcpRig rig;
    ASSERT_TRUE(rig.start(scriptedSlave({"--tcp"}, steps)));

    LiveConsole c(rig.port(), 5000);
    c.view.type(ControlId::SampleRate, "1");
    c.view.setIndex(ControlId::SampleMode, ScheduledWithLogging);
    const std::time_t from = std::time(nullptr);
    c.dlg.onRead();
    ASSERT_TRUE(c.dlg.scheduleRunning());
    ASSERT_TRUE(runSchedule(c, kRunTransactions));
    c.dlg.onStop();
    const std::time_t to = std::time(nullptr);

    EXPECT_EQ(c.view.text(ControlId::TransactionCount), "8");
    EXPECT_EQ(c.view.text(ControlId::ErrorCount), "3");
    EXPECT_EQ(c.view.text(ControlId::Value, 0), "42") << "the last read succeeded";
    EXPECT_EQ(c.view.boxTexts(), textList({"Slave ID 1 - Response has invalid transaction number"}))
        << "the one failure that is not the log's";
    const std::vector<std::string> lines = logLines(readLog());
    ASSERT_EQ(lines.size(), 4u) << readLog();
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
        const auto text = reportText(line, from, to, tcpSlavePrefix());
        EXPECT_TRUE(text) << line;
        texts.push_back(text.value_or(line));
    }
    EXPECT_EQ(texts[0], "Response has wrong function code");
    EXPECT_TRUE(
        texts[1].starts_with("Winsock error occurred during socket recv operation - error = "))
        << texts[1];
    EXPECT_EQ(texts[2], "Exception response received - type 2");
    EXPECT_EQ(texts[3], "***** Logging Stopped, Error Count = 3, Transaction Count = 8 *****");

    // A new run whose read the slave never answers, and a time-out far longer than the wait for
    // the worker at exit.
    c.timeoutMs(30000);
    c.dlg.onRead();
    ASSERT_TRUE(runWindow(
        c, [&] { return rig.slave.waitForLine("HELD 8", 1ms).has_value(); }, [] { return true; }));
    ASSERT_TRUE(c.dlg.busy());
    const std::string logBefore = readLog();

    const auto begun = SteadyClock::now();
    c.dlg.onDestroy();
    EXPECT_LT(SteadyClock::now() - begun, 5s);
    EXPECT_TRUE(c.waitForWorkers(5s)) << "the halt ends the read";
    EXPECT_EQ(readLog(), logBefore) << "nothing is written after the halt";
    EXPECT_EQ(c.view.boxTexts().size(), 1u) << "nor shown";
    EXPECT_FALSE(c.dlg.connected());
    EXPECT_EQ(clientPortsTo(rig.port()), std::vector<int>());
    EXPECT_TRUE(rig.slave.stop());
}

// On a serial line the lines name no address, and a silent slave costs its time-out each time.
TEST(LiveLogging, SerialLoggingRunWritesItsFailuresWithoutAnAddress)
{
    const std::string good = R"({"reply": "01 03 02 00 2A crc"})";
    const std::vector<std::string> steps = {
        good, "{}", R"({"reply": "01 03 02 00 2A 00 00"})", good};
    SerialRig rig(1);
    ASSERT_TRUE(rig.start(scriptedSlave({"--serial", rig.cable.peerPath()}, steps)));
    constexpr std::uint32_t kRunTransactions = 4;

    LiveConsole c(1, Modbus, 1000);
    c.view.type(ControlId::SampleRate, "1");
    c.view.setIndex(ControlId::SampleMode, ScheduledWithLogging);
    const std::time_t from = std::time(nullptr);
    c.dlg.onRead();
    ASSERT_TRUE(runSchedule(c, kRunTransactions));
    c.dlg.onStop();
    const std::time_t to = std::time(nullptr);

    EXPECT_EQ(c.view.text(ControlId::ErrorCount), "2");
    EXPECT_EQ(c.view.text(ControlId::Value, 0), "42");
    EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
    std::vector<std::string> texts;
    for (const std::string& line : logLines(readLog())) {
        const auto text = reportText(line, from, to, serialSlavePrefix());
        EXPECT_TRUE(text) << line;
        texts.push_back(text.value_or(line));
    }
    EXPECT_EQ(texts,
              textList({"Timeout waiting on a response",
                        "CRC calculation does not match what was received",
                        "***** Logging Stopped, Error Count = 2, Transaction Count = 4 *****"}));
    EXPECT_TRUE(rig.slave.stop());
}

// Two consoles logging into one folder at once, each on its own worker: every line whole.
TEST(LiveLogging, TwoConsolesLoggingAtOnceNeverMixTheirLines)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    constexpr std::uint32_t kRunTransactions = 60;
    const std::vector<std::string> steps(kRunTransactions,
                                         R"({"reply": "tid 00 00 00 05 req[6] 04 02 00 2A"})");

    struct Run
    {
        PeerProcess slave;
        std::unique_ptr<LiveConsole> console;
    };

    Run runs[2];
    for (int i = 0; i < 2; ++i) {
        Run& run = runs[i];
        ASSERT_TRUE(run.slave.start(scriptedSlave({"--tcp"}, steps))) << run.slave.error();
        const auto port = run.slave.waitForPort(kPeerStartTimeout);
        ASSERT_TRUE(port);
        run.console = std::make_unique<LiveConsole>(static_cast<std::uint16_t>(*port));
        LiveConsole& c = *run.console;
        c.useTcp();
        c.timeoutMs(5000);
        c.slaveId(i + 1);
        c.view.type(ControlId::SampleRate, "1");
        c.view.setIndex(ControlId::SampleMode, ScheduledWithLogging);
    }
    const std::time_t from = std::time(nullptr);
    for (Run& run : runs) {
        run.console->dlg.onRead();
    }
    auto started = [&](const Run& run) {
        return run.console->dlg.stats().transactionCount >= kRunTransactions;
    };
    const auto deadline = SteadyClock::now() + kRunLimit;
    while (!(started(runs[0]) && started(runs[1]) && !runs[0].console->dlg.busy() &&
             !runs[1].console->dlg.busy())) {
        ASSERT_LT(SteadyClock::now(), deadline);
        for (Run& run : runs) {
            if (!started(run)) {
                run.console->dlg.onTimer(CMasterDlg::kScheduleTimer);
            }
            run.console->view.processEvents();
        }
        std::this_thread::sleep_for(1ms);
    }
    for (Run& run : runs) {
        ASSERT_TRUE(run.console->waitForWorkers(5s));
        run.console->dlg.onStop();
    }
    const std::time_t to = std::time(nullptr);

    int lines[2] = {0, 0};
    int stopLines = 0;
    for (const std::string& line : logLines(readLog())) {
        std::optional<std::string> text;
        int id = 0;
        for (; id < 2 && !text; ++id) {
            text = reportText(line, from, to, tcpSlavePrefix(id + 1));
        }
        ASSERT_TRUE(text) << line;
        if (*text == "Response has wrong function code") {
            ++lines[id - 1];
        } else {
            EXPECT_EQ(*text,
                      "***** Logging Stopped, Error Count = 60, Transaction Count = 60 *****");
            ++stopLines;
        }
    }
    EXPECT_EQ(lines[0], 60);
    EXPECT_EQ(lines[1], 60);
    EXPECT_EQ(stopLines, 2);
}

// A slave whose queue of connections is full: the worker's connection attempt, which has no
// time-out of its own, hangs until the halt cuts it short.
TEST(LiveLogging, ExitWhileTheWorkerIsStillConnecting)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    LoopbackPort listener;
    ASSERT_TRUE(listener.listen(0));
    const int port = listener.port();
    // Never accepted: it fills the queue.
    const int filler = listener.connectClient();
    ASSERT_GE(filler, 0);

    {
        LiveConsole c(listener.port());
        c.useTcp();
        c.timeoutMs(1000);
        c.view.setIndex(ControlId::SampleMode, ScheduledWithLogging);
        c.dlg.onRead();
        const bool connecting = runWindow(
            c, [&] { return clientPortsTo(port, kTcpSynSent).size() == 1u; }, [] { return true; });
        EXPECT_TRUE(connecting) << "the attempt should hang";
        if (connecting) {
            std::this_thread::sleep_for(200ms);
            EXPECT_TRUE(c.dlg.busy());
        }

        const auto begun = SteadyClock::now();
        c.dlg.onDestroy();
        EXPECT_LT(SteadyClock::now() - begun, 5s);
        EXPECT_TRUE(c.waitForWorkers(5s)) << "the halt ends the attempt";
        EXPECT_EQ(clientPortsTo(port, kTcpSynSent), std::vector<int>());
        EXPECT_FALSE(std::filesystem::exists("Quarin.log"));
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
    }
    close(filler);
}

// The same exit while the worker waits on a serial line that never answers.
TEST(LiveLogging, ExitDuringASerialReadOnTheWorkerIsQuickAndSilent)
{
    SerialRig rig(1);
    ASSERT_TRUE(rig.ready());

    LiveConsole c(1, Modbus, 30000);
    c.view.setIndex(ControlId::SampleMode, ScheduledWithLogging);
    c.dlg.onRead();
    ASSERT_TRUE(runWindow(
        c, [&] { return rig.cable.waitSentByQuarin(8, 1ms); }, [] { return true; }));
    ASSERT_TRUE(c.dlg.busy());

    const auto begun = SteadyClock::now();
    c.dlg.onDestroy();
    EXPECT_LT(SteadyClock::now() - begun, 5s);
    EXPECT_TRUE(c.waitForWorkers(5s)) << "the halt ends the read";
    EXPECT_FALSE(std::filesystem::exists("Quarin.log"));
    EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
    EXPECT_EQ(rig.cable.sentByQuarin().size(), 8u) << "one request, no other";
}

} // namespace
} // namespace quarin::test
