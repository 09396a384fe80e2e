#pragma once

// The handshake of a test that must act while another thread's call waits: it watches, through
// /proc, for that thread to sleep in the kernel, rather than guessing how long the call takes to
// get there.

#include <chrono>
#include <fstream>
#include <initializer_list>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace quarin::test {

// The system call the thread sleeps in, or -1 while it runs.
inline long sleepingIn(pid_t thread)
{
    std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/syscall");
    long call = -1;
    return file >> call ? call : -1;
}

// True once sleeps(thread) holds; false when it did not within the patience.
template <typename Sleeps>
bool waitUntil(pid_t thread, Sleeps sleeps, std::chrono::milliseconds patience)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (sleeps(thread)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// True once the thread sleeps in one of these calls; false when it did not within the patience.
inline bool waitUntilSleepingIn(pid_t thread,
                                std::initializer_list<long> calls,
                                std::chrono::milliseconds patience = std::chrono::seconds(10))
{
    return waitUntil(
        thread,
        [calls](pid_t t) {
            const long now = sleepingIn(t);
            for (const long call : calls) {
                if (now == call) {
                    return true;
                }
            }
            return false;
        },
        patience);
}

// True once the thread sleeps in a poll() with more than `longer` to wait, past any short waits
// before it. A ppoll()'s time-out is behind a pointer: any ppoll() counts.
inline bool waitUntilPollingLonger(pid_t thread,
                                   std::chrono::milliseconds longer,
                                   std::chrono::milliseconds patience = std::chrono::seconds(10))
{
    return waitUntil(
        thread,
        [longer](pid_t t) {
            std::ifstream file("/proc/self/task/" + std::to_string(t) + "/syscall");
            long call = -1;
            std::string fds, count, timeout;
            file >> call >> fds >> count >> timeout;
#ifdef SYS_poll
            return call == SYS_poll && !timeout.empty() &&
                   std::stol(timeout, nullptr, 16) > longer.count();
#else
            return call == SYS_ppoll;
#endif
        },
        patience);
}

// Every wait of the serial port, the socket API and the clock is a poll().
inline bool waitUntilPolling(pid_t thread)
{
#ifdef SYS_poll
    return waitUntilSleepingIn(thread, {SYS_poll, SYS_ppoll});
#else
    return waitUntilSleepingIn(thread, {SYS_ppoll});
#endif
}

// A wait on a condition variable or a mutex.
inline bool waitUntilWaiting(pid_t thread)
{
    return waitUntilSleepingIn(thread, {SYS_futex});
}

} // namespace quarin::test
