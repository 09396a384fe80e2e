#pragma once

#include <ctime>
#include <string>

#include "platform/clock.h"

namespace quarin::posix {

class EventFdHalt;

// "MM/DD/YY HH:MM:SS", the same in every locale.
std::string formatLocalTime(const std::tm& time);

class PosixClock : public Clock
{
public:
    explicit PosixClock(const EventFdHalt& halt);

    TimeStamp now() override;
    std::string localTimeText() override;
    void sleepMs(int ms) override;

private:
    const EventFdHalt& m_halt;
};

} // namespace quarin::posix
