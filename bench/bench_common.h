#pragma once

// What every benchmark here shares: the clock, the summaries, CPU pinning, the options and the
// markdown the reports are printed in.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quarin::bench {

// CLOCK_MONOTONIC in nanoseconds: the clock the console's own stamps come from, and one that
// every process on the machine shares.
std::int64_t nowNs();

struct Summary
{
    std::size_t n = 0;
    double median = 0;
    double p99 = 0;
    double min = 0;
    double max = 0;
};

// Nearest-rank percentiles; an empty sample gives zeros.
Summary summarize(std::vector<double> values);

// Pins the calling thread to one CPU; false when that CPU is not available to us.
bool pinThread(int cpu);

int cpuCount();

struct Options
{
    bool quick = false;
    // The CPU the contenders run on, and the slave's: -1 leaves a thread unpinned.
    int cpu = -1;
    int slaveCpu = -1;
    // Where the rows of the targets table go, besides this program's own report.
    std::string targetsFile;
};

// --quick, --cpu N|none, --slave-cpu N|none, --targets FILE; the rest is left in `rest`. Pinned
// by default, the contenders share the last CPU with the slave, so that every exchange costs the
// same hand-overs; otherwise the slave follows --cpu unless told.
bool parseOptions(int argc,
                  char** argv,
                  Options& options,
                  std::vector<std::string>& rest,
                  bool pinnedByDefault = true);

std::string fixed(double value, int decimals);

// A markdown table with its columns lined up.
class Table
{
public:
    explicit Table(std::vector<std::string> header);
    void row(std::vector<std::string> cells);
    void print(std::FILE* out = stdout) const;

private:
    std::vector<std::vector<std::string>> m_rows;
};

// The targets of one benchmark: printed with its report and appended to the shared file.
class Targets
{
public:
    explicit Targets(const Options& options) : m_file(options.targetsFile) {}

    void
    add(const std::string& what, const std::string& measured, const std::string& limit, bool met);
    void print();

private:
    std::string m_file;
    std::vector<std::vector<std::string>> m_rows;
};

// The header line of the targets table, for whoever prints the shared file.
std::vector<std::string> targetsHeader();

} // namespace quarin::bench
