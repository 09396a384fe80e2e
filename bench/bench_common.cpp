#include "bench_common.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <pthread.h>
#include <sched.h>
#include <time.h>

namespace quarin::bench {

std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

Summary summarize(std::vector<double> values)
{
    Summary s;
    s.n = values.size();
    if (values.empty()) {
        return s;
    }
    std::sort(values.begin(), values.end());
    auto rank = [&](double p) {
        const auto k = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
        return values[std::clamp<std::size_t>(k, 1, values.size()) - 1];
    };
    s.median = rank(0.5);
    s.p99 = rank(0.99);
    s.min = values.front();
    s.max = values.back();
    return s;
}

bool pinThread(int cpu)
{
    if (cpu < 0) {
        return true;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<std::size_t>(cpu), &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

int cpuCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 1;
    }
    return CPU_COUNT(&set);
}

namespace {

// Columns line up by characters, not bytes: µ, ÷ and → take more than one.
std::size_t displayWidth(const std::string& text)
{
    std::size_t width = 0;
    for (const char c : text) {
        width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return width;
}

// The highest CPU this process may run on.
int lastCpu()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return -1;
    }
    int last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(static_cast<std::size_t>(cpu), &set)) {
            last = cpu;
        }
    }
    return last;
}

bool parseCpu(const char* text, int& cpu)
{
    if (std::string(text) == "none") {
        cpu = -1;
        return true;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value >= CPU_SETSIZE) {
        return false;
    }
    cpu = static_cast<int>(value);
    return true;
}

} // namespace

bool parseOptions(
    int argc, char** argv, Options& options, std::vector<std::string>& rest, bool pinnedByDefault)
{
    options.cpu = pinnedByDefault ? lastCpu() : -1;
    bool slaveGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--cpu" && hasValue) {
            if (!parseCpu(argv[++i], options.cpu)) {
                return false;
            }
        } else if (arg == "--slave-cpu" && hasValue) {
            if (!parseCpu(argv[++i], options.slaveCpu)) {
                return false;
            }
            slaveGiven = true;
        } else if (arg == "--targets" && hasValue) {
            options.targetsFile = argv[++i];
        } else {
            rest.push_back(arg);
        }
    }
    if (!slaveGiven) {
        options.slaveCpu = options.cpu;
    }
    return true;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

Table::Table(std::vector<std::string> header)
{
    m_rows.push_back(std::move(header));
}

void Table::row(std::vector<std::string> cells)
{
    cells.resize(m_rows.front().size());
    m_rows.push_back(std::move(cells));
}

void Table::print(std::FILE* out) const
{
    std::vector<std::size_t> widths(m_rows.front().size(), 3);
    for (const auto& cells : m_rows) {
        for (std::size_t c = 0; c < cells.size(); ++c) {
            widths[c] = std::max(widths[c], displayWidth(cells[c]));
        }
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text = "|";
        for (std::size_t c = 0; c < cells.size(); ++c) {
            text += " " + cells[c] + std::string(widths[c] - displayWidth(cells[c]), ' ') + " |";
        }
        std::fprintf(out, "%s\n", text.c_str());
    };
    line(m_rows.front());
    std::vector<std::string> rule;
    for (const std::size_t w : widths) {
        rule.emplace_back(w, '-');
    }
    line(rule);
    for (std::size_t r = 1; r < m_rows.size(); ++r) {
        line(m_rows[r]);
    }
    std::fprintf(out, "\n");
    std::fflush(out);
}

std::vector<std::string> targetsHeader()
{
    return {"target", "measured", "limit", "met"};
}

void Targets::add(const std::string& what,
                  const std::string& measured,
                  const std::string& limit,
                  bool met)
{
    m_rows.push_back({what, measured, limit, met ? "yes" : "**no**"});
}

void Targets::print()
{
    Table table(targetsHeader());
    for (const auto& row : m_rows) {
        table.row(row);
    }
    std::printf("Targets:\n\n");
    table.print();
    if (m_file.empty()) {
        return;
    }
    if (std::FILE* file = std::fopen(m_file.c_str(), "a"); file != nullptr) {
        for (const auto& row : m_rows) {
            std::fprintf(file,
                         "%s\t%s\t%s\t%s\n",
                         row[0].c_str(),
                         row[1].c_str(),
                         row[2].c_str(),
                         row[3].c_str());
        }
        std::fclose(file);
    }
}

} // namespace quarin::bench
