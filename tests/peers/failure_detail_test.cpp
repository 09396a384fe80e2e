// Failure boxes against a real slave and a real socket stack: the box's text as it always was,
// and a detail that names what went wrong.
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "console/master_dlg.h"
#include "platform/posix/platform.h"
#include "support/fake_view.h"
#include "support/lock_dir.h"
#include "support/peer_process.h"
#include "support/pty_cable.h"
#include "support/temp_dir.h"

namespace quarin::test {
namespace {

using namespace std::chrono_literals;

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct Console
{
    posix::PosixPlatform posix{testLockDir()};
    Platform platform = posix.platform();
    FakeView view;
    CMasterDlg dlg;

    explicit Console(std::uint16_t tcpPort = 502) : dlg(view, platform, tcpPort)
    {
        dlg.onInitDialog();
        view.type(ControlId::Timeout, "1000");
    }

    ~Console() { dlg.onDestroy(); }

    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
};

TEST(FailureDetailLive, AnExceptionOfALibmodbusSlaveIsNamed)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    PtyCable cable;
    ASSERT_TRUE(cable.ok()) << cable.error();
    ASSERT_TRUE(cable.linkAsCom(dir.path(), 2));
    PeerProcess slave;
    ASSERT_TRUE(slave.start(peerCommand(
        "rtu_slave", {cable.peerPath(), "9600", "N", "8", "2", "1", "--lifetime", "30"})))
        << slave.error();
    ASSERT_TRUE(slave.waitForLine("READY", 10s));

    Console c;
    c.view.setIndex(ControlId::Port, 2);
    c.dlg.applyPortRules();
    c.view.setIndex(ControlId::Baud, 3);
    c.view.setIndex(ControlId::Parity, 1);
    // 125 registers from address 65499 run past the last one the slave has.
    c.view.type(ControlId::StartRegister, "65500");
    c.view.type(ControlId::RegisterCount, "125");
    c.dlg.onRead();

    const std::vector<ShownBox> boxes = c.view.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(endsWith(boxes[0].text, " - Slave ID = 1 - Exception response received - type 2"))
        << boxes[0].text;
    EXPECT_NE(boxes[0].detail.find("Exception 2: Illegal data address."), std::string::npos)
        << boxes[0].detail;
    EXPECT_TRUE(slave.stop());
}

// A loopback port that was just given up: nothing listens there.
int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    sockaddr* any = reinterpret_cast<sockaddr*>(&address);
    if (fd < 0 || ::bind(fd, any, size) != 0 || ::getsockname(fd, any, &size) != 0) {
        return -1;
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

TEST(FailureDetailLive, ARefusedConnectionIsNamed)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    const int port = closedPort();
    ASSERT_GT(port, 0);
    Console c(static_cast<std::uint16_t>(port));
    c.view.setIndex(ControlId::Port, 0);
    c.dlg.applyPortRules();
    c.view.type(ControlId::Address, "127.0.0.1");
    c.dlg.onRead();
    c.dlg.onWrite();

    const std::vector<ShownBox> boxes = c.view.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(endsWith(boxes[0].text,
                         "Winsock error occurred during connect attempt on socket - error = 111"))
        << boxes[0].text;
    EXPECT_EQ(boxes[1].text,
              "Slave ID 1 - Winsock error occurred during connect attempt on socket - error = 111");
    for (const ShownBox& box : boxes) {
        EXPECT_NE(box.detail.find("Error 111 = ECONNREFUSED (Connection refused)."),
                  std::string::npos)
            << box.detail;
    }
}

} // namespace
} // namespace quarin::test
