// Proves the peers and the harness with hand-built frames, before any test trusts them with
// Quarin: each peer is started, sent one correct request and checked byte for byte, and stopped.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/peer_rig.h"

namespace quarin::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kReplyTimeout = 3s;

Bytes text(std::string_view characters)
{
    return Bytes(characters.begin(), characters.end());
}

// One end of a connection the test itself drives: Quarin's pty end, or a TCP client socket.
class Endpoint
{
public:
    explicit Endpoint(int fd) : m_fd(fd) {}

    ~Endpoint()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }

    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    static std::optional<Endpoint> openSerial(const std::string& path)
    {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios settings = {};
        if (fd < 0 || tcgetattr(fd, &settings) != 0) {
            return std::nullopt;
        }
        cfmakeraw(&settings);
        tcsetattr(fd, TCSANOW, &settings);
        return std::optional<Endpoint>(std::in_place, fd);
    }

    static std::optional<Endpoint> connectTcp(int port)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (fd < 0 ||
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            if (fd >= 0) {
                close(fd);
            }
            return std::nullopt;
        }
        return std::optional<Endpoint>(std::in_place, fd);
    }

    bool send(const Bytes& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t rc = write(m_fd, bytes.data() + done, bytes.size() - done);
            if (rc < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            done += rc > 0 ? static_cast<std::size_t>(rc) : 0;
        }
        return true;
    }

    // Reads until count bytes have come or the timeout has run out; what came, in any case.
    Bytes receive(std::size_t count, std::chrono::milliseconds timeout)
    {
        Bytes got;
        const auto deadline = SteadyClock::now() + timeout;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - SteadyClock::now());
            pollfd fd = {m_fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            std::uint8_t chunk[512];
            const ssize_t rc = read(m_fd, chunk, sizeof chunk);
            if (rc <= 0) {
                m_hungUp = rc == 0 || errno == EIO || errno == ECONNRESET;
                if (m_hungUp) {
                    m_lastError = rc == 0 ? 0 : errno;
                    break;
                }
                continue;
            }
            got.insert(got.end(), chunk, chunk + rc);
        }
        return got;
    }

    bool hungUp() const { return m_hungUp; }

    int lastError() const { return m_lastError; }

private:
    int m_fd = -1;
    bool m_hungUp = false;
    int m_lastError = 0;
};

struct Exchange
{
    const char* what;
    Bytes request;
    Bytes reply; // empty: no reply expected
};

// Sends each request and compares the reply; a case without reply waits a short while for none.
void playExchanges(Endpoint& end, const std::vector<Exchange>& exchanges)
{
    for (const Exchange& exchange : exchanges) {
        SCOPED_TRACE(exchange.what);
        ASSERT_TRUE(end.send(exchange.request));
        if (exchange.reply.empty()) {
            EXPECT_EQ(end.receive(1, 300ms), Bytes());
        } else {
            EXPECT_EQ(end.receive(exchange.reply.size(), kReplyTimeout), exchange.reply);
        }
    }
}

TEST(PeerHarness, LibmodbusTcpSlaveAnswersByTheDocumentedRegisterContents)
{
    // clang-format off
    const std::vector<Exchange> exchanges = {
        {"holding registers 0 and 1",
         {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x02},
         {0x00, 0x01, 0x00, 0x00, 0x00, 0x07, 0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x01}},
        {"input register 0x7C holds 0x7C + 1000",
         {0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x01, 0x04, 0x00, 0x7C, 0x00, 0x01},
         {0x00, 0x02, 0x00, 0x00, 0x00, 0x05, 0x01, 0x04, 0x02, 0x04, 0x64}},
        {"unit 0 is answered over TCP",
         {0x00, 0x03, 0x00, 0x00, 0x00, 0x06, 0x00, 0x03, 0x00, 0x05, 0x00, 0x01},
         {0x00, 0x03, 0x00, 0x00, 0x00, 0x05, 0x00, 0x03, 0x02, 0x00, 0x05}},
        {"write three registers from address 99",
         {0x00, 0x04, 0x00, 0x00, 0x00, 0x0D, 0x01, 0x10, 0x00, 0x63, 0x00, 0x03, 0x06,
          0x00, 0x01, 0xFF, 0xFF, 0x9C, 0x40},
         {0x00, 0x04, 0x00, 0x00, 0x00, 0x06, 0x01, 0x10, 0x00, 0x63, 0x00, 0x03}},
    };
    // clang-format on
    TcpRig rig;
    ASSERT_TRUE(rig.start(peerCommand("tcp_slave", {"--lifetime", "30"})));
    auto client = Endpoint::connectTcp(rig.port());
    ASSERT_TRUE(client);

    playExchanges(*client, exchanges);
    EXPECT_EQ(rig.slave.ask("DUMP 99 4", "REGS", kReplyTimeout), "REGS 1 65535 40000 102");
    EXPECT_EQ(rig.slave.ask("LAST", "LAST", kReplyTimeout), "LAST 1 16 99 3");
    EXPECT_EQ(rig.slave.ask("COUNT", "COUNT", kReplyTimeout), "COUNT 4");

    const auto status = rig.slave.stop();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

TEST(PeerHarness, LibmodbusRtuSlaveAnswersOverTheCableAndKeepsQuietOnBroadcasts)
{
    // clang-format off
    const std::vector<Exchange> exchanges = {
        {"holding register 0",
         {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},
         {0x01, 0x03, 0x02, 0x00, 0x00, 0xB8, 0x44}},
        {"input registers 0x7C and 0x7D",
         {0x01, 0x04, 0x00, 0x7C, 0x00, 0x02, 0xB0, 0x13},
         {0x01, 0x04, 0x04, 0x04, 0x64, 0x04, 0x65, 0x79, 0x80}},
        {"another slave is ignored",
         {0x02, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x39},
         {}},
        {"a broadcast write is done without reply",
         {0x00, 0x06, 0x00, 0x10, 0x12, 0x34, 0x84, 0xA9},
         {}},
        {"write three registers from address 99",
         {0x01, 0x10, 0x00, 0x63, 0x00, 0x03, 0x06, 0x00, 0x01, 0xFF, 0xFF, 0x9C, 0x40,
          0x40, 0x25},
         {0x01, 0x10, 0x00, 0x63, 0x00, 0x03, 0x70, 0x16}},
    };
    // clang-format on
    SerialRig rig;
    ASSERT_TRUE(rig.start(rtuSlave(rig.cable, "30")));
    auto quarin = Endpoint::openSerial(rig.cable.quarinPath());
    ASSERT_TRUE(quarin);

    playExchanges(*quarin, exchanges);
    EXPECT_EQ(rig.slave.ask("DUMP 16 1", "REGS", kReplyTimeout), "REGS 4660");
    EXPECT_EQ(rig.slave.ask("DUMP 99 3", "REGS", kReplyTimeout), "REGS 1 65535 40000");
    EXPECT_EQ(rig.cable.sentByQuarin().size(), 8u + 8u + 8u + 8u + 15u);
    EXPECT_TRUE(rig.slave.stop());
}

TEST(PeerHarness, PymodbusAsciiSlaveServesIdentificationAndTheScatteredRead)
{
    // clang-format off
    const std::vector<Exchange> exchanges = {
        {"holding register 0",
         text(":010300000001FB\r\n"),
         text(":0103020000FA\r\n")},
        {"identification objects 0 to 2",
         text(":012B0E0100C5\r\n"),
         text(":012B0E0183000003000A5065657220576F726B73010550572D30310205332E302E3042\r\n")},
        {"scattered read of 9, 10, 11 with transmission number 2",
         text(":01640804020009000A000B6F\r\n"),
         text(":01640804020009000A000B6F\r\n")},
        {"single write of 0x1234 to address 0",
         text(":010600001234B3\r\n"),
         text(":010600001234B3\r\n")},
    };
    // clang-format on
    SerialRig rig;
    ASSERT_TRUE(
        rig.start(peerCommand("pymodbus_slave.py", {rig.cable.peerPath(), "--lifetime", "30"})));
    auto quarin = Endpoint::openSerial(rig.cable.quarinPath());
    ASSERT_TRUE(quarin);

    playExchanges(*quarin, exchanges);
    EXPECT_EQ(rig.slave.ask("DUMP 0 2", "REGS", kReplyTimeout), "REGS 4660 1");
    EXPECT_EQ(rig.slave.ask("LAST", "LAST", kReplyTimeout), "LAST 1 6 0 1");
    EXPECT_TRUE(rig.slave.stop());
}

TEST(PeerHarness, ScriptedSlavePlaysItsStepsOverTcpAndLogsEveryRequest)
{
    TcpRig rig;
    const char* script = R"([
        {"reply": "tid 00 00 00 05 req[6] 03 02 00 2A"},
        {"reply": "tid+1 00 00 00 05 01 83 02", "chunks": [3], "chunk_delay_ms": 300},
        {"after": "reset"}])";
    ASSERT_TRUE(rig.start(
        peerCommand("scripted_slave.py",
                    {"--tcp", "--log", "requests.log", "--lifetime", "30", "--steps", script})));
    auto client = Endpoint::connectTcp(rig.port());
    ASSERT_TRUE(client);

    // clang-format off
    playExchanges(*client, {
        {"reply built from the request",
         {0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0x07, 0x03, 0x00, 0x00, 0x00, 0x01},
         {0x12, 0x34, 0x00, 0x00, 0x00, 0x05, 0x07, 0x03, 0x02, 0x00, 0x2A}},
    });
    const Bytes second = {0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    const Bytes third = {0x00, 0x03, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    const Bytes pieces = {0x00, 0x03, 0x00, 0x00, 0x00, 0x05, 0x01, 0x83, 0x02};
    // clang-format on
    ASSERT_TRUE(rig.slave.waitForLine("DONE 0", kReplyTimeout));

    // The second piece cannot leave before the pause that follows the first.
    const auto sent = SteadyClock::now();
    ASSERT_TRUE(client->send(second));
    EXPECT_EQ(client->receive(pieces.size(), kReplyTimeout), pieces);
    EXPECT_GE(SteadyClock::now() - sent, 290ms);

    ASSERT_TRUE(client->send(third));
    EXPECT_EQ(client->receive(1, kReplyTimeout), Bytes());
    EXPECT_TRUE(client->hungUp());
    EXPECT_EQ(client->lastError(), ECONNRESET);
    ASSERT_TRUE(rig.slave.waitForLine("DONE 2", kReplyTimeout));

    std::ifstream log(rig.dir.path() / "requests.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        lines.push_back(line);
    }
    EXPECT_EQ(lines,
              (std::vector<std::string>{"123400000006070300000001",
                                        "000200000006010300000001",
                                        "000300000006010300000001"}));
    EXPECT_TRUE(rig.slave.stop());
}

TEST(PeerHarness, ScriptedSlaveHoldsItsReplyUntilReleasedOnTheSerialLine)
{
    SerialRig rig;
    ASSERT_TRUE(rig.start(scriptedSlave({"--serial", rig.cable.peerPath()},
                                        {R"({"hold": true, "reply": "01 03 02 00 2A ascii"})",
                                         R"({"reply": "01 03 02 00 2A crc"})"},
                                        "30")));
    auto quarin = Endpoint::openSerial(rig.cable.quarinPath());
    ASSERT_TRUE(quarin);

    ASSERT_TRUE(quarin->send(text(":010300000001FB\r\n")));
    ASSERT_TRUE(rig.slave.waitForLine("HELD 0", kReplyTimeout));
    EXPECT_EQ(quarin->receive(1, 200ms), Bytes());
    ASSERT_TRUE(rig.slave.sendLine("RELEASE"));
    EXPECT_EQ(quarin->receive(15, kReplyTimeout), text(":010302002AD0\r\n"));

    // clang-format off
    playExchanges(*quarin, {
        {"binary reply with its CRC appended",
         {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},
         {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B}},
    });
    // clang-format on
    EXPECT_TRUE(rig.slave.stop());
}

TEST(PtyCable, EchoesMutesInjectsAndVanishes)
{
    PtyCable cable;
    ASSERT_TRUE(cable.ok()) << cable.error();
    auto quarin = Endpoint::openSerial(cable.quarinPath());
    auto peer = Endpoint::openSerial(cable.peerPath());
    ASSERT_TRUE(quarin && peer);
    const Bytes request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};

    cable.setEcho(true);
    ASSERT_TRUE(quarin->send(request));
    EXPECT_EQ(quarin->receive(request.size(), kReplyTimeout), request) << "the echo";
    EXPECT_EQ(peer->receive(request.size(), kReplyTimeout), request);
    cable.setEcho(false);

    cable.setPeerMuted(true);
    ASSERT_TRUE(peer->send({0x01, 0x83, 0x02}));
    EXPECT_EQ(quarin->receive(1, 200ms), Bytes()) << "muted";
    cable.setPeerMuted(false);
    ASSERT_TRUE(peer->send({0x01, 0x83, 0x02}));
    EXPECT_EQ(quarin->receive(3, kReplyTimeout), Bytes({0x01, 0x83, 0x02}));

    cable.setPeerDeaf(true);
    ASSERT_TRUE(quarin->send(request));
    EXPECT_TRUE(cable.waitSentByQuarin(2 * request.size(), kReplyTimeout));
    EXPECT_EQ(peer->receive(1, 200ms), Bytes()) << "deaf";
    cable.setPeerDeaf(false);

    cable.injectTowardQuarin(std::vector<std::uint8_t>{0xFF, 0x00});
    EXPECT_EQ(quarin->receive(2, kReplyTimeout), Bytes({0xFF, 0x00}));
    EXPECT_EQ(cable.sentByPeer(), Bytes({0x01, 0x83, 0x02, 0x01, 0x83, 0x02}));

    cable.vanish();
    EXPECT_EQ(quarin->receive(1, kReplyTimeout), Bytes());
    EXPECT_TRUE(quarin->hungUp());
    const int reopened = open(cable.quarinPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_LT(reopened, 0) << "the device is gone";
    if (reopened >= 0) {
        close(reopened);
    }
}

TEST(PtyCable, ComLinkLeadsToQuarinsEndAndKeepsItsSettingsAcrossReopens)
{
    SerialRig rig(3);
    ASSERT_TRUE(rig.ready());
    {
        auto first = Endpoint::openSerial("COM3");
        ASSERT_TRUE(first);
        ASSERT_TRUE(first->send({0x11}));
    }
    // Closing Quarin's end between transactions must not break the cable.
    auto second = Endpoint::openSerial("COM3");
    auto peer = Endpoint::openSerial(rig.cable.peerPath());
    ASSERT_TRUE(second && peer);
    ASSERT_TRUE(second->send({0x22}));
    EXPECT_EQ(peer->receive(2, kReplyTimeout), Bytes({0x11, 0x22}));
    ASSERT_TRUE(peer->send({0x33}));
    EXPECT_EQ(second->receive(1, kReplyTimeout), Bytes({0x33}));
}

TEST(PeerProcess, StopsAProgramThatIgnoresItsStdinWithSigterm)
{
    PeerProcess sleeper;
    ASSERT_TRUE(sleeper.start({"/bin/sleep", "30"})) << sleeper.error();
    EXPECT_TRUE(sleeper.running());
    const auto begun = SteadyClock::now();
    const auto status = sleeper.stop(200ms);
    EXPECT_LT(SteadyClock::now() - begun, 2s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    EXPECT_FALSE(sleeper.running());
}

TEST(PeerProcess, ReportsAProgramThatCannotStartAndTheEndOfOutput)
{
    PeerProcess missing;
    EXPECT_FALSE(missing.start({"/nonexistent/peer"}));
    EXPECT_FALSE(missing.error().empty());
    EXPECT_FALSE(missing.stop());

    PeerProcess echo;
    ASSERT_TRUE(echo.start({"/bin/echo", "-n", "PORT 70000"}));
    EXPECT_FALSE(echo.waitForPort(kReplyTimeout)) << "out of range, and no line end";
    EXPECT_EQ(echo.lines(), std::vector<std::string>{"PORT 70000"});
    EXPECT_FALSE(echo.waitForLine("PORT", 50ms)) << "already passed";
    const auto status = echo.stop();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

TEST(TempDir, IsTheCurrentFolderForItsLifeAndIsRemovedAfterwards)
{
    const auto before = std::filesystem::current_path();
    std::filesystem::path made;
    {
        TempDir dir;
        ASSERT_TRUE(dir.ok()) << dir.error();
        made = dir.path();
        EXPECT_EQ(std::filesystem::current_path(), made);
        std::ofstream("Quarin.ini") << "x\r\n";
        std::filesystem::create_directory("nested");
        std::ofstream("nested/file") << "y";
    }
    EXPECT_EQ(std::filesystem::current_path(), before);
    EXPECT_FALSE(std::filesystem::exists(made));
}

} // namespace
} // namespace quarin::test
