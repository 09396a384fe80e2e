// A pty stands in for a UART whose driver behaves as real ones do: it reads back the line as the
// driver took it, silently keeping what the hardware cannot do, and its output queue can stall.
// The model takes the terminal calls of this test binary for that one device; every other
// descriptor goes to the C library as usual.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <dlfcn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/posix/halt_event.h"
#include "platform/posix/serial_ports.h"
#include "support/lock_dir.h"
#include "support/pty_pair.h"

namespace {

// What the driver of the modelled device cannot do; asked for, it keeps the line as it was.
enum Refusal : unsigned
{
    Accepts = 0,
    NoRate1200 = 1,
    NoSevenDataBits = 2,
    NoParity = 4,
    NoTwoStopBits = 8,
};

struct UartModel
{
    std::atomic<dev_t> device{0}; // 0: no device is modelled
    std::atomic<unsigned> refusals{Accepts};
    std::atomic<int> stuckInQueue{0}; // bytes the output queue reports until it is flushed
    termios line{};
};

UartModel g_uart;

template <typename Fn> Fn next(const char* name)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

int realFstat(int fd, struct stat* st)
{
    static const auto fn = next<int (*)(int, struct stat*)>("fstat");
    return fn(fd, st);
}

bool modelled(int fd)
{
    struct stat st
    {
    };

    const dev_t device = g_uart.device.load();
    return device != 0 && realFstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device;
}

// The line as the driver takes it: what was asked, less what it refuses.
termios driverTakes(const termios& asked, const termios& before)
{
    termios taken = asked;
    const unsigned refusals = g_uart.refusals.load();
    if ((refusals & NoRate1200) != 0 && ::cfgetospeed(&asked) == B1200) {
        ::cfsetospeed(&taken, ::cfgetospeed(&before));
        ::cfsetispeed(&taken, ::cfgetispeed(&before));
    }
    if ((refusals & NoSevenDataBits) != 0 && (asked.c_cflag & CSIZE) == CS7) {
        taken.c_cflag = (taken.c_cflag & ~tcflag_t{CSIZE}) | CS8;
    }
    if ((refusals & NoParity) != 0) {
        taken.c_cflag &= ~tcflag_t{PARENB | PARODD};
    }
    if ((refusals & NoTwoStopBits) != 0) {
        taken.c_cflag &= ~tcflag_t{CSTOPB};
    }
    return taken;
}

} // namespace

extern "C" {

// A UART, not a pty: the port then checks every setting it reads back.
int fstat(int fd, struct stat* st) __THROW
{
    const bool uart = modelled(fd);
    const int result = realFstat(fd, st);
    if (result == 0 && uart) {
        st->st_rdev = makedev(4, 64);
    }
    return result;
}

int tcgetattr(int fd, termios* line) __THROW
{
    static const auto real = next<int (*)(int, termios*)>("tcgetattr");
    if (!modelled(fd)) {
        return real(fd, line);
    }
    *line = g_uart.line;
    return 0;
}

int tcsetattr(int fd, int when, const termios* line) __THROW
{
    static const auto real = next<int (*)(int, int, const termios*)>("tcsetattr");
    if (!modelled(fd)) {
        return real(fd, when, line);
    }
    g_uart.line = driverTakes(*line, g_uart.line);
    // Like the kernel: success when any one change took.
    return real(fd, when, line);
}

int tcflush(int fd, int queue) __THROW
{
    static const auto real = next<int (*)(int, int)>("tcflush");
    if (modelled(fd) && (queue == TCOFLUSH || queue == TCIOFLUSH)) {
        g_uart.stuckInQueue = 0;
    }
    return real(fd, queue);
}

int ioctl(int fd, unsigned long request, ...) __THROW
{
    static const auto real = next<int (*)(int, unsigned long, void*)>("ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (request == TIOCOUTQ && modelled(fd)) {
        *static_cast<int*>(arg) = g_uart.stuckInQueue.load();
        return 0;
    }
    return real(fd, request, arg);
}

} // extern "C"

namespace quarin::posix {
namespace {

// The modelled UART on a pty pair, at the line it was found in.
class UartDriver : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_pty.open(error)) << error;

        struct stat st
        {
        };

        ASSERT_EQ(realFstat(m_pty.held(), &st), 0);
        ::cfmakeraw(&g_uart.line);
        ::cfsetospeed(&g_uart.line, B9600);
        ::cfsetispeed(&g_uart.line, B9600);
        g_uart.line.c_cflag |= CS8;
        g_uart.refusals = Accepts;
        g_uart.stuckInQueue = 0;
        g_uart.device = st.st_rdev;
    }

    void TearDown() override
    {
        g_uart.device = 0;
        m_pty.close();
    }

    std::unique_ptr<SerialPort> open() { return m_ports.openPath(m_pty.path()); }

    test::PtyPair m_pty;
    EventFdHalt m_halt;
    PosixSerialPorts m_ports{m_halt, test::testLockDir()};
};

struct RefusalCase
{
    const char* name;
    unsigned refusals;
    LineSettings asked;
    bool taken;
};

TEST_F(UartDriver, ALineTheDriverDidNotTakeIsAFailedConfiguration)
{
    const RefusalCase cases[] = {
        {"a rate it cannot", NoRate1200, {1200, true, 1, 8}, false},
        {"7 data bits for ASCII", NoSevenDataBits, {9600, true, 1, 7}, false},
        {"parity", NoParity, {19200, true, 1, 8}, false},
        {"2 stop bits", NoTwoStopBits, {9600, false, 2, 8}, false},
        {"what it can do, though it refuses others",
         NoRate1200 | NoParity,
         {9600, false, 1, 8},
         true},
        {"everything", Accepts, {1200, true, 2, 7}, true},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_uart.refusals = c.refusals;
        auto port = open();
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(port->configure(c.asked), c.taken);
    }
}

// The driver would sit in its closing wait (30 s by default) with bytes still queued.
TEST_F(UartDriver, ACloseAfterAStalledWriteFlushesWhatIsQueued)
{
    auto port = open();
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->configure({9600, true, 1, 8}));
    port->purge();
    g_uart.stuckInQueue = 40;
    const std::uint8_t frame[] = {1, 3, 0, 0, 0, 10, 0xC5, 0xCD};
    const IoResult written = port->write(frame, 100);
    EXPECT_TRUE(written.ok);
    EXPECT_EQ(written.count, sizeof frame);
    port->close();
    EXPECT_EQ(g_uart.stuckInQueue.load(), 0);
}

} // namespace
} // namespace quarin::posix
