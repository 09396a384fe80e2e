#include "platform/posix/serial_ports.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/posix/halt_event.h"
#include "platform/posix/line_termios.h"
#include "platform/posix/poll_wait.h"

namespace quarin::posix {

namespace {

speed_t speedFor(int baudRate)
{
    switch (baudRate) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    default:
        return B38400;
    }
}

// What the UART's FIFO or an adapter's buffer may still hold when the driver's queue reads
// empty, and a USB adapter's latency on top.
constexpr std::chrono::milliseconds kDrainMargin{50};
// No frame takes longer on the wire (512 characters of 12 bits at 1200 bit/s take 5.2 s).
constexpr std::chrono::seconds kLongestDrain{6};

// Unix 98 pty slaves: a pty carries bytes, not characters, and its driver forces 8 data bits
// without parity whatever is asked.
bool isPseudoTerminal(int fd)
{
    struct stat device
    {
    };

    if (::fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) {
        return false;
    }
    const unsigned kind = major(device.st_rdev);
    return kind >= 136 && kind <= 143;
}

class PosixSerialPort : public SerialPort
{
public:
    PosixSerialPort(int fd, const EventFdHalt& halt)
        : m_fd(fd), m_halt(halt), m_pseudoTerminal(isPseudoTerminal(fd))
    {
        termios saved{};
        if (::tcgetattr(m_fd, &saved) == 0) {
            m_saved = saved;
        }
    }

    ~PosixSerialPort() override { close(); }

    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    void purge() override { ::tcflush(m_fd, TCIOFLUSH); }

    bool configure(const LineSettings& settings) override
    {
        termios current{};
        if (::tcgetattr(m_fd, &current) != 0) {
            return false;
        }
        termios wanted = makeTermios(current, settings);
        // tcsetattr() succeeds when any one change took: the line is what the driver reads back.
        termios taken{};
        if (::tcsetattr(m_fd, TCSANOW, &wanted) != 0 || ::tcgetattr(m_fd, &taken) != 0 ||
            !lineTaken(wanted, taken, m_pseudoTerminal)) {
            return false;
        }
        m_character = characterTime(taken);
        return true;
    }

    void raiseDtr() override
    {
        // Refused by ptys and some adapters; the line works without it.
        int bits = TIOCM_DTR;
        ::ioctl(m_fd, TIOCMBIS, &bits);
    }

    IoResult write(std::span<const std::uint8_t> bytes, int timeoutMs) override
    {
        Deadline deadline = deadlineAfter(timeoutMs);
        std::size_t done = 0;
        if (m_halt.raised()) {
            return {false, done};
        }
        while (done < bytes.size()) {
            ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                m_lineBusyUntil =
                    std::max(m_lineBusyUntil, std::chrono::steady_clock::now()) + m_character * n;
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN) {
                return {false, done};
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return {true, done};
            }
            WaitOutcome wait = waitForFd(m_fd, POLLOUT, m_halt.fd(), deadline);
            if (wait.wake == Wake::TimedOut) {
                return {true, done};
            }
            if (wait.wake != Wake::Ready || (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return {false, done};
            }
        }
        // tcdrain() could block for ever on a stalled line, so the queue is watched instead.
        for (;;) {
            int queued = 0;
            if (::ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
                return {true, done};
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return {true, done};
            }
            if (!sleepUntil(m_halt.fd(), std::min(deadline, deadlineAfter(1)))) {
                return {false, done};
            }
        }
    }

    IoResult read(std::span<std::uint8_t> buffer, int timeoutMs) override
    {
        Deadline deadline = deadlineAfter(timeoutMs);
        std::size_t count = 0;
        if (m_halt.raised()) {
            return {false, count};
        }
        while (count < buffer.size()) {
            WaitOutcome wait = waitForFd(m_fd, POLLIN, m_halt.fd(), deadline);
            if (wait.wake == Wake::TimedOut) {
                return {true, count};
            }
            if (wait.wake != Wake::Ready || (wait.revents & POLLNVAL) != 0) {
                return {false, count};
            }
            if ((wait.revents & POLLIN) == 0) {
                // POLLHUP or POLLERR without data: the device is gone.
                return {false, count};
            }
            ssize_t n = ::read(m_fd, buffer.data() + count, buffer.size() - count);
            if (n > 0) {
                count += static_cast<std::size_t>(n);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                // Readable yet nothing to read is end of file, e.g. a hung-up line.
                return {false, count};
            } else if (std::chrono::steady_clock::now() >= deadline) {
                return {true, count};
            }
        }
        return {true, count};
    }

    void clearErrors() override {}

    void close() override
    {
        if (m_fd < 0) {
            return;
        }
        // The driver's queue reads empty while the last characters are still in the UART or the
        // adapter: the settings found are put back only once the wire time of all that was
        // written has passed, so no tail goes out at another baud rate. The halt cuts the wait
        // short, and then the line is left as it is.
        const Deadline drained = std::min(m_lineBusyUntil + kDrainMargin,
                                          std::chrono::steady_clock::now() + kLongestDrain);
        const bool waited =
            drained <= std::chrono::steady_clock::now() || sleepUntil(m_halt.fd(), drained);
        // What is still queued now is stalled (a write that timed out): flushed, so the close
        // does not sit in the driver's closing wait.
        int queued = 0;
        if (!waited || (::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0)) {
            ::tcflush(m_fd, TCOFLUSH);
        }
        if (m_saved && waited) {
            ::tcsetattr(m_fd, TCSANOW, &*m_saved);
        }
        ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
    const EventFdHalt& m_halt;
    const bool m_pseudoTerminal;
    std::optional<termios> m_saved;
    std::chrono::nanoseconds m_character{};
    Deadline m_lineBusyUntil{};
};

} // namespace

std::string comTablePath(int portIndex)
{
    if (portIndex >= 1 && portIndex <= 8) {
        return "/dev/ttyUSB" + std::to_string(portIndex - 1);
    }
    if (portIndex >= 9 && portIndex <= 12) {
        return "/dev/ttyACM" + std::to_string(portIndex - 9);
    }
    if (portIndex >= 13 && portIndex <= 16) {
        return "/dev/ttyS" + std::to_string(portIndex - 13);
    }
    return {};
}

termios makeTermios(const termios& current, const LineSettings& settings)
{
    termios t = current;
    ::cfmakeraw(&t);
    // Another program may have left flow control or odd parity on.
    t.c_cflag &= ~tcflag_t{CRTSCTS | CMSPAR | PARENB | PARODD | CSTOPB | CSIZE};
    t.c_iflag &= ~tcflag_t{IXON | IXOFF | IXANY};
    t.c_cflag |= tcflag_t{CLOCAL | CREAD};
    if (settings.evenParity) {
        t.c_cflag |= tcflag_t{PARENB};
    }
    if (settings.stopBits == 2) {
        t.c_cflag |= tcflag_t{CSTOPB};
    }
    t.c_cflag |= settings.dataBits == 7 ? tcflag_t{CS7} : tcflag_t{CS8};
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = speedFor(settings.baudRate);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    return t;
}

bool lineTaken(const termios& wanted, const termios& taken, bool pseudoTerminal)
{
    tcflag_t checked = CSTOPB;
    if (!pseudoTerminal) {
        checked |= CSIZE | PARENB | PARODD;
    }
    return ::cfgetospeed(&taken) == ::cfgetospeed(&wanted) &&
           ::cfgetispeed(&taken) == ::cfgetispeed(&wanted) &&
           (taken.c_cflag & checked) == (wanted.c_cflag & checked);
}

std::chrono::nanoseconds characterTime(const termios& line)
{
    long baud = 38400;
    switch (::cfgetospeed(&line)) {
    case B1200:
        baud = 1200;
        break;
    case B2400:
        baud = 2400;
        break;
    case B4800:
        baud = 4800;
        break;
    case B9600:
        baud = 9600;
        break;
    case B19200:
        baud = 19200;
        break;
    default:
        break;
    }
    long dataBits = 8;
    switch (line.c_cflag & CSIZE) {
    case CS5:
        dataBits = 5;
        break;
    case CS6:
        dataBits = 6;
        break;
    case CS7:
        dataBits = 7;
        break;
    default:
        break;
    }
    const long bits = 1 + dataBits + ((line.c_cflag & PARENB) != 0 ? 1 : 0) +
                      ((line.c_cflag & CSTOPB) != 0 ? 2 : 1);
    return std::chrono::nanoseconds(bits * 1'000'000'000L / baud);
}

PosixSerialPorts::PosixSerialPorts(const EventFdHalt& halt) : m_halt(halt) {}

std::string PosixSerialPorts::devicePath(int portIndex) const
{
    std::string table = comTablePath(portIndex);
    if (table.empty()) {
        return table;
    }
    std::string local = "COM" + std::to_string(portIndex);

    struct stat entry
    {
    };

    // lstat: a dangling link still names the operator's choice, and then fails to open.
    if (::lstat(local.c_str(), &entry) == 0) {
        return local;
    }
    return table;
}

std::unique_ptr<SerialPort> PosixSerialPorts::open(int portIndex)
{
    return openPath(devicePath(portIndex));
}

std::unique_ptr<SerialPort> PosixSerialPorts::openPath(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_lastOpenError = errno;
        return nullptr;
    }
    // TIOCEXCL alone does not stop root; the lock keeps two openers apart in any case.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_lastOpenError = errno;
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    m_lastOpenError = 0;
    return std::make_unique<PosixSerialPort>(fd, m_halt);
}

int PosixSerialPorts::lastOpenError() const
{
    return m_lastOpenError;
}

} // namespace quarin::posix
