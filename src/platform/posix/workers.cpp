#include "platform/posix/workers.h"

#include <system_error>
#include <thread>

namespace quarin::posix {

void ThreadWorkerStarter::start(std::function<void()> body)
{
    if (!body) {
        return;
    }
    m_running->fetch_add(1);
    try {
        std::thread([running = m_running, work = body] {
            work();
            running->fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the work still runs, here, so that whatever it would have
        // released at its end is released.
        body();
        m_running->fetch_sub(1);
    }
}

int ThreadWorkerStarter::running() const
{
    return m_running->load();
}

} // namespace quarin::posix
