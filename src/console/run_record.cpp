#include "console/run_record.h"

#include <algorithm>

#include "messages/format_text.h"

namespace quarin {

namespace {

std::string millisecondsText(double ms)
{
    return ms == static_cast<double>(static_cast<std::uint64_t>(ms))
               ? formatText("%llu ms", static_cast<unsigned long long>(ms))
               : formatText("%.1f ms", ms);
}

} // namespace

std::uint32_t ElapsedMs(TimeStamp from, TimeStamp to)
{
    return (to.seconds - from.seconds) * 1000u + to.milliseconds - from.milliseconds;
}

void RunRecord::begin(TimeStamp at)
{
    m_ring.clear();
    m_head = 0;
    m_names.clear();
    m_begun = true;
    m_start = at;
    m_count = 0;
    m_failures = 0;
    m_timed = 0;
    m_sumMs = 0;
    m_largestMs = 0;
    ++m_version;
}

std::uint16_t RunRecord::nameIndex(std::string_view failure)
{
    const auto found = std::find(m_names.begin(), m_names.end(), failure);
    if (found != m_names.end()) {
        return static_cast<std::uint16_t>(found - m_names.begin() + 1);
    }
    if (m_names.size() < kNames) {
        m_names.emplace_back(failure);
    } else {
        m_names.back() = "another failure";
    }
    return static_cast<std::uint16_t>(m_names.size());
}

void RunRecord::add(TimeStamp at, std::optional<std::uint32_t> durationMs, std::string_view failure)
{
    if (!m_begun) {
        begin(at);
    }
    RunEntry entry;
    entry.atMs = ElapsedMs(m_start, at);
    entry.timed = durationMs.has_value();
    entry.durationMs = durationMs.value_or(0);
    entry.verdict = failure.empty() ? 0 : nameIndex(failure);
    if (m_ring.size() < m_kept) {
        m_ring.push_back(entry);
    } else {
        m_ring[m_head] = entry;
        m_head = (m_head + 1) % m_kept;
    }
    ++m_count;
    if (entry.verdict != 0) {
        ++m_failures;
    }
    if (entry.timed) {
        ++m_timed;
        m_sumMs += entry.durationMs;
        m_largestMs = std::max(m_largestMs, entry.durationMs);
    }
    ++m_version;
}

void RunRecord::failLast(std::string_view failure)
{
    if (m_ring.empty() || failure.empty()) {
        return;
    }
    RunEntry& last =
        m_ring[m_ring.size() < m_kept ? m_ring.size() - 1 : (m_head + m_kept - 1) % m_kept];
    if (last.verdict != 0) {
        return;
    }
    last.verdict = nameIndex(failure);
    ++m_failures;
    ++m_version;
}

std::string_view RunRecord::failureName(std::uint16_t verdict) const
{
    if (verdict == 0 || verdict > m_names.size()) {
        return {};
    }
    return m_names[verdict - 1u];
}

std::uint32_t NearestRank(std::span<std::uint32_t> times, int percent)
{
    if (times.empty()) {
        return 0;
    }
    // rank = ceil(percent / 100 x n), counted from 1
    const std::size_t rank =
        std::max<std::size_t>(1, (times.size() * static_cast<std::size_t>(percent) + 99) / 100);
    const auto at = times.begin() + static_cast<std::ptrdiff_t>(rank - 1);
    std::nth_element(times.begin(), at, times.end());
    return *at;
}

double Median(std::span<std::uint32_t> times)
{
    if (times.empty()) {
        return 0;
    }
    const std::size_t n = times.size();
    const auto upper = times.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(times.begin(), upper, times.end());
    if (n % 2 != 0) {
        return *upper;
    }
    // nth_element leaves the smaller half before upper: the lower middle is its largest.
    const std::uint32_t lower = *std::max_element(times.begin(), upper);
    return (static_cast<double>(lower) + static_cast<double>(*upper)) / 2;
}

RunSummary Summarise(const RunRecord& run, std::vector<std::uint32_t>& scratch)
{
    RunSummary summary;
    summary.count = run.count();
    summary.failures = run.failures();
    summary.timed = run.timedCount();
    summary.largestMs = run.largestMs();
    if (summary.timed != 0) {
        summary.meanMs = static_cast<double>(run.sumMs()) / static_cast<double>(summary.timed);
    }
    scratch.clear();
    for (std::size_t i = 0; i < run.size(); ++i) {
        if (const RunEntry& entry = run.entry(i); entry.timed) {
            scratch.push_back(entry.durationMs);
        }
    }
    summary.ranked = scratch.size();
    summary.medianMs = Median(scratch);
    summary.p95Ms = NearestRank(scratch, 95);
    summary.p99Ms = NearestRank(scratch, 99);
    return summary;
}

std::string RunSummaryText(const RunSummary& s)
{
    if (s.count == 0) {
        return "This run: no transaction yet";
    }
    std::string text = formatText("This run: %llu transactions, %llu failed",
                                  static_cast<unsigned long long>(s.count),
                                  static_cast<unsigned long long>(s.failures));
    if (s.timed == 0) {
        return text + "\nNone timed";
    }
    text += formatText("\n%llu timed: mean %.1f ms, median %s, largest %u ms"
                       "\n95th percentile %u ms, 99th percentile %u ms",
                       static_cast<unsigned long long>(s.timed),
                       s.meanMs,
                       millisecondsText(s.medianMs).c_str(),
                       s.largestMs,
                       s.p95Ms,
                       s.p99Ms);
    if (s.ranked < s.timed) {
        text += formatText("\n(median and percentiles of the latest %zu)", s.ranked);
    }
    return text;
}

std::string RunCsv(const RunRecord& run)
{
    std::string text = "transaction,end_s,time_ms,verdict\n";
    const std::uint64_t first = run.count() - run.size() + 1;
    for (std::size_t i = 0; i < run.size(); ++i) {
        const RunEntry& entry = run.entry(i);
        text += formatText("%llu,%u.%03u,",
                           static_cast<unsigned long long>(first + i),
                           entry.atMs / 1000u,
                           entry.atMs % 1000u);
        if (entry.timed) {
            text += formatText("%u", entry.durationMs);
        }
        if (entry.verdict == 0) {
            text += ",answered\n";
            continue;
        }
        // Quoted, with its quotes doubled: a failure text may hold commas.
        text += ",\"";
        for (char c : run.failureName(entry.verdict)) {
            text += c;
            if (c == '"') {
                text += '"';
            }
        }
        text += "\"\n";
    }
    return text;
}

} // namespace quarin
