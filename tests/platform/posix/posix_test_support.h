#pragma once

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "support/temp_dir.h"
#include "support/thread_wait.h"

namespace quarin::posix::test {

using Clock = std::chrono::steady_clock;

inline long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

using quarin::test::Cwd;
using quarin::test::TempDir;

// Runs body in a forked child; the child's exit code is body's result.
inline pid_t startChild(const std::function<int()>& body)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    return pid;
}

// The exit code of the child, or -1 when it was killed or had to be killed after the limit.
inline int waitChild(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    if (pid <= 0) {
        return -1;
    }
    auto end = Clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0) {
            return -1;
        }
        if (Clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

inline int runInChild(const std::function<int()>& body)
{
    return waitChild(startChild(body));
}

// Does the action on a thread of its own once the thread that made this object sleeps in poll(),
// so that it lands inside the call that thread makes next.
class WhilePolling
{
public:
    explicit WhilePolling(std::function<void()> action)
        : m_thread([this, waiter = ::gettid(), action = std::move(action)] {
              m_sawPoll = quarin::test::waitUntilPolling(waiter);
              action();
          })
    {}

    ~WhilePolling()
    {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    WhilePolling(const WhilePolling&) = delete;
    WhilePolling& operator=(const WhilePolling&) = delete;

    // Waits for the action; false when it came without the wait having been seen.
    bool landedInside()
    {
        m_thread.join();
        return m_sawPoll;
    }

private:
    bool m_sawPoll = false;
    std::thread m_thread;
};

// Runs fn on a thread of its own and returns its result: the thread's last socket error starts at 0
// there.
template <typename Fn> auto onFreshThread(Fn fn)
{
    decltype(fn()) result{};
    std::thread([&] { result = fn(); }).join();
    return result;
}

} // namespace quarin::posix::test
