#include "platform/posix/serial_ports.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/serial.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

#include "platform/posix/halt_event.h"
#include "platform/posix/line_termios.h"
#include "platform/posix/poll_wait.h"

namespace quarin::posix {

namespace {

struct Speed
{
    int baudRate;
    speed_t speed;
};

// Every other rate is 38400 bit/s.
constexpr Speed kSpeeds[] = {
    {1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200}};

speed_t speedFor(int baudRate)
{
    for (const Speed& s : kSpeeds) {
        if (s.baudRate == baudRate) {
            return s.speed;
        }
    }
    return B38400;
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
    PosixSerialPort(int fd, const EventFdHalt& halt, std::string lockFile)
        : m_fd(fd), m_halt(halt), m_pseudoTerminal(isPseudoTerminal(fd)),
          m_lockFile(std::move(lockFile))
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
                return stalled(done);
            }
            WaitOutcome wait = waitForFd(m_fd, POLLOUT, m_halt.fd(), deadline);
            if (wait.wake == Wake::TimedOut) {
                return stalled(done);
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
                return stalled(done);
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

    std::optional<Rs485Mode> rs485() const override
    {
        serial_rs485 mode{};
        if (::ioctl(m_fd, TIOCGRS485, &mode) != 0 || (mode.flags & SER_RS485_ENABLED) == 0) {
            return std::nullopt;
        }
        return Rs485Mode{(mode.flags & SER_RS485_RTS_ON_SEND) != 0,
                         (mode.flags & SER_RS485_RTS_AFTER_SEND) != 0,
                         static_cast<int>(mode.delay_rts_before_send),
                         static_cast<int>(mode.delay_rts_after_send),
                         (mode.flags & SER_RS485_RX_DURING_TX) != 0};
    }

    void close() override
    {
        if (m_fd < 0) {
            return;
        }
        // The driver's queue reads empty while the last characters are still in the UART or the
        // adapter: the settings found are put back only once the wire time of all that was
        // written has passed, so no tail goes out at another baud rate. The halt cuts the wait
        // short, and then the line is left as it is.
        // A line that stalled a write has nothing to wait for.
        const Deadline drained = m_stalled
                                     ? Deadline{}
                                     : std::min(m_lineBusyUntil + kDrainMargin,
                                                std::chrono::steady_clock::now() + kLongestDrain);
        const bool waited =
            drained <= std::chrono::steady_clock::now() || sleepUntil(m_halt.fd(), drained);
        // What is still queued now is stalled: flushed, so the close does not sit in the
        // driver's closing wait (30 s by default).
        int queued = 0;
        if (m_stalled || !waited || (::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0)) {
            ::tcflush(m_fd, TCOFLUSH);
        }
        if (m_saved && waited) {
            ::tcsetattr(m_fd, TCSANOW, &*m_saved);
        }
        ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
        m_fd = -1;
        if (!m_lockFile.empty()) {
            ::unlink(m_lockFile.c_str());
        }
    }

private:
    // A write that ran out of time: what it left queued will not go out.
    IoResult stalled(std::size_t done)
    {
        m_stalled = true;
        return {true, done};
    }

    int m_fd;
    const EventFdHalt& m_halt;
    const bool m_pseudoTerminal;
    const std::string m_lockFile; // empty when none was taken
    std::optional<termios> m_saved;
    std::chrono::nanoseconds m_character{};
    Deadline m_lineBusyUntil{};
    bool m_stalled = false;
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
    for (const Speed& s : kSpeeds) {
        if (s.speed == ::cfgetospeed(&line)) {
            baud = s.baudRate;
        }
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

std::string uucpLockPath(const std::string& lockDir, const std::string& devicePath)
{
    std::string name = devicePath;
    if (name.starts_with("/dev/")) {
        name.erase(0, 5);
    }
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    return lockDir + "/LCK.." + name;
}

int uucpLockHolder(const std::string& lockFile)
{
    std::FILE* file = std::fopen(lockFile.c_str(), "re");
    if (file == nullptr) {
        return 0;
    }
    char text[32] = {};
    const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    const long pid = std::strtol(text, nullptr, 10);
    if (pid <= 0 || pid > INT_MAX) {
        return 0;
    }
    // EPERM: it runs, under another user.
    const bool alive = ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    return alive ? static_cast<int>(pid) : 0;
}

namespace {

// Takes the device's lock file: its path once taken, empty where the folder takes no file (the
// port then goes without), nothing when a live process holds it.
std::optional<std::string> takeUucpLock(const std::string& lockDir, const std::string& device)
{
    const std::string lockFile = uucpLockPath(lockDir, device);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (uucpLockHolder(lockFile) != 0) {
            return std::nullopt;
        }
        // Stale, or not there.
        ::unlink(lockFile.c_str());
        std::string temporary = lockDir + "/LTMP.XXXXXX";
        const int fd = ::mkstemp(temporary.data());
        if (fd < 0) {
            return std::string();
        }
        char line[16];
        const int length = std::snprintf(line, sizeof line, "%10d\n", ::getpid());
        const bool written =
            length > 0 && ::write(fd, line, static_cast<std::size_t>(length)) == length;
        ::fchmod(fd, 0644);
        ::close(fd);
        // link() is the one step that cannot race: it fails when another opener got there first.
        const bool linked = written && ::link(temporary.c_str(), lockFile.c_str()) == 0;
        ::unlink(temporary.c_str());
        if (linked) {
            return lockFile;
        }
        if (!written) {
            return std::string();
        }
    }
    return std::nullopt;
}

} // namespace

PosixSerialPorts::PosixSerialPorts(const EventFdHalt& halt, std::string lockDir)
    : m_halt(halt), m_lockDir(std::move(lockDir))
{}

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
    char device[PATH_MAX];
    const std::string resolved = ::realpath(path.c_str(), device) != nullptr ? device : path;
    const std::optional<std::string> lockFile = takeUucpLock(m_lockDir, resolved);
    if (!lockFile) {
        m_lastOpenError = EBUSY;
        ::close(fd);
        return nullptr;
    }
    m_lastOpenError = 0;
    return std::make_unique<PosixSerialPort>(fd, m_halt, *lockFile);
}

int PosixSerialPorts::lastOpenError() const
{
    return m_lastOpenError;
}

} // namespace quarin::posix
