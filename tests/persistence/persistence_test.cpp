#include <gtest/gtest.h>

#include "console/master_dlg.h"
#include "persistence/failure_report.h"
#include "persistence/settings_file.h"
#include "transactions/tx_console.h"

namespace quarin::test {
namespace {

constexpr char kDefaults[] = "0\r\n5\r\n0\r\n1\r\n1\r\n1\r\n0\r\n0\r\n254.254.254.254\r\n0\r\n"
                             "20000\r\n1\r\n0\r\n0\r\n";

std::string lines(std::initializer_list<const char*> texts)
{
    std::string file;
    for (const char* text : texts) {
        file += text;
        file += "\r\n";
    }
    return file;
}

TEST(SettingsFile, ExitFromAFreshConsoleWritesTheDefaults)
{
    FakeConsole c;
    EXPECT_EQ(c.savedIni(), kDefaults);
    EXPECT_TRUE(c.view.closed());
}

TEST(SettingsFile, EscapeWritesNothing)
{
    FakeConsole c(kDefaults);
    c.view.type(ControlId::SlaveId, "9");
    c.dlg.onDestroy();
    EXPECT_EQ(c.fp.files.files["Quarin.ini"], kDefaults);
}

TEST(SettingsFile, ShortFileIsReportedAndDeleted)
{
    for (const std::string& file :
         {std::string(),
          lines({"0", "5", "0", "1", "1", "1", "0", "0", "x", "0", "20000", "1", "0"})}) {
        FakeConsole c(file);
        EXPECT_FALSE(c.compatible);
        EXPECT_EQ(c.view.boxTexts(),
                  std::vector<std::string>{"Incompatible ini file detected.\nQuarin will close "
                                           "and delete Quarin.ini file.\nDefaults will be used "
                                           "next time."});
        EXPECT_EQ(c.fp.files.files.count("Quarin.ini"), 0u);
    }
}

TEST(SettingsFile, LinesAreReadAsTheConsoleDoes)
{
    // Port COM2, baud 7 (outside its list), slave " 42abc", empty address, pre-send delay 50.
    FakeConsole c(lines({"2",
                         "7",
                         "0",
                         " 42abc",
                         "100",
                         "3",
                         "1",
                         "1",
                         "",
                         "1",
                         "1500",
                         "250",
                         "1",
                         "50",
                         "fifteenth"}));
    ASSERT_TRUE(c.compatible);
    const ConsoleSettings& s = c.dlg.settings();
    EXPECT_EQ(s.m_port, 2);
    EXPECT_EQ(c.view.index(ControlId::Baud), -1);
    EXPECT_EQ(s.m_slaveId, 42);
    EXPECT_EQ(s.m_address, "");
    EXPECT_EQ(s.m_protocol, Jbus);
    EXPECT_EQ(s.m_closeAfterReply, 1);
    EXPECT_EQ(s.m_preSendDelayMs, 50);
    EXPECT_EQ(c.view.text(ControlId::RegisterLabel, 0), "100");
    EXPECT_EQ(c.view.text(ControlId::RegisterLabel, 2), "102");
    EXPECT_TRUE(c.view.isEnabled(ControlId::Baud));
    // The fifteenth line is gone at the next Exit; the out-of-list baud reads back as -1.
    EXPECT_EQ(
        c.savedIni(),
        lines({"2", "-1", "0", "42", "100", "3", "1", "1", "", "1", "1500", "250", "1", "50"}));
}

TEST(SettingsFile, LaterLinesOverrideEarlierRules)
{
    FakeConsole tcpJbus(
        lines({"0", "5", "0", "1", "1", "1", "1", "0", "h", "0", "20000", "1", "0", "0"}));
    EXPECT_EQ(tcpJbus.dlg.settings().m_protocol, Jbus);
    EXPECT_EQ(tcpJbus.view.text(ControlId::RegisterLabel, 0), "1");

    FakeConsole asciiNone(
        lines({"1", "5", "0", "1", "1", "1", "2", "1", "h", "0", "20000", "1", "0", "0"}));
    EXPECT_EQ(asciiNone.dlg.settings().m_protocol, ModbusAscii);
    EXPECT_EQ(asciiNone.view.index(ControlId::Parity), 1);
    EXPECT_FALSE(asciiNone.view.isEnabled(ControlId::Parity));
    EXPECT_EQ(asciiNone.savedIni(),
              lines({"1", "5", "0", "1", "1", "1", "2", "1", "h", "0", "20000", "1", "0", "0"}));
}

// A data type outside the five (an edited line 3) has no request of its own. The console takes
// the default at load, so a Read sends the holding-register request, never a frame without a PDU.
TEST(SettingsFile, DataTypeOutsideTheListLoadsAsTheDefault)
{
    struct Link
    {
        const char* port;
        const char* protocol;
        Bytes request;
        Bytes reply;
    };

    const Link links[] = {
        {"0",
         "0",
         hexBytes("00 01 00 00 00 06 01 03 00 00 00 01"),
         mbap(1, hexBytes("01 03 02 00 2A"))},
        {"1", "0", withCrc("01 03 00 00 00 01"), withCrc("01 03 02 00 2A")},
        {"1", "2", asciiFrame("01 03 00 00 00 01"), asciiFrame("01 03 02 00 2A")},
    };
    for (const Link& link : links) {
        for (const char* type : {"5", "-1", "99"}) {
            SCOPED_TRACE(std::string("port ") + link.port + ", protocol " + link.protocol +
                         ", data type " + type);
            const std::string file = lines({link.port,
                                            "3",
                                            type,
                                            "1",
                                            "1",
                                            "1",
                                            link.protocol,
                                            "1",
                                            "127.0.0.1",
                                            "0",
                                            "1500",
                                            "1",
                                            "0",
                                            "0"});
            FakeConsole c(file);
            ASSERT_TRUE(c.compatible);
            EXPECT_EQ(c.view.index(ControlId::DataType), HoldingRegister);
            c.fp.sockets.replies.push_back({data(link.reply)});
            c.fp.serial.script.reads = {link.reply};
            c.dlg.onRead();
            const std::vector<Bytes> sent =
                std::string(link.port) == "0"
                    ? c.fp.sockets.sent
                    : (c.fp.serial.last() ? c.fp.serial.last()->writes : std::vector<Bytes>{});
            EXPECT_EQ(sent, std::vector<Bytes>{link.request});
            EXPECT_EQ(c.view.text(ControlId::Value, 0), "42");
            EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
            EXPECT_EQ(ReadSettingsLines(c.savedIni()).at(2), "0");
        }
    }
}

TEST(SettingsFile, LineEndings)
{
    struct Case
    {
        std::string file;
        std::vector<std::string> lines;
    };

    const Case cases[] = {
        {"1\r\n2\r\n", {"1", "2"}},
        {"1\rX2\r\n", {"1", "2"}}, // a CR takes the next byte for its LF, whatever it is
        {"1\n2\n3", {"1", "2", "3"}},
        {"\r\n\r\n", {"", ""}},
        {std::string(300, '7') + "\r\n", {std::string(300, '7')}},
        {"a\r", {"a"}},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(ReadSettingsLines(k.file), k.lines);
    }
}

TEST(SettingsFile, SaveThatFailsIsReported)
{
    FakeConsole c;
    c.fp.files.replaceFails = true;
    c.dlg.onExit();
    EXPECT_EQ(c.view.boxTexts().size(), 1u);
    EXPECT_TRUE(c.view.closed());
}

TEST(FailureReport, LogLineForm)
{
    ConsoleSettings tcp;
    tcp.m_address = "plc-1%s%n";
    tcp.m_slaveId = -3;
    EXPECT_EQ(BuildLogLine("12/06/26 08:04:00", tcp, "text"),
              "12/06/26 08:04:00 - Slave IP = plc-1%s%n - Slave ID = -3 - text");
    ConsoleSettings serial;
    serial.m_port = 4;
    EXPECT_EQ(BuildLogLine("01/02/03 04:05:06", serial, "x"),
              "01/02/03 04:05:06 - Slave ID = 1 - x");
}

TEST(FailureReport, RoadsBySampleMode)
{
    struct Case
    {
        SampleMode mode;
        ReportKind kind;
        bool box, logged, counted, stops;
    };

    const Case cases[] = {
        {Manual, Failure, true, false, false, false},
        {Scheduled, Failure, true, false, false, true},
        {ScheduledWithLogging, Failure, false, true, true, false},
        {ScheduledWithLogging, LinkFailure, false, true, true, false},
        {ScheduledWithLogging, Notice, false, true, false, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.mode) + "/" + std::to_string(k.kind));
        FakeConsole c;
        c.view.setIndex(ControlId::SampleMode, k.mode);
        if (k.mode != Manual) {
            c.dlg.onRead(); // starts the schedule
        }
        c.dlg.reportFailure("Timeout waiting on a response", k.kind);
        const std::string line = "12/06/26 08:04:00 - Slave IP = 254.254.254.254 - Slave ID = 1 "
                                 "- Timeout waiting on a response";
        EXPECT_EQ(c.view.boxTexts(),
                  k.box ? std::vector<std::string>{line} : std::vector<std::string>{});
        EXPECT_EQ(c.fp.files.files["Quarin.log"], k.logged ? line + "\r\n" : "");
        EXPECT_EQ(c.view.text(ControlId::ErrorCount), k.counted ? "1" : "0");
        EXPECT_EQ(c.dlg.scheduleRunning(), k.mode != Manual && !k.stops);
    }
}

TEST(FailureReport, LogOpensWithTheDesktopViewer)
{
    FakeConsole c;
    c.dlg.viewLog();
    ASSERT_EQ(c.fp.programs.started.size(), 1u);
    EXPECT_EQ(c.fp.programs.started[0], (std::vector<std::string>{"xdg-open", "Quarin.log"}));
}

} // namespace
} // namespace quarin::test
