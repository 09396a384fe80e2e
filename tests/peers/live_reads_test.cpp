// Reads through the real links against slaves nobody here wrote: libmodbus over the pty cable and
// on loopback, pymodbus for ASCII, device identification and the scattered read. The slaves'
// register contents give away the addresses they were asked for.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/live_console.h"
#include "support/peer_rig.h"

namespace quarin::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kAnswerTimeout = 3s;
constexpr int kCom = 1;
constexpr int kReplyTimeoutMs = 5000;

struct ReadCase
{
    DataType type;
    int start;
    int count;
    DisplayMode display;
};

std::string caseName(const ReadCase& c)
{
    static const char* const kTypes[] = {"holding", "input", "single holding"};
    return std::string(kTypes[c.type]) + " from " + std::to_string(c.start) + " x" +
           std::to_string(c.count) + (c.display == Hex ? " hex" : " decimal");
}

std::vector<ReadCase> registerReads()
{
    struct Span
    {
        int start, count;
    };

    // 65000 takes the input registers past 65535; the last span ends on the highest address that
    // Jbus can name.
    constexpr Span kSpans[] = {{1, 1}, {300, 10}, {65000, 12}, {65411, 125}};
    std::vector<ReadCase> cases;
    for (DataType type : {HoldingRegister, InputRegister}) {
        for (const Span& span : kSpans) {
            for (DisplayMode display : {Decimal, Hex}) {
                cases.push_back({type, span.start, span.count, display});
            }
        }
    }
    cases.push_back({SingleHoldingRegister, 77, 1, Decimal});
    cases.push_back({SingleHoldingRegister, 65535, 1, Hex});
    return cases;
}

std::string valueText(unsigned value, DisplayMode display)
{
    char text[16];
    std::snprintf(text, sizeof text, display == Hex ? "%x" : "%u", value);
    return text;
}

// Holding register k holds k, input register k holds (k + 1000) mod 65536.
std::vector<std::string> expectedValues(const ReadCase& c, ProtocolVariant protocol)
{
    const unsigned first = static_cast<unsigned>(protocol == Jbus ? c.start : c.start - 1);
    std::vector<std::string> texts(kValueRows, "0");
    for (int i = 0; i < c.count && i < kValueRows; ++i) {
        const unsigned address = first + static_cast<unsigned>(i);
        const unsigned value = c.type == InputRegister ? (address + 1000u) % 65536u : address;
        texts[static_cast<std::size_t>(i)] = valueText(value, c.display);
    }
    return texts;
}

long requestCount(PeerProcess& slave)
{
    const auto line = slave.ask("COUNT", "COUNT ", kAnswerTimeout);
    return line ? std::stol(line->substr(6)) : -1;
}

// The time shown is the transaction's: no longer than the call took, the run's minimum, and its
// maximum unless it took 0 ms.
void expectTimeShown(const LiveConsole& c, SteadyClock::duration took)
{
    const long shown = c.shownNumber(ControlId::TransactionTime);
    EXPECT_GE(shown, 0);
    EXPECT_LE(shown, std::chrono::duration_cast<std::chrono::milliseconds>(took).count() + 1);
    EXPECT_EQ(c.view.text(ControlId::MinTime), c.view.text(ControlId::TransactionTime));
    if (shown > 0) {
        EXPECT_EQ(c.view.text(ControlId::MaxTime), c.view.text(ControlId::TransactionTime));
    }
}

void expectRegisterReads(LiveConsole& c, PeerProcess& slave, ProtocolVariant protocol)
{
    long requests = requestCount(slave);
    for (const ReadCase& read : registerReads()) {
        SCOPED_TRACE(caseName(read));
        c.dataType(read.type);
        c.registers(read.start, read.count);
        c.display(read.display);
        c.values(std::vector<std::string>(kValueRows, "9"));
        c.view.clearBoxes();

        const auto begun = SteadyClock::now();
        c.dlg.onRead();
        const auto took = SteadyClock::now() - begun;

        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
        EXPECT_EQ(c.shownValues(), expectedValues(read, protocol));
        EXPECT_EQ(c.shownLabels(), registerLabels(read.type, protocol, read.start, read.count));
        expectTimeShown(c, took);
        EXPECT_EQ(requestCount(slave), ++requests) << "one request per read";
        EXPECT_FALSE(c.dlg.busy());
    }
}

TEST(LiveReads, LibmodbusRtuOverTheCableUnderModbusAndJbus)
{
    SerialRig rig(kCom);
    ASSERT_TRUE(rig.start(rtuSlave(rig.cable)));

    LiveConsole c;
    c.timeoutMs(kReplyTimeoutMs);
    for (ProtocolVariant protocol : {Modbus, Jbus}) {
        SCOPED_TRACE(protocol == Modbus ? "Modbus" : "Jbus");
        c.useSerial(kCom, protocol);
        expectRegisterReads(c, rig.slave, protocol);
    }
    EXPECT_EQ(rig.slave.ask("LAST", "LAST", kAnswerTimeout), "LAST none") << "reads write nothing";
    EXPECT_TRUE(rig.slave.stop());
}

TEST(LiveReads, LibmodbusTcpOnLoopbackOverOneConnection)
{
    TcpRig rig;
    ASSERT_TRUE(rig.start(tcpSlave()));

    LiveConsole c(rig.port(), kReplyTimeoutMs);
    std::vector<int> connection;
    ASSERT_TRUE(firstReadOverOneConnection(c, rig, connection));

    expectRegisterReads(c, rig.slave, Modbus);
    EXPECT_TRUE(c.dlg.connected());
    EXPECT_EQ(clientPortsTo(rig.port()), connection) << "every read went over the first connection";

    c.dlg.onDestroy();
    EXPECT_EQ(clientPortsTo(rig.port()), std::vector<int>()) << "closed with the window";
    EXPECT_TRUE(rig.slave.stop());
}

// A host name costs a second's pause on a new connection and nothing on a reused one.
TEST(LiveReads, LibmodbusTcpByHostName)
{
    TcpRig rig;
    ASSERT_TRUE(rig.start(tcpSlave()));

    LiveConsole c(rig.port());
    c.useTcp("localhost");
    c.timeoutMs(kReplyTimeoutMs);
    c.registers(8, 2);
    std::vector<int> connection;
    for (int read = 0; read < 2; ++read) {
        SCOPED_TRACE(read == 0 ? "new connection" : "reused connection");
        const auto begun = SteadyClock::now();
        c.dlg.onRead();
        const auto took = SteadyClock::now() - begun;
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
        EXPECT_EQ(c.shownValues(), textList({"7", "8", "0", "0", "0", "0", "0", "0", "0", "0"}));
        if (read == 0) {
            EXPECT_GE(took, 1000ms);
            connection = clientPortsTo(rig.port());
            EXPECT_EQ(connection.size(), 1u);
        } else {
            EXPECT_LT(took, 1000ms);
            EXPECT_EQ(clientPortsTo(rig.port()), connection);
        }
        EXPECT_LT(c.shownNumber(ControlId::TransactionTime), 1000) << "the pause is not timed";
    }
    EXPECT_TRUE(rig.slave.stop());
}

TEST(LiveReads, PymodbusAsciiRegistersIdentificationAndScatteredReads)
{
    SerialRig rig(kCom);
    ASSERT_TRUE(rig.start(asciiSlave(rig.cable)));

    LiveConsole c(kCom, ModbusAscii, kReplyTimeoutMs);

    {
        SCOPED_TRACE("holding registers");
        c.registers(300, 12);
        c.dlg.onRead();
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
        EXPECT_EQ(c.shownValues(),
                  textList({"299", "300", "301", "302", "303", "304", "305", "306", "307", "308"}));
    }
    {
        SCOPED_TRACE("input registers in hex");
        c.dataType(InputRegister);
        c.registers(65000, 2);
        c.display(Hex);
        c.dlg.onRead();
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
        EXPECT_EQ(c.shownValues(),
                  textList({"1cf", "1d0", "0", "0", "0", "0", "0", "0", "0", "0"}));
        c.display(Decimal);
    }

    {
        SCOPED_TRACE("identification");
        c.dataType(DeviceIdentification);
        // The reply is read for the whole time-out, so the shortest one.
        c.timeoutMs(1000);
        c.view.clearBoxes();
        c.dlg.onRead();
        const std::vector<ShownBox> boxes = c.view.boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text,
                  "Vendor Name:  Peer Works\n\rProduct Code:  PW-01\n\rRevision:  3.0.0\n\r");
        EXPECT_EQ(boxes[0].icon, MessageIcon::Information);
        EXPECT_EQ(c.shownValues(), std::vector<std::string>(kValueRows, "0"));
        EXPECT_GE(c.shownNumber(ControlId::TransactionTime), 999);
        c.timeoutMs(kReplyTimeoutMs);
    }

    struct Scattered
    {
        int start, count;
        const char* transmission; // as the request carries it, in hex characters
        std::vector<std::string> values;
    };

    const Scattered reads[] = {
        {10, 5, "02", textList({"9", "10", "11", "12", "13", "0", "0", "0", "0", "0"})},
        {200,
         100,
         "03",
         textList({"199", "200", "201", "202", "203", "204", "205", "206", "207", "208"})},
    };
    c.dataType(ScatteredRead);
    for (const Scattered& read : reads) {
        SCOPED_TRACE("scattered read of " + std::to_string(read.count));
        c.registers(read.start, read.count);
        c.view.clearBoxes();
        rig.cable.clearRecords();
        c.dlg.onRead();
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
        EXPECT_EQ(c.shownValues(), read.values);
        // ':', slave, function 64, byte count, sub-function 04, then the transmission number.
        const std::vector<std::uint8_t> sent = rig.cable.sentByQuarin();
        ASSERT_GE(sent.size(), 11u);
        EXPECT_EQ(std::string(sent.begin(), sent.begin() + 9),
                  std::string(":0164") + (read.count == 5 ? "0C" : "CA") + "04");
        EXPECT_EQ(std::string(sent.begin() + 9, sent.begin() + 11), read.transmission);
        EXPECT_EQ(sent.size(), 4u * static_cast<unsigned>(read.count) + 15u);
    }
    EXPECT_EQ(c.dlg.scatterTransactionNo(), 3);
    EXPECT_EQ(requestCount(rig.slave), 5);
    EXPECT_TRUE(rig.slave.stop());
}

} // namespace
} // namespace quarin::test
