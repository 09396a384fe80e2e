#include "platform/posix/clock.h"

#include <time.h>

#include "platform/posix/halt_event.h"
#include "platform/posix/poll_wait.h"

namespace quarin::posix {

std::string formatLocalTime(const std::tm& time)
{
    char text[32];
    // Never %c: its form changes with the locale. The two-digit year is the log's own form.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
    std::size_t length = std::strftime(text, sizeof text, "%m/%d/%y %H:%M:%S", &time);
#pragma GCC diagnostic pop
    return std::string(text, length);
}

PosixClock::PosixClock(const EventFdHalt& halt) : m_halt(halt) {}

TimeStamp PosixClock::now()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return {static_cast<std::uint32_t>(ts.tv_sec),
            static_cast<std::uint32_t>(ts.tv_nsec / 1000000)};
}

std::string PosixClock::localTimeText()
{
    std::time_t seconds = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    return formatLocalTime(local);
}

void PosixClock::sleepMs(int ms)
{
    if (ms > 0) {
        sleepUntil(m_halt.fd(), deadlineAfter(ms));
    }
}

} // namespace quarin::posix
