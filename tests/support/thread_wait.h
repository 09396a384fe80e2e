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

// True once the thread sleeps in one of these calls; false when it did not within the patience.
inline bool waitUntilSleepingIn(pid_t thread,
                                std::initializer_list<long> calls,
                                std::chrono::milliseconds patience = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        const long now = sleepingIn(thread);
        for (const long call : calls) {
            if (now == call) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
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
