#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace quarin {

// Unsigned 32-bit throughout: a borrow from the seconds gives the same number.
std::uint32_t ElapsedMs(TimeStamp from, TimeStamp to);

// One transaction of a run.
struct RunEntry
{
    std::uint32_t atMs = 0;       // when it ended (or failed), since the run began
    std::uint32_t durationMs = 0; // its time, when timed
    std::uint16_t verdict = 0;    // 0: answered; otherwise its failure, RunRecord::failureName
    bool timed = false;
};

// Every transaction of the current run: the latest ones in a ring of fixed size, the counts, the
// sum and the largest time over the whole run. It holds its memory from one run to the next, so
// a transaction costs no allocation once the ring has filled. Window's thread only.
class RunRecord
{
public:
    static constexpr std::size_t kKept = 100000;
    // Distinct failure texts named; further ones share the last name.
    static constexpr std::size_t kNames = 64;

    explicit RunRecord(std::size_t kept = kKept) : m_kept(kept) {}

    // A new run, from the Read command that starts it. Before the first one the run begins with
    // the first transaction.
    void begin(TimeStamp at);
    // A transaction; failure empty when it was answered.
    void add(TimeStamp at, std::optional<std::uint32_t> durationMs, std::string_view failure = {});
    // The last transaction failed after all (after it was timed). Its first failure stands.
    void failLast(std::string_view failure);

    std::uint64_t count() const { return m_count; }

    std::uint64_t failures() const { return m_failures; }

    std::uint64_t timedCount() const { return m_timed; }

    std::uint64_t sumMs() const { return m_sumMs; }

    std::uint32_t largestMs() const { return m_largestMs; }

    // The kept entries, oldest first.
    std::size_t size() const { return m_ring.size(); }

    const RunEntry& entry(std::size_t i) const
    {
        return m_ring[m_ring.size() < m_kept ? i : (m_head + i) % m_kept];
    }

    std::string_view failureName(std::uint16_t verdict) const;

    // Changes with every change, so a reader redraws only when there is something new.
    std::uint64_t version() const { return m_version; }

private:
    std::uint16_t nameIndex(std::string_view failure);

    std::size_t m_kept;
    std::vector<RunEntry> m_ring;
    std::size_t m_head = 0; // the oldest entry once the ring is full
    std::vector<std::string> m_names;
    bool m_begun = false;
    TimeStamp m_start;
    std::uint64_t m_count = 0;
    std::uint64_t m_failures = 0;
    std::uint64_t m_timed = 0;
    std::uint64_t m_sumMs = 0;
    std::uint32_t m_largestMs = 0;
    std::uint64_t m_version = 0;
};

struct RunSummary
{
    std::uint64_t count = 0;
    std::uint64_t failures = 0;
    std::uint64_t timed = 0;
    double meanMs = 0;
    std::uint32_t largestMs = 0;
    // Of the timed transactions among the kept ones.
    std::size_t ranked = 0;
    double medianMs = 0;
    std::uint32_t p95Ms = 0;
    std::uint32_t p99Ms = 0;
};

// The value at percent by nearest rank: the smallest time that at least percent of the times do
// not exceed. Reorders times; 0 for none.
std::uint32_t NearestRank(std::span<std::uint32_t> times, int percent);
// The middle time, or the mean of the two middle ones. Reorders times; 0 for none.
double Median(std::span<std::uint32_t> times);
// scratch is reused from call to call.
RunSummary Summarise(const RunRecord& run, std::vector<std::uint32_t>& scratch);
// The tooltip of the time fields.
std::string RunSummaryText(const RunSummary& summary);
// The kept transactions as CSV: their number in the run, when they ended in seconds since the
// run began, their time in ms (empty when not timed) and their verdict.
std::string RunCsv(const RunRecord& run);

} // namespace quarin
