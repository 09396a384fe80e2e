// What the port tooltip and the capture detail are built from: a COMn link to a pty, a missing
// device, a port another process holds, a made-up sysfs and udev tree; and the device is never
// opened to find it out.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "console/master_dlg.h"
#include "console/port_tooltip.h"
#include "platform/posix/platform.h"
#include "platform/posix/port_probe.h"
#include "posix_test_support.h"
#include "support/fake_view.h"
#include "support/lock_dir.h"

namespace quarin::posix {
namespace {

void writeFile(const std::string& path, const std::string& contents)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << contents;
}

bool heldBy(const PortIdentity& port, pid_t pid)
{
    return std::any_of(port.holders.begin(), port.holders.end(), [&](const PortHolder& h) {
        return h.pid == pid;
    });
}

// A pty whose slave end is reached through COM<n> in a fresh working folder.
class PtyPort : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.path().empty());
        ASSERT_EQ(::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr), 0);
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
        m_device = ::ttyname(m_slave);
        ASSERT_EQ(::symlink(m_device.c_str(), "COM3"), 0);
    }

    void TearDown() override
    {
        ::close(m_master);
        ::close(m_slave);
    }

    test::TempDir m_dir; // the working folder
    int m_master = -1;
    int m_slave = -1;
    std::string m_device;
};

TEST_F(PtyPort, AComLinkLeadsToTheDeviceAndItsStableName)
{
    // udev's by-id link and the adapter's sysfs entries, made up for this pty.
    const std::string root = m_dir / "root";
    std::filesystem::create_directories(root + "/dev/serial/by-id");
    ASSERT_EQ(
        ::symlink(m_device.c_str(),
                  (root + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_T1-if00-port0").c_str()),
        0);
    ASSERT_EQ(::symlink("/dev/null", (root + "/dev/serial/by-id/usb-Other-if00-port0").c_str()), 0);
    const std::string name = m_device.substr(m_device.rfind('/') + 1);
    const std::string sysDevice = root + "/sys/class/tty/" + name + "/device";
    writeFile(sysDevice + "/latency_timer", "16\n");
    ASSERT_EQ(
        ::symlink("../../../bus/usb-serial/drivers/ftdi_sio", (sysDevice + "/driver").c_str()), 0);
    const PosixPortProbe probe({root + "/dev", root + "/sys", "/proc"});

    const PortIdentity port = probe.identify("COM3");
    EXPECT_EQ(port.path, "COM3");
    EXPECT_EQ(port.linkTarget, m_device);
    EXPECT_EQ(port.device, m_device);
    EXPECT_TRUE(port.exists);
    EXPECT_TRUE(port.characterDevice);
    EXPECT_EQ(port.byId, std::vector<std::string>{"usb-FTDI_FT232R_USB_UART_T1-if00-port0"});
    EXPECT_EQ(port.driver, "ftdi_sio");
    ASSERT_TRUE(port.latencyTimerMs.has_value());
    EXPECT_EQ(*port.latencyTimerMs, 16);
    EXPECT_EQ(port.latencyTimerFile, sysDevice + "/latency_timer");
    // This process has the pty's slave end open.
    ASSERT_TRUE(heldBy(port, ::getpid()));
    EXPECT_TRUE(port.holders.front().self || port.holders.back().self);

    const std::string tip = PortToolTip("COM3", port);
    for (const std::string& piece :
         {"COM3 opens COM3 in the working folder, a link to " + m_device,
          "Device: " + m_device + ", driver ftdi_sio",
          std::string("By id: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_T1-if00-port0"),
          std::string("USB latency timer: 16 ms: replies arrive in steps of up to 16 ms"),
          std::string(" (this program)")}) {
        EXPECT_NE(tip.find(piece), std::string::npos) << piece << "\n" << tip;
    }
}

TEST_F(PtyPort, TheDeviceIsNeverOpened)
{
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, m_device.c_str(), IN_OPEN), 0);
    auto opens = [&] {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(watch, buffer, sizeof buffer);
            if (n <= 0) {
                return count;
            }
            count += static_cast<int>(static_cast<std::size_t>(n) / sizeof(inotify_event));
        }
    };
    // The watch sees an open when there is one.
    const int trial = ::open(m_device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(trial, 0);
    ::close(trial);
    if (opens() == 0) {
        ::close(watch);
        GTEST_SKIP() << "inotify reports no opens of " << m_device << " here";
    }

    const PosixPortProbe probe;
    EventFdHalt halt;
    PosixSerialPorts ports(halt, quarin::test::testLockDir());
    const PortIdentity port = probe.identify(ports.devicePath(3));
    EXPECT_TRUE(port.exists);
    EXPECT_EQ(opens(), 0) << "looking at the port opened it";
    ::close(watch);
}

TEST_F(PtyPort, AMissingDeviceBehindALinkOrInTheTable)
{
    ASSERT_EQ(::symlink("/dev/ttyUSB-quarin-none", "COM5"), 0);
    const PosixPortProbe probe;

    const PortIdentity linked = probe.identify("COM5");
    EXPECT_FALSE(linked.exists);
    EXPECT_EQ(linked.linkTarget, "/dev/ttyUSB-quarin-none");
    EXPECT_EQ(linked.device, "");
    EXPECT_TRUE(linked.holders.empty());
    EXPECT_NE(PortToolTip("COM5", linked).find("Missing: no such device."), std::string::npos);

    const PortIdentity table = probe.identify("/dev/ttyUSB-quarin-none");
    EXPECT_FALSE(table.exists);
    EXPECT_EQ(table.linkTarget, "");
    EXPECT_EQ(PortToolTip("COM5", table),
              "COM5 opens /dev/ttyUSB-quarin-none (no COM5 link in the working folder)\n"
              "Missing: no such device. Is the adapter plugged in?");
}

// A process that opens and locks the port, as another program holding it does.
pid_t startHolder(const std::string& device)
{
    int ready[2];
    if (::pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = test::startChild([&] {
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            return 1;
        }
        if (::write(ready[1], "x", 1) != 1) {
            return 1;
        }
        ::pause();
        return 0;
    });
    ::close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    char byte = 0;
    const bool up = ::poll(&wait, 1, 10000) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!up && pid > 0) {
        ::kill(pid, SIGKILL);
        test::waitChild(pid);
        return -1;
    }
    return pid;
}

void stopHolder(pid_t pid)
{
    ::kill(pid, SIGKILL);
    test::waitChild(pid);
}

TEST_F(PtyPort, AProcessThatHoldsThePortIsNamed)
{
    const pid_t holder = startHolder(m_device);
    ASSERT_GT(holder, 0);
    const PortIdentity port = PosixPortProbe().identify("COM3");
    stopHolder(holder);

    ASSERT_TRUE(heldBy(port, holder));
    const PortHolder& found = *std::find_if(port.holders.begin(),
                                            port.holders.end(),
                                            [&](const PortHolder& h) { return h.pid == holder; });
    EXPECT_FALSE(found.self);
    // A forked child keeps its parent's name.
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(found.command, name);
    EXPECT_TRUE(port.holdersComplete || ::geteuid() != 0);
}

// The console on the real adapters: the box keeps its text, the detail names the holder.
TEST_F(PtyPort, UnableToCapturePortNamesTheHolder)
{
    PosixPlatform adapters{quarin::test::testLockDir()};
    Platform platform = adapters.platform();
    quarin::test::FakeView view;
    CMasterDlg dlg(view, platform);
    const PosixPortProbe probe;
    dlg.setPortProbe(&probe);
    ASSERT_TRUE(dlg.onInitDialog());
    view.setIndex(ControlId::Port, 3);
    dlg.applyPortRules();

    const pid_t holder = startHolder(m_device);
    ASSERT_GT(holder, 0);
    dlg.onRead();
    const std::string tip = dlg.portToolTip(3);
    stopHolder(holder);

    const std::vector<quarin::test::ShownBox> boxes = view.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Unable to capture Port");
    EXPECT_NE(boxes[0].detail.find("errno 11 EAGAIN"), std::string::npos) << boxes[0].detail;
    const std::string named = std::to_string(holder) + " ";
    EXPECT_NE(boxes[0].detail.find("Another program has the port open: "), std::string::npos)
        << boxes[0].detail;
    EXPECT_NE(boxes[0].detail.find(named), std::string::npos) << boxes[0].detail;
    EXPECT_NE(tip.find("Open in: "), std::string::npos) << tip;
    EXPECT_NE(tip.find(named), std::string::npos) << tip;
    EXPECT_FALSE(::access("Quarin.trace", F_OK) == 0) << "the trace is off";
}

TEST(PortProbe, HoldersComeFromEveryProcessesDescriptors)
{
    test::TempDir dir{test::Cwd::Stay};
    const std::string proc = dir / "proc";
    std::filesystem::create_directories(proc + "/4242/fd");
    std::filesystem::create_directories(proc + "/17/fd");
    std::filesystem::create_directories(proc + "/self/fd");
    writeFile(proc + "/4242/comm", "minicom\n");
    writeFile(proc + "/17/comm", "quarin\n");
    ASSERT_EQ(::symlink("/dev/null", (proc + "/4242/fd/0").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", (proc + "/4242/fd/5").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", (proc + "/17/fd/3").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", (proc + "/self/fd/3").c_str()), 0);
    const PosixPortProbe probe({dir / "dev", dir / "sys", proc});

    const PortIdentity port = probe.identify("/dev/null");
    ASSERT_EQ(port.holders.size(), 1u) << "one entry per process, numbered ones only";
    EXPECT_EQ(port.holders[0].pid, 4242);
    EXPECT_EQ(port.holders[0].command, "minicom");
    EXPECT_FALSE(port.holders[0].self);
    EXPECT_TRUE(port.holdersComplete);
    EXPECT_TRUE(port.characterDevice);
    EXPECT_FALSE(port.latencyTimerMs.has_value());
}

// Serial programs that keep to the UUCP lock file may hold a port without having it open.
TEST(PortProbe, TheLiveHolderOfTheLockFileIsAHolder)
{
    for (const bool live : {true, false}) {
        SCOPED_TRACE(live ? "live" : "stale");
        test::TempDir dir{test::Cwd::Stay};
        const int pid = live ? ::getppid() : 999999999;
        writeFile(dir / ("proc/" + std::to_string(pid) + "/comm"), "minicom\n");
        writeFile(dir / "lock/LCK..null", std::to_string(pid) + "\n");
        const PosixPortProbe probe({dir / "dev", dir / "sys", dir / "proc", dir / "lock"});
        const PortIdentity port = probe.identify("/dev/null");
        if (!live) {
            EXPECT_TRUE(port.holders.empty());
            continue;
        }
        ASSERT_EQ(port.holders.size(), 1u);
        EXPECT_EQ(port.holders[0].pid, pid);
        EXPECT_EQ(port.holders[0].command, "minicom");
        EXPECT_NE(PortToolTip("COM1", port).find(std::to_string(pid) + " minicom"),
                  std::string::npos);
    }
}

TEST(PortProbe, OnlyANumberIsALatencyTimer)
{
    test::TempDir dir{test::Cwd::Stay};
    writeFile(dir / "sys/class/tty/null/device/latency_timer", "sixteen\n");
    const PosixPortProbe probe({dir / "dev", dir / "sys", dir / "proc"});
    EXPECT_FALSE(probe.identify("/dev/null").latencyTimerMs.has_value());
    writeFile(dir / "sys/class/tty/null/device/latency_timer", "1\n");
    EXPECT_EQ(probe.identify("/dev/null").latencyTimerMs, 1);
}

TEST(PortProbe, AFileThisUserMayNotOpenAndItsGroup)
{
    test::TempDir dir{test::Cwd::Stay};
    const std::string path = dir / "ttyFake";
    writeFile(path, "");
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    const PosixPortProbe probe;
    PortIdentity port = probe.identify(path);
    EXPECT_TRUE(port.exists);
    EXPECT_FALSE(port.characterDevice);
    EXPECT_TRUE(port.mayOpen);
    EXPECT_FALSE(port.group.empty());
    EXPECT_TRUE(port.inGroupNow) << "the file has this process's group";

    if (::geteuid() == 0) {
        GTEST_SKIP() << "root may open any file";
    }
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    port = probe.identify(path);
    EXPECT_FALSE(port.mayOpen);
    port.characterDevice = true;
    EXPECT_NE(PortToolTip("COM1", port).find("this user may not open it"), std::string::npos);
}

} // namespace
} // namespace quarin::posix
