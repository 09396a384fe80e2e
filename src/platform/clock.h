#pragma once

#include <cstdint>
#include <string>

namespace quarin {

// A reading as whole seconds plus milliseconds 0..999.
struct TimeStamp
{
    std::uint32_t seconds = 0;
    std::uint32_t milliseconds = 0;
};

class Clock
{
public:
    virtual ~Clock() = default;
    // Monotonic, so a step of the wall clock cannot make a bogus transaction time.
    virtual TimeStamp now() = 0;
    // Local date and time as "MM/DD/YY HH:MM:SS".
    virtual std::string localTimeText() = 0;
    // Returns early when the console halts.
    virtual void sleepMs(int ms) = 0;
};

} // namespace quarin
