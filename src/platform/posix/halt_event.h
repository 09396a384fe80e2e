#pragma once

#include <atomic>

#include "platform/halt_signal.h"

namespace quarin::posix {

// The halt as an eventfd that stays readable once raised, so every adapter's poll() can watch it
// beside its own descriptor.
class EventFdHalt : public HaltSignal
{
public:
    EventFdHalt();
    ~EventFdHalt() override;
    EventFdHalt(const EventFdHalt&) = delete;
    EventFdHalt& operator=(const EventFdHalt&) = delete;

    void raise() override;
    bool raised() const override;

    // -1 when no eventfd could be made: waits then end only by their deadlines.
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
    std::atomic<bool> m_raised{false};
};

} // namespace quarin::posix
