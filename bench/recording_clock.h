#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "bench_common.h"
#include "platform/clock.h"

namespace quarin::bench {

// The console's clock, with a note of every reading and every pause it takes. A transaction reads
// the clock twice, at its start and at its end, so consecutive readings pair up into the times the
// console shows; the nanosecond reading taken beside each stamp says when it was taken.
class RecordingClock : public Clock
{
public:
    struct Reading
    {
        TimeStamp stamp;
        std::int64_t ns = 0;
    };

    struct Pause
    {
        int ms = 0;
        std::int64_t beginNs = 0;
        std::int64_t endNs = 0;
    };

    explicit RecordingClock(Clock& base) : m_base(base) {}

    TimeStamp now() override
    {
        const TimeStamp stamp = m_base.now();
        const std::int64_t ns = nowNs();
        std::lock_guard lock(m_mutex);
        m_readings.push_back({stamp, ns});
        return stamp;
    }

    std::string localTimeText() override { return m_base.localTimeText(); }

    void sleepMs(int ms) override
    {
        const std::int64_t begin = nowNs();
        m_base.sleepMs(ms);
        const std::int64_t end = nowNs();
        std::lock_guard lock(m_mutex);
        m_pauses.push_back({ms, begin, end});
    }

    std::vector<Reading> readings() const
    {
        std::lock_guard lock(m_mutex);
        return m_readings;
    }

    std::vector<Pause> pauses() const
    {
        std::lock_guard lock(m_mutex);
        return m_pauses;
    }

    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_readings.clear();
        m_pauses.clear();
    }

private:
    Clock& m_base;
    mutable std::mutex m_mutex;
    std::vector<Reading> m_readings;
    std::vector<Pause> m_pauses;
};

// The time the console shows for a transaction stamped start and end, worked out as it does.
inline std::uint32_t shownMs(TimeStamp start, TimeStamp end)
{
    return (end.seconds - start.seconds) * 1000u + end.milliseconds - start.milliseconds;
}

} // namespace quarin::bench
