// Writes through the real links: after each one the slave's own store (DUMP) must hold the values
// as the operator typed them, at the addresses the protocol names, and nothing beyond the count.

#include <chrono>
#include <string>
#include <thread>
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
constexpr unsigned kUntouched = 11111; // what the registers around a write hold before it

struct WriteCase
{
    const char* name;
    DataType type;
    ProtocolVariant protocol;
    DisplayMode display;
    int start;
    std::vector<std::string> values; // the first count are sent; the rest must not be looked at
    int count;
    unsigned address;
    std::vector<unsigned> stored;
};

std::vector<WriteCase> writeCases(bool serial)
{
    // Rows past the count hold texts out of range: a write that checked or sent them would fail.
    const std::string junk = "99999";
    std::vector<WriteCase> cases = {
        {"one register", HoldingRegister, Modbus, Decimal, 100, {"1234", junk}, 1, 99, {1234}},
        {"three registers",
         HoldingRegister,
         Modbus,
         Decimal,
         100,
         {"1", "-1", "40000", junk, junk},
         3,
         99,
         {1, 65535, 40000}},
        {"ten registers",
         HoldingRegister,
         Modbus,
         Decimal,
         500,
         {"10", "20", "30", "40", "50", "60", "70", "80", "90", "100"},
         10,
         499,
         {10, 20, 30, 40, 50, 60, 70, 80, 90, 100}},
        {"decimal edges",
         HoldingRegister,
         Modbus,
         Decimal,
         1000,
         {"-1", "65535", "-32768", "40000", junk},
         4,
         999,
         {65535, 65535, 32768, 40000}},
        {"hex keeps the low 16 bits",
         HoldingRegister,
         Modbus,
         Hex,
         2000,
         {"FFFF", "8000", "12345", "zz"},
         3,
         1999,
         {65535, 32768, 0x2345}},
        {"start register 65535",
         HoldingRegister,
         Modbus,
         Decimal,
         65535,
         {"4242"},
         1,
         65534,
         {4242}},
        {"function 06", SingleHoldingRegister, Modbus, Decimal, 321, {"-2"}, 1, 320, {65534}},
        {"function 06 in hex", SingleHoldingRegister, Modbus, Hex, 322, {"ffff"}, 1, 321, {65535}},
    };
    if (serial) {
        cases.push_back({"Jbus names the register itself",
                         HoldingRegister,
                         Jbus,
                         Decimal,
                         100,
                         {"7", "8"},
                         2,
                         100,
                         {7, 8}});
        cases.push_back({"Jbus start register 65535",
                         HoldingRegister,
                         Jbus,
                         Decimal,
                         65535,
                         {"-3"},
                         1,
                         65535,
                         {65533}});
        cases.push_back(
            {"Jbus function 06", SingleHoldingRegister, Jbus, Decimal, 9, {"606"}, 1, 9, {606}});
    }
    return cases;
}

std::string registersLine(const std::vector<unsigned>& values)
{
    std::string line = "REGS";
    for (unsigned value : values) {
        line += " " + std::to_string(value);
    }
    return line;
}

std::optional<std::string> dump(PeerProcess& slave, unsigned address, std::size_t count)
{
    return slave.ask(
        "DUMP " + std::to_string(address) + " " + std::to_string(count), "REGS", kAnswerTimeout);
}

// What a write of the case should leave behind: its values, then the register after it as it was.
std::vector<unsigned> expectedStore(const WriteCase& w)
{
    std::vector<unsigned> store = w.stored;
    if (w.address + w.stored.size() < 65536u) {
        store.push_back(kUntouched);
    }
    return store;
}

void presetAround(PeerProcess& slave, const WriteCase& w)
{
    std::string line = "SET " + std::to_string(w.address);
    for (std::size_t i = 0; i < expectedStore(w).size(); ++i) {
        line += " " + std::to_string(kUntouched);
    }
    ASSERT_EQ(slave.ask(line, "OK", kAnswerTimeout), "OK");
}

void setUpWrite(LiveConsole& c, const WriteCase& w, bool serial)
{
    if (serial) {
        c.useSerial(kCom, w.protocol);
    }
    c.dataType(w.type);
    if (w.type == HoldingRegister) {
        c.registers(w.start, w.count);
    } else {
        c.view.type(ControlId::StartRegister, std::to_string(w.start));
        c.dlg.refreshLabels();
    }
    c.view.setIndex(ControlId::DisplayMode, w.display);
    c.values(w.values);
    c.view.clearBoxes();
}

void expectWrites(LiveConsole& c, PeerProcess& slave, bool serial)
{
    for (const WriteCase& w : writeCases(serial)) {
        SCOPED_TRACE(w.name);
        presetAround(slave, w);
        setUpWrite(c, w, serial);

        const auto begun = SteadyClock::now();
        c.dlg.onWrite();
        const auto took = SteadyClock::now() - begun;

        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
        EXPECT_EQ(dump(slave, w.address, expectedStore(w).size()), registersLine(expectedStore(w)));
        const int function = w.type == SingleHoldingRegister ? 6 : 16;
        EXPECT_EQ(slave.ask("LAST", "LAST", kAnswerTimeout),
                  "LAST 1 " + std::to_string(function) + " " + std::to_string(w.address) + " " +
                      std::to_string(w.count));
        // The texts sent stay as typed; the rows past the count are cleared.
        std::vector<std::string> shown(kValueRows, "0");
        for (int i = 0; i < w.count; ++i) {
            shown[static_cast<std::size_t>(i)] = w.values[static_cast<std::size_t>(i)];
        }
        EXPECT_EQ(c.shownValues(), shown);
        EXPECT_EQ(c.shownLabels(), registerLabels(w.type, w.protocol, w.start, w.count));
        const long ms = c.shownNumber(ControlId::TransactionTime);
        EXPECT_GE(ms, 0);
        EXPECT_LE(ms, std::chrono::duration_cast<std::chrono::milliseconds>(took).count() + 1);
        EXPECT_FALSE(c.dlg.busy());
    }
}

// A broadcast gets no reply, so the store is looked at until the slave has got round to it.
bool waitForStore(PeerProcess& slave, unsigned address, const std::vector<unsigned>& values)
{
    const auto deadline = SteadyClock::now() + kAnswerTimeout;
    while (SteadyClock::now() < deadline) {
        if (dump(slave, address, values.size()) == registersLine(values)) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A broadcast of 5 and 6 to holding registers 50 and 51, set up but not sent.
void broadcastFiveAndSix(LiveConsole& c)
{
    c.dataType(HoldingRegister);
    c.registers(50, 2);
    c.view.setIndex(ControlId::DisplayMode, Decimal);
    c.values({"5", "6"});
    c.slaveId(0);
    c.view.clearBoxes();
}

TEST(LiveWrites, LibmodbusRtuOverTheCable)
{
    SerialRig rig(kCom);
    ASSERT_TRUE(rig.start(rtuSlave(rig.cable)));

    LiveConsole c;
    c.timeoutMs(kReplyTimeoutMs);
    expectWrites(c, rig.slave, true);

    SCOPED_TRACE("a broadcast is done without a reply");
    c.useSerial(kCom, Modbus);
    broadcastFiveAndSix(c);
    const auto begun = SteadyClock::now();
    c.dlg.onWrite();
    EXPECT_LT(SteadyClock::now() - begun, 2s) << "no reply is waited for";
    EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
    EXPECT_TRUE(waitForStore(rig.slave, 49, {5, 6}));
    EXPECT_EQ(rig.slave.ask("LAST", "LAST", kAnswerTimeout), "LAST 0 16 49 2");
    EXPECT_TRUE(rig.slave.stop());
}

TEST(LiveWrites, LibmodbusTcpOnLoopbackThenABroadcastWhoseReplyTheNextReadDrops)
{
    TcpRig rig;
    ASSERT_TRUE(rig.start(tcpSlave()));

    LiveConsole c(rig.port(), kReplyTimeoutMs);
    expectWrites(c, rig.slave, false);
    const std::vector<int> connection = clientPortsTo(rig.port());
    EXPECT_EQ(connection.size(), 1u);

    // libmodbus answers unit 0 over TCP; the console reads no reply to a broadcast, so the answer
    // waits on the connection when the next request goes out.
    broadcastFiveAndSix(c);
    c.dlg.onWrite();
    EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
    // The slave takes its stdin before the connections it serves, so once LAST names the
    // broadcast, the reply to it has gone out.
    std::optional<std::string> last;
    for (auto until = SteadyClock::now() + kAnswerTimeout;
         (last = rig.slave.ask("LAST", "LAST", kAnswerTimeout)) != "LAST 0 16 49 2" &&
         SteadyClock::now() < until;) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(last, "LAST 0 16 49 2");
    EXPECT_EQ(dump(rig.slave, 49, 2), "REGS 5 6");

    c.slaveId(1);
    c.dlg.onRead();
    EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
    EXPECT_EQ(c.shownValues(), textList({"5", "6", "0", "0", "0", "0", "0", "0", "0", "0"}));
    EXPECT_EQ(clientPortsTo(rig.port()), connection)
        << "one connection for writes, broadcast and read";
    EXPECT_TRUE(rig.slave.stop());
}

TEST(LiveWrites, PymodbusAsciiOverTheCable)
{
    SerialRig rig(kCom);
    ASSERT_TRUE(rig.start(asciiSlave(rig.cable)));

    LiveConsole c(kCom, ModbusAscii, kReplyTimeoutMs);

    struct AsciiWrite
    {
        DataType type;
        int start;
        std::vector<std::string> values;
        const char* dump;
        const char* last;
    };

    const AsciiWrite writes[] = {
        {HoldingRegister, 7, {"-1", "40000", "3"}, "REGS 65535 40000 3 9", "LAST 1 16 6 3"},
        {SingleHoldingRegister, 20, {"-32768"}, "REGS 32768 20", "LAST 1 6 19 1"},
    };
    for (const AsciiWrite& w : writes) {
        SCOPED_TRACE(w.type == HoldingRegister ? "function 16" : "function 06");
        c.dataType(w.type);
        if (w.type == HoldingRegister) {
            c.registers(w.start, static_cast<int>(w.values.size()));
        } else {
            c.view.type(ControlId::StartRegister, std::to_string(w.start));
            c.dlg.refreshLabels();
        }
        c.values(w.values);
        c.view.clearBoxes();
        c.dlg.onWrite();
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
        EXPECT_EQ(dump(rig.slave, static_cast<unsigned>(w.start - 1), w.values.size() + 1), w.dump);
        EXPECT_EQ(rig.slave.ask("LAST", "LAST", kAnswerTimeout), w.last);
    }
    // Under ASCII the labels keep the Jbus form the value checks gave them.
    EXPECT_EQ(c.shownLabels(), textList({"20", "0", "0", "0", "0", "0", "0", "0", "0", "0"}));
    EXPECT_TRUE(rig.slave.stop());
}

} // namespace
} // namespace quarin::test
