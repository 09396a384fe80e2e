#include "platform/posix/serial_ports.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

class PosixSerialPort : public SerialPort
{
public:
    PosixSerialPort(int fd, const EventFdHalt& halt) : m_fd(fd), m_halt(halt)
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
        return ::tcsetattr(m_fd, TCSANOW, &wanted) == 0;
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
        if (m_saved) {
            ::tcsetattr(m_fd, TCSANOW, &*m_saved);
        }
        ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
    const EventFdHalt& m_halt;
    std::optional<termios> m_saved;
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
