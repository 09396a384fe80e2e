#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/halt_event.h"
#include "platform/posix/line_termios.h"
#include "platform/posix/serial_ports.h"
#include "posix_test_support.h"
#include "support/lock_dir.h"

namespace quarin::posix {
namespace {

using test::Clock;
using test::msSince;

TEST(ComTable, MapsTheSixteenPortsAndNothingElse)
{
    struct Case
    {
        int port;
        const char* path;
    };

    const Case cases[] = {
        {1, "/dev/ttyUSB0"},
        {8, "/dev/ttyUSB7"},
        {9, "/dev/ttyACM0"},
        {12, "/dev/ttyACM3"},
        {13, "/dev/ttyS0"},
        {16, "/dev/ttyS3"},
        {0, ""},
        {17, ""},
        {-1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(comTablePath(c.port), c.path);
    }
}

TEST(SerialPorts, AComEntryInTheWorkingFolderTakesPrecedence)
{
    test::TempDir dir;
    ASSERT_EQ(::symlink("/nonexistent/device", "COM3"), 0);
    ASSERT_EQ(::symlink("/dev/null", "COM0"), 0);
    EventFdHalt halt;
    PosixSerialPorts ports(halt, quarin::test::testLockDir());

    EXPECT_EQ(ports.devicePath(3), "COM3");
    EXPECT_EQ(ports.devicePath(4), "/dev/ttyUSB3");
    EXPECT_EQ(ports.devicePath(0), "");

    // A dangling link is still the operator's choice: it fails rather than fall back.
    EXPECT_EQ(ports.open(3), nullptr);
    EXPECT_EQ(ports.lastOpenError(), ENOENT);
    EXPECT_EQ(ports.open(0), nullptr);
    EXPECT_EQ(ports.lastOpenError(), ENOENT);
}

TEST(SerialPorts, DevNullBehindComRefusesTheLineSettings)
{
    test::TempDir dir;
    ASSERT_EQ(::symlink("/dev/null", "COM2"), 0);
    EventFdHalt halt;
    PosixSerialPorts ports(halt, quarin::test::testLockDir());

    auto port = ports.open(2);
    ASSERT_NE(port, nullptr);
    port->purge();
    EXPECT_FALSE(port->configure(LineSettings{}));
}

TEST(MakeTermios, DataBitsParityAndStopBits)
{
    struct Case
    {
        int dataBits;
        bool evenParity;
        int stopBits;
        tcflag_t size;
    };

    const Case cases[] = {
        {8, true, 1, CS8},
        {8, false, 2, CS8},
        {7, true, 1, CS7},
        {7, false, 2, CS7},
    };
    termios start{};
    start.c_cflag = CS5 | PARODD;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dataBits << (c.evenParity ? "E" : "N") << c.stopBits);
        termios t = makeTermios(start, {9600, c.evenParity, c.stopBits, c.dataBits});
        EXPECT_EQ(t.c_cflag & CSIZE, c.size);
        EXPECT_EQ((t.c_cflag & PARENB) != 0, c.evenParity);
        EXPECT_EQ(t.c_cflag & PARODD, 0u);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == 2);
    }
}

TEST(MakeTermios, BaudRates)
{
    struct Case
    {
        int baud;
        speed_t speed;
    };

    const Case cases[] = {
        {1200, B1200},
        {2400, B2400},
        {4800, B4800},
        {9600, B9600},
        {19200, B19200},
        {38400, B38400},
        {115200, B38400},
        {0, B38400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        termios t = makeTermios(termios{}, {c.baud, true, 1, 8});
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
    }
}

TEST(MakeTermios, ClearsWhatAnotherProgramLeftSet)
{
    termios dirty{};
    dirty.c_cflag = CRTSCTS | CMSPAR | PARODD | HUPCL | CS7;
    dirty.c_iflag = IXON | IXOFF | IXANY | ICRNL | ISTRIP;
    dirty.c_oflag = OPOST | ONLCR;
    dirty.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    dirty.c_cc[VMIN] = 5;
    dirty.c_cc[VTIME] = 3;

    termios t = makeTermios(dirty, {19200, false, 1, 8});

    EXPECT_EQ(t.c_cflag & (CRTSCTS | CMSPAR | PARODD | PARENB), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

// tcsetattr() succeeds when any one change took, so the line is judged by what reads back.
TEST(LineTaken, RefusesALineThatIsNotWhatWasAsked)
{
    const termios asked = makeTermios(termios{}, {9600, true, 1, 7});

    struct Case
    {
        const char* name;
        tcflag_t clear;
        tcflag_t set;
        speed_t speed;
        bool realLine;
        bool pty;
    };

    const Case cases[] = {
        {"as asked", 0, 0, B9600, true, true},
        {"8 data bits for 7", CSIZE, CS8, B9600, false, true},
        {"parity dropped", PARENB, 0, B9600, false, true},
        {"odd parity", 0, PARODD, B9600, false, true},
        {"two stop bits", 0, CSTOPB, B9600, false, false},
        {"baud rate kept", 0, 0, B38400, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        termios taken = asked;
        taken.c_cflag = (taken.c_cflag & ~c.clear) | c.set;
        cfsetispeed(&taken, c.speed);
        cfsetospeed(&taken, c.speed);
        EXPECT_EQ(lineTaken(asked, taken, false), c.realLine);
        EXPECT_EQ(lineTaken(asked, taken, true), c.pty) << "a pty forces 8 data bits, no parity";
    }
}

TEST(CharacterTime, CountsStartDataParityAndStopBits)
{
    struct Case
    {
        LineSettings line;
        long nanoseconds;
    };

    const Case cases[] = {
        {{1200, true, 1, 8}, 9'166'666},
        {{1200, false, 2, 8}, 9'166'666},
        {{9600, true, 1, 7}, 1'041'666},
        {{38400, false, 2, 8}, 286'458},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(characterTime(makeTermios(termios{}, c.line)).count(), c.nanoseconds);
    }
}

// COM1 in a private working folder leads to the slave of a pty; the test plays the slave device
// on the master.
class SerialPortTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr), 0);
        ASSERT_FALSE(m_dir.path().empty());
        ASSERT_EQ(::symlink(::ttyname(m_slave), "COM1"), 0);
    }

    void TearDown() override
    {
        closeMaster();
        if (m_slave >= 0) {
            ::close(m_slave);
        }
    }

    std::unique_ptr<SerialPort> openConfigured(const LineSettings& settings = {})
    {
        auto port = m_ports.open(1);
        if (port) {
            port->purge();
            EXPECT_TRUE(port->configure(settings));
        }
        return port;
    }

    void masterWrite(const std::vector<std::uint8_t>& bytes)
    {
        ASSERT_EQ(::write(m_master, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    // True once the port's input queue holds n bytes: the line hands over what the master wrote a
    // moment later. False after a few seconds.
    bool inputQueued(int n) const
    {
        const auto end = Clock::now() + std::chrono::seconds(5);
        int queued = -1;
        while ((::ioctl(m_slave, FIONREAD, &queued) != 0 || queued != n) && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return queued == n;
    }

    // What the port sent, gathered until the line is quiet for a while.
    std::vector<std::uint8_t> masterRead()
    {
        std::vector<std::uint8_t> bytes;
        pollfd p{m_master, POLLIN, 0};
        while (::poll(&p, 1, 300) == 1 && (p.revents & POLLIN) != 0) {
            std::uint8_t chunk[256];
            ssize_t n = ::read(m_master, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return bytes;
    }

    void closeMaster()
    {
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }

    termios slaveTermios() const
    {
        termios t{};
        EXPECT_EQ(::tcgetattr(m_slave, &t), 0);
        return t;
    }

    int m_master = -1;
    int m_slave = -1;
    test::TempDir m_dir; // the working folder
    EventFdHalt m_halt;
    PosixSerialPorts m_ports{m_halt, quarin::test::testLockDir()};
};

TEST_F(SerialPortTest, LineSettingsReachTheDevice)
{
    struct Case
    {
        int baud;
        int stopBits;
        speed_t speed;
    };

    const Case cases[] = {
        {1200, 1, B1200},
        {2400, 2, B2400},
        {4800, 1, B4800},
        {9600, 2, B9600},
        {19200, 1, B19200},
        {38400, 2, B38400},
        {57600, 1, B38400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        auto port = openConfigured({c.baud, c.stopBits == 1, c.stopBits, 8});
        ASSERT_NE(port, nullptr);
        termios t = slaveTermios();
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == 2);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST_F(SerialPortTest, CloseRestoresWhatTheDeviceHadBefore)
{
    termios before = slaveTermios();
    before.c_lflag |= ICANON | ECHO;
    cfsetospeed(&before, B2400);
    cfsetispeed(&before, B2400);
    ASSERT_EQ(::tcsetattr(m_slave, TCSANOW, &before), 0);
    before = slaveTermios();

    auto port = openConfigured({19200, false, 2, 8});
    ASSERT_NE(port, nullptr);
    termios during = slaveTermios();
    EXPECT_EQ(cfgetospeed(&during), B19200);
    port.reset();

    termios after = slaveTermios();
    EXPECT_EQ(cfgetospeed(&after), B2400);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), ICANON | ECHO);
    EXPECT_EQ(after.c_cflag & CSTOPB, before.c_cflag & CSTOPB);
}

TEST_F(SerialPortTest, RefusedDtrChangesNothing)
{
    auto port = openConfigured();
    ASSERT_NE(port, nullptr);
    termios before = slaveTermios();
    port->raiseDtr();
    termios after = slaveTermios();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);

    const std::vector<std::uint8_t> frame = {0x01, 0x03, 0x00, 0x00};
    EXPECT_TRUE(port->write(frame, 1000).ok);
    EXPECT_EQ(masterRead(), frame);
}

TEST_F(SerialPortTest, ASecondOpenFailsWhileTheFirstHoldsThePort)
{
    // Also as root, which TIOCEXCL does not stop.
    auto first = m_ports.open(1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(m_ports.open(1), nullptr);
    EXPECT_EQ(m_ports.lastOpenError(), EWOULDBLOCK);

    first->close();
    auto again = m_ports.open(1);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(m_ports.lastOpenError(), 0);
}

TEST_F(SerialPortTest, TheFrameLeavesWhole)
{
    auto port = openConfigured();
    ASSERT_NE(port, nullptr);
    std::vector<std::uint8_t> frame(300);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i);
    }
    IoResult result = port->write(frame, 2000);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.count, frame.size());
    EXPECT_EQ(masterRead(), frame);
}

TEST_F(SerialPortTest, AFrameThatCannotLeaveEndsAtTheDeadline)
{
    auto port = openConfigured();
    ASSERT_NE(port, nullptr);
    // Nobody reads the master, so the pty's buffers fill.
    std::vector<std::uint8_t> frame(1024 * 1024, 0x55);
    auto start = Clock::now();
    IoResult result = port->write(frame, 400);
    long ms = msSince(start);
    EXPECT_TRUE(result.ok);
    EXPECT_GT(result.count, 0u);
    EXPECT_LT(result.count, frame.size());
    EXPECT_GE(ms, 350);
    EXPECT_LT(ms, 3000);

    // What the write left queued will not go out: the close flushes it rather than wait for it.
    start = Clock::now();
    port->close();
    EXPECT_LT(msSince(start), 1000);
}

TEST_F(SerialPortTest, ACompleteReplyEndsTheReadAtOnce)
{
    auto port = openConfigured();
    ASSERT_NE(port, nullptr);
    const std::vector<std::uint8_t> reply = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};
    std::thread slave([&] {
        for (std::size_t i = 0; i < reply.size(); i += 3) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::size_t n = std::min<std::size_t>(3, reply.size() - i);
            ASSERT_EQ(::write(m_master, reply.data() + i, n), static_cast<ssize_t>(n));
        }
    });
    std::vector<std::uint8_t> buffer(reply.size());
    auto start = Clock::now();
    IoResult result = port->read(buffer, 10000);
    long ms = msSince(start);
    slave.join();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.count, reply.size());
    EXPECT_EQ(buffer, reply);
    EXPECT_LT(ms, 2000);
}

TEST_F(SerialPortTest, AShortReplyComesAtTheDeadline)
{
    struct Case
    {
        std::vector<std::uint8_t> sent;
    };

    const Case cases[] = {{{0x01, 0x83, 0x02}}, {{}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent.size());
        auto port = openConfigured();
        ASSERT_NE(port, nullptr);
        if (!c.sent.empty()) {
            masterWrite(c.sent);
        }
        std::vector<std::uint8_t> buffer(7);
        auto start = Clock::now();
        IoResult result = port->read(buffer, 400);
        long ms = msSince(start);
        EXPECT_TRUE(result.ok);
        ASSERT_EQ(result.count, c.sent.size());
        EXPECT_TRUE(std::equal(c.sent.begin(), c.sent.end(), buffer.begin()));
        EXPECT_GE(ms, 390);
        EXPECT_LT(ms, 3000);
    }
}

TEST_F(SerialPortTest, PurgeDropsWhatCameBefore)
{
    auto port = openConfigured();
    ASSERT_NE(port, nullptr);
    masterWrite({0xDE, 0xAD});
    ASSERT_TRUE(inputQueued(2));
    port->purge();
    masterWrite({0x42});
    std::uint8_t byte[2] = {};
    IoResult result = port->read(byte, 300);
    EXPECT_EQ(result.count, 1u);
    EXPECT_EQ(byte[0], 0x42);
}

TEST_F(SerialPortTest, AVanishedDeviceFailsTheReadFastWithoutSpinning)
{
    auto port = openConfigured();
    ASSERT_NE(port, nullptr);
    masterWrite({0x01, 0x03});
    // With both bytes queued, the read sleeps in poll() only once it has taken them.
    ASSERT_TRUE(inputQueued(2));
    test::WhilePolling unplug([&] { closeMaster(); });
    std::vector<std::uint8_t> buffer(7);
    timespec cpuBefore{};
    timespec cpuAfter{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuBefore);
    auto start = Clock::now();
    IoResult result = port->read(buffer, 5000);
    long ms = msSince(start);
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuAfter);
    EXPECT_TRUE(unplug.landedInside());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.count, 2u);
    EXPECT_LT(ms, 2000);
    long cpuMs = (cpuAfter.tv_sec - cpuBefore.tv_sec) * 1000 +
                 (cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1000000;
    EXPECT_LT(cpuMs, 100);

    // And every later read or write fails at once.
    start = Clock::now();
    EXPECT_FALSE(port->read(buffer, 5000).ok);
    EXPECT_FALSE(port->write(buffer, 5000).ok);
    EXPECT_LT(msSince(start), 2000);
}

TEST_F(SerialPortTest, TheHaltEndsALongRead)
{
    auto port = openConfigured();
    ASSERT_NE(port, nullptr);
    test::WhilePolling halter([&] { m_halt.raise(); });
    std::vector<std::uint8_t> buffer(16);
    auto start = Clock::now();
    IoResult result = port->read(buffer, 60000);
    long ms = msSince(start);
    EXPECT_TRUE(halter.landedInside());
    EXPECT_FALSE(result.ok);
    EXPECT_LT(ms, 2000);

    // Once halted, nothing waits any more and nothing goes out.
    masterWrite({0x01});
    start = Clock::now();
    EXPECT_FALSE(port->read(buffer, 60000).ok);
    const std::vector<std::uint8_t> frame = {0x01, 0x03};
    IoResult written = port->write(frame, 60000);
    EXPECT_FALSE(written.ok);
    EXPECT_EQ(written.count, 0u);
    EXPECT_LT(msSince(start), 2000);
    EXPECT_TRUE(masterRead().empty());
}

TEST_F(SerialPortTest, TheHaltEndsAStalledWrite)
{
    auto port = openConfigured();
    ASSERT_NE(port, nullptr);
    test::WhilePolling halter([&] { m_halt.raise(); });
    std::vector<std::uint8_t> big(1024 * 1024);
    auto start = Clock::now();
    IoResult result = port->write(big, 60000);
    long ms = msSince(start);
    EXPECT_TRUE(halter.landedInside());
    EXPECT_FALSE(result.ok);
    EXPECT_LT(result.count, big.size());
    EXPECT_LT(ms, 2000);
}

} // namespace
} // namespace quarin::posix

namespace quarin::posix {
namespace {

std::string readText(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

// A process id that no process has any more: a child that has ended and been reaped.
int endedPid()
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return child;
}

std::string pidLine(int pid)
{
    char line[16];
    std::snprintf(line, sizeof line, "%10d\n", pid);
    return line;
}

// The UUCP lock file as Linux serial programs share it.
TEST(UucpLock, IsHonouredTakenAndGivenBack)
{
    struct Case
    {
        const char* name;
        std::function<std::string()> before; // the lock file's text before the open; none: absent
        bool opens;
    };

    const Case cases[] = {
        {"no lock", nullptr, true},
        {"held by a live process", [] { return pidLine(::getppid()); }, false},
        {"left by an ended process", [] { return pidLine(endedPid()); }, true},
        {"left without a process id", [] { return std::string("\n"); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir locks{test::Cwd::Stay};
        int master = -1;
        int slave = -1;
        char name[64] = {};
        ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        const std::string lockFile = uucpLockPath(locks.path(), name);
        EXPECT_EQ(lockFile, locks.path().string() + "/LCK..pts_" + std::string(name).substr(9));
        std::string before;
        if (c.before) {
            before = c.before();
            writeText(lockFile, before);
        }
        EventFdHalt halt;
        PosixSerialPorts ports(halt, locks.path());
        auto port = ports.openPath(name);
        EXPECT_EQ(port != nullptr, c.opens);
        if (port) {
            EXPECT_EQ(readText(lockFile), pidLine(::getpid()));
            port->close();
            EXPECT_FALSE(std::filesystem::exists(lockFile)) << "the lock goes with the close";
        } else {
            EXPECT_EQ(ports.lastOpenError(), EBUSY);
            EXPECT_EQ(readText(lockFile), before);
        }
        ::close(slave);
        ::close(master);
    }
}

// Ordinary users often cannot write the lock folder: the port opens all the same.
TEST(UucpLock, AFolderThatTakesNoFileOpensWithoutALock)
{
    test::TempDir dir{test::Cwd::Stay};
    const std::string notAFolder = dir / "file";
    writeText(notAFolder, "");
    int master = -1;
    int slave = -1;
    char name[64] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    EventFdHalt halt;
    PosixSerialPorts ports(halt, notAFolder);
    EXPECT_NE(ports.openPath(name), nullptr);
    ::close(slave);
    ::close(master);
}

} // namespace
} // namespace quarin::posix
