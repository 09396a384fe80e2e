#include "platform/posix/halt_event.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quarin::posix {

EventFdHalt::EventFdHalt() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventFdHalt::~EventFdHalt()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void EventFdHalt::raise()
{
    m_raised.store(true, std::memory_order_release);
    if (m_fd >= 0) {
        // Nobody reads the counter, so the descriptor stays readable for ever.
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(m_fd, &one, sizeof one);
    }
}

bool EventFdHalt::raised() const
{
    return m_raised.load(std::memory_order_acquire);
}

} // namespace quarin::posix
