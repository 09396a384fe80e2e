#pragma once

#include <chrono>
#include <optional>

namespace quarin::posix {

using Deadline = std::chrono::steady_clock::time_point;

Deadline deadlineAfter(int ms);

enum class Wake
{
    Ready,
    TimedOut,
    Halted,
    Failed
};

struct WaitOutcome
{
    Wake wake = Wake::Failed;
    short revents = 0; // of fd, when Ready
    int error = 0;     // errno of poll(), when Failed
};

// Waits for events on fd, for the halt descriptor to become readable, or for the deadline (none:
// no end). The halt wins over readiness so that a halted caller stops at once. Signals do not cut
// the wait short.
WaitOutcome waitForFd(int fd, short events, int haltFd, std::optional<Deadline> deadline);

// False when the halt ended the sleep early.
bool sleepUntil(int haltFd, Deadline deadline);

} // namespace quarin::posix
