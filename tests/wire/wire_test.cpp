// The serial transactions over a cable that keeps wire time: what a pty alone never shows.

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/live_console.h"
#include "support/peer_rig.h"

namespace quarin::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kAnswerTimeout = 5s;
constexpr int kCom = 1;

// The Baud list's index of a rate.
int baudIndex(int baud)
{
    static constexpr int kRates[] = {1200, 2400, 4800, 9600, 19200, 38400};
    for (int i = 0; i < 6; ++i) {
        if (kRates[i] == baud) {
            return i;
        }
    }
    return 5;
}

// One end of the cable opened as a program would, at baud bit/s, 8 data bits and stopBits.
struct End
{
    int fd = -1;

    End(const std::string& path, int baud, int stopBits)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
            return;
        }
        ::cfmakeraw(&t);
        t.c_cflag &= ~tcflag_t{CSTOPB};
        t.c_cflag |= CLOCAL | CREAD | (stopBits == 2 ? tcflag_t{CSTOPB} : tcflag_t{0});
        const speed_t speed = baud == 1200 ? B1200 : baud == 9600 ? B9600 : B38400;
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        ::tcsetattr(fd, TCSANOW, &t);
    }

    ~End() { closeNow(); }

    End(const End&) = delete;
    End& operator=(const End&) = delete;

    void closeNow()
    {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    void send(const Bytes& bytes) const
    {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads until count bytes have come or the limit has passed.
    Bytes receive(std::size_t count, std::chrono::milliseconds limit) const
    {
        Bytes got;
        const auto until = SteadyClock::now() + limit;
        while (got.size() < count && SteadyClock::now() < until) {
            std::uint8_t chunk[256];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) {
                got.insert(got.end(), chunk, chunk + n);
                continue;
            }
            pollfd readable{fd, POLLIN, 0};
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now());
            ::poll(&readable, 1, static_cast<int>(std::max(left.count(), 0L)));
        }
        return got;
    }
};

Bytes counting(std::size_t n)
{
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    }
    return bytes;
}

Bytes garbledAll(const Bytes& bytes)
{
    Bytes out;
    for (std::uint8_t b : bytes) {
        out.push_back(PtyCable::garbled(b));
    }
    return out;
}

struct CableCase
{
    const char* name;
    int senderBaud;
    int senderStop;
    int receiverBaud;
    int receiverStop;
    std::size_t count;
    bool intact;
};

// The cable itself: each byte costs its character time, and only agreeing ends read it intact.
TEST(WireCable, BytesTakeTheirWireTimeAndArriveIntactOnlyAtTheSameSettings)
{
    const CableCase cases[] = {
        {"1200 8N2", 1200, 2, 1200, 2, 4, true},
        {"9600 8N1", 9600, 1, 9600, 1, 40, true},
        {"38400 8N2", 38400, 2, 38400, 2, 100, true},
        {"baud rates differ", 9600, 2, 38400, 2, 20, false},
        {"stop bits differ", 9600, 2, 9600, 1, 20, false},
    };
    for (const CableCase& c : cases) {
        SCOPED_TRACE(c.name);
        PtyCable cable(PtyCable::Line::WireTimed);
        ASSERT_TRUE(cable.ok()) << cable.error();
        End quarin(cable.quarinPath(), c.senderBaud, c.senderStop);
        End peer(cable.peerPath(), c.receiverBaud, c.receiverStop);
        const Bytes sent = counting(c.count);
        const auto begun = SteadyClock::now();
        quarin.send(sent);
        const Bytes got = peer.receive(c.count, 5s);
        const auto took = SteadyClock::now() - begun;
        EXPECT_EQ(got, c.intact ? sent : garbledAll(sent));
        const auto wire = std::chrono::microseconds(static_cast<long>(c.count) *
                                                    (9 + c.senderStop) * 1'000'000 / c.senderBaud);
        EXPECT_GE(took, wire);
        EXPECT_LT(took, wire + 2s);
    }
}

TEST(WireCable, ASenderThatClosesOrChangesItsLineSpoilsWhatIsStillOnTheWire)
{
    for (const bool close : {true, false}) {
        SCOPED_TRACE(close ? "close" : "new baud rate");
        PtyCable cable(PtyCable::Line::WireTimed);
        ASSERT_TRUE(cable.ok()) << cable.error();
        End quarin(cable.quarinPath(), 1200, 2);
        End peer(cable.peerPath(), 1200, 2);
        const Bytes sent = counting(10); // 92 ms on the wire
        quarin.send(sent);
        ASSERT_TRUE(cable.waitReceivedByPeer(2, 2s));
        if (close) {
            quarin.closeNow();
        } else {
            End other(cable.quarinPath(), 9600, 2);
        }
        const Bytes got = peer.receive(sent.size(), 5s);
        ASSERT_EQ(got.size(), sent.size());
        EXPECT_EQ(got.front(), sent.front());
        EXPECT_EQ(got.back(), PtyCable::garbled(sent.back()));
    }
}

TEST(WireCable, AnEchoComesBackAtWireTimeAndAReplyCanCarryGaps)
{
    PtyCable cable(PtyCable::Line::WireTimed);
    ASSERT_TRUE(cable.ok()) << cable.error();
    cable.setEcho(true);
    cable.setReplyGap(20ms);
    End quarin(cable.quarinPath(), 9600, 2);
    End peer(cable.peerPath(), 9600, 2);
    const Bytes request = counting(20); // 23 ms
    auto begun = SteadyClock::now();
    quarin.send(request);
    EXPECT_EQ(quarin.receive(request.size(), 5s), request);
    EXPECT_GE(SteadyClock::now() - begun, 22ms);
    EXPECT_EQ(peer.receive(request.size(), 5s), request);

    const Bytes reply = counting(5);
    begun = SteadyClock::now();
    peer.send(reply);
    EXPECT_EQ(quarin.receive(reply.size(), 5s), reply);
    EXPECT_GE(SteadyClock::now() - begun, 4 * 20ms) << "four gaps between five characters";
}

// A slave on a wire-timed cable, and the console on COM1 at the slave's rate.
struct WireRig : SerialRig
{
    LiveConsole c;

    WireRig() : SerialRig(kCom, PtyCable::Line::WireTimed) {}

    testing::AssertionResult
    start(int baud, const std::vector<std::string>& command, ProtocolVariant protocol)
    {
        testing::AssertionResult started = SerialRig::start(command);
        if (started) {
            c.useSerial(kCom, protocol);
            c.view.setIndex(ControlId::Baud, baudIndex(baud));
        }
        return started;
    }

    // libmodbus with 2 stop bits: the console's serial line with parity None.
    testing::AssertionResult startRtu(int baud)
    {
        return start(baud, rtuSlave(cable, "100", baud), Modbus);
    }
};

// A broadcast gets no reply, so the port closes as soon as its frame has left the driver: the
// tail must not go out at the settings the close puts back.
TEST(WireTimed, ABroadcastWriteOfTenRegistersArrivesWholeEveryTime)
{
    for (const int baud : {1200, 9600, 38400}) {
        SCOPED_TRACE(baud);
        WireRig rig;
        ASSERT_TRUE(rig.startRtu(baud));
        LiveConsole& c = rig.c;
        c.timeoutMs(2000);
        c.dataType(HoldingRegister);
        c.registers(100, 10);
        c.display(Decimal);
        c.slaveId(0);
        constexpr int kTimes = 20;
        for (int time = 0; time < kTimes; ++time) {
            std::vector<std::string> values;
            for (int k = 0; k < 10; ++k) {
                values.push_back(std::to_string(time * 10 + k));
            }
            c.values(values);
            c.view.clearBoxes();
            rig.cable.clearRecords();
            c.dlg.onWrite();
            ASSERT_EQ(c.view.boxTexts(), std::vector<std::string>());
            const Bytes sent = rig.cable.sentByQuarin();
            ASSERT_EQ(sent.size(), 29u);
            ASSERT_TRUE(rig.cable.waitReceivedByPeer(sent.size(), 5s));
            ASSERT_EQ(rig.cable.receivedByPeer(), sent) << "write " << time;
        }
        EXPECT_EQ(rig.slave.ask("COUNT", "COUNT", kAnswerTimeout),
                  "COUNT " + std::to_string(kTimes));
        EXPECT_EQ(rig.slave.ask("DUMP 99 2", "REGS", kAnswerTimeout), "REGS 190 191");
        EXPECT_TRUE(rig.slave.stop());
    }
}

struct ReadCase
{
    const char* name;
    int baud;
    int count;
    int timeoutMs;
    std::string box; // none: the read succeeds
};

// The time shown is the exchange as the wire took it, and a reply the wire cannot finish within
// the time-out is reported as one.
TEST(WireTimed, RtuReadTimesAreTheWiresOwn)
{
    const ReadCase cases[] = {
        {"125 registers at 1200 bit/s", 1200, 125, 5000, ""},
        {"125 registers at 1200 bit/s cannot come in 1 s",
         1200,
         125,
         1000,
         "Fragment received, timeout waiting on a complete/correct response"},
        {"10 registers at 4800 bit/s", 4800, 10, 1000, ""},
        {"125 registers at 19200 bit/s", 19200, 125, 1000, ""},
        {"125 registers at 38400 bit/s", 38400, 125, 1000, ""},
    };
    for (const ReadCase& r : cases) {
        SCOPED_TRACE(r.name);
        WireRig rig;
        ASSERT_TRUE(rig.startRtu(r.baud));
        LiveConsole& c = rig.c;
        c.timeoutMs(r.timeoutMs);
        c.dataType(HoldingRegister);
        c.registers(1, r.count);
        c.display(Decimal);
        c.view.clearBoxes();
        rig.cable.clearRecords();
        c.dlg.onRead();
        if (r.box.empty()) {
            EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
            EXPECT_EQ(c.shownValues()[9], "9");
            const long shownMs = c.shownNumber(ControlId::TransactionTime);
            const long wireMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(rig.cable.exchangeTime())
                    .count();
            // The cable times the wire from when its relay takes the first byte, which a busy
            // machine can delay; the console must never show less than the wire took.
            EXPECT_GE(shownMs, wireMs - 2) << shownMs << " ms shown, " << wireMs;
            EXPECT_LE(shownMs, wireMs + 250) << shownMs << " ms shown, " << wireMs;
        } else {
            ASSERT_EQ(c.view.boxTexts().size(), 1u);
            EXPECT_NE(c.view.boxTexts()[0].find(r.box), std::string::npos) << c.view.boxTexts()[0];
        }
        EXPECT_TRUE(rig.slave.stop());
    }
}

TEST(WireTimed, PymodbusAsciiAndAScriptedSlaveWithGapsAnswerAtTheirRates)
{
    for (const int baud : {2400, 19200}) {
        SCOPED_TRACE(baud);
        WireRig rig;
        ASSERT_TRUE(rig.start(baud,
                              peerCommand("pymodbus_slave.py",
                                          {rig.cable.peerPath(),
                                           "--baud",
                                           std::to_string(baud),
                                           "--parity",
                                           "N",
                                           "--bytesize",
                                           "8",
                                           "--stopbits",
                                           "2",
                                           "--lifetime",
                                           "100"}),
                              ModbusAscii));
        rig.c.timeoutMs(3000);
        rig.c.dataType(HoldingRegister);
        rig.c.registers(1, 3);
        rig.c.display(Decimal);
        rig.c.dlg.onRead();
        EXPECT_EQ(rig.c.view.boxTexts(), std::vector<std::string>());
        EXPECT_EQ(rig.c.shownValues()[2], "2");
        EXPECT_TRUE(rig.slave.stop());
    }

    WireRig rig;
    ASSERT_TRUE(rig.cable.setPeerLine(9600, 2));
    rig.cable.setReplyGap(3ms);
    ASSERT_TRUE(rig.start(9600,
                          scriptedSlave({"--serial", rig.cable.peerPath()},
                                        {R"({"expect": 8, "reply": "01 03 04 00 2A 00 2B crc"})"},
                                        "30"),
                          Modbus));
    rig.c.timeoutMs(2000);
    rig.c.dataType(HoldingRegister);
    rig.c.registers(1, 2);
    rig.c.display(Decimal);
    rig.c.dlg.onRead();
    EXPECT_EQ(rig.c.view.boxTexts(), std::vector<std::string>());
    EXPECT_EQ(rig.c.shownValues()[0], "42");
    EXPECT_EQ(rig.c.shownValues()[1], "43");
    EXPECT_TRUE(rig.slave.stop());
}

} // namespace
} // namespace quarin::test
