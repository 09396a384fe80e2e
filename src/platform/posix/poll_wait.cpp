#include "platform/posix/poll_wait.h"

#include <cerrno>
#include <climits>
#include <poll.h>

namespace quarin::posix {

namespace {

int msUntil(const std::optional<Deadline>& deadline)
{
    if (!deadline) {
        return -1;
    }
    // Rounded up: a wait that ends a little early would only poll again.
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) {
        return 0;
    }
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

} // namespace

Deadline deadlineAfter(int ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
}

WaitOutcome waitForFd(int fd, short events, int haltFd, std::optional<Deadline> deadline)
{
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {haltFd, POLLIN, 0}};
        int rc = ::poll(fds, 2, msUntil(deadline));
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {Wake::Failed, 0, errno};
        }
        if (fds[1].revents != 0) {
            return {Wake::Halted, 0, 0};
        }
        if (fds[0].revents != 0) {
            return {Wake::Ready, fds[0].revents, 0};
        }
        if (rc == 0 && msUntil(deadline) == 0) {
            return {Wake::TimedOut, 0, 0};
        }
    }
}

bool sleepUntil(int haltFd, Deadline deadline)
{
    return waitForFd(-1, 0, haltFd, deadline).wake != Wake::Halted;
}

} // namespace quarin::posix
