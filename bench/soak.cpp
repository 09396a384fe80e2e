// Soak: the console on the real POSIX adapters, its scheduled reads on real worker threads, a
// window-less view. It runs a long mix of reads and writes over TCP loopback and over a pty
// against a slave on a thread of its own that spoils about one reply in ten, always in a way the
// master sees at once (never a time-out). Every transaction's outcome is checked against the plan;
// descriptors, threads and resident memory are sampled as the run goes. Then the log viewer is
// started a hundred times through a stand-in that exits at once, and no child may stay a zombie.
//
//   quarin_soak [--tcp N] [--pty M] [--programs K] [--seed S] [--no-rss]
//
// Exit status 0 only when every check passes; --no-rss drops the memory check (under valgrind the
// resident size is valgrind's).

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_common.h"
#include "console/master_dlg.h"
#include "platform/posix/platform.h"
#include "soak_slave.h"
#include "support/fake_view.h"
#include "support/lock_dir.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace quarin::bench {
namespace {

constexpr char kLoopback[] = "127.0.0.1";
constexpr long kRound = 1000;        // transactions between the points where the state is known
constexpr long kReadsPerBurst = 40;  // scheduled reads, then
constexpr long kWritesPerBurst = 10; // writes from the Write command
constexpr int kSettledThreads = 2;   // this thread and the slave's
constexpr int kTransactionLimitMs = 10000;
constexpr long kRssLimitKiB = 1024;

// -----------------------------------------------------------------------------------------------
// What the process holds

int countEntries(const char* dir)
{
    int n = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(dir, error);
         !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        ++n;
    }
    return n;
}

struct Sample
{
    std::string point;
    long transactions = 0;
    int descriptors = 0;
    int threads = 0;
    long rssKiB = 0;
};

long rssKiB()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

Sample sample(const std::string& point, long transactions)
{
    Sample s;
    s.point = point;
    s.transactions = transactions;
    // The iterator's own descriptor is among those listed.
    s.descriptors = countEntries("/proc/self/fd") - 1;
    s.threads = countEntries("/proc/self/task");
    s.rssKiB = rssKiB();
    return s;
}

// A thread that has returned may still be on its way out.
void waitForThreads(int expected, int limitMs)
{
    for (int waited = 0; waited < limitMs; ++waited) {
        if (countEntries("/proc/self/task") <= expected) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct Children
{
    int alive = 0;
    int zombies = 0;
};

Children children()
{
    Children c;
    const std::string self = std::to_string(getpid());
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc", error);
         !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(it->path() / "stat");
        std::string line;
        std::getline(stat, line);
        // pid (comm) state ppid ...: the command may hold spaces and parentheses.
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = '?';
        std::string ppid;
        std::istringstream rest(line.substr(close + 1));
        rest >> state >> ppid;
        if (ppid != self) {
            continue;
        }
        ++c.alive;
        c.zombies += state == 'Z' ? 1 : 0;
    }
    return c;
}

// -----------------------------------------------------------------------------------------------
// The plan

enum Outcome : int
{
    Ok,     // values shown, nothing counted, no box
    Logged, // counted and logged by the schedule
    Box,    // a message box
    Other
};

const char* outcomeName(Outcome o)
{
    switch (o) {
    case Ok:
        return "ok";
    case Logged:
        return "logged";
    case Box:
        return "box";
    case Other:
        break;
    }
    return "other";
}

enum Kind : int
{
    TcpReadKind,
    TcpWriteKind,
    PtyReadKind,
    PtyWriteKind,
    kKinds
};

constexpr const char* kKindNames[kKinds] = {"TCP read", "TCP write", "pty read", "pty write"};

struct Step
{
    Fault fault = NoFault;
    Outcome expected = Ok;
};

// One fault in ten, of the kinds that fail at once on that link. A TCP connection the slave has
// closed fails the next TCP transaction, which the slave never sees. The last two TCP
// transactions of a round are left alone so every round ends on a working connection.
class Plan
{
public:
    explicit Plan(unsigned seed) : m_random(seed) {}

    Step next(Kind kind, bool forcedClean)
    {
        const bool tcp = kind == TcpReadKind || kind == TcpWriteKind;
        const bool read = kind == TcpReadKind || kind == PtyReadKind;
        Step step;
        if (tcp && m_slaveClosed) {
            m_slaveClosed = false;
            step.expected = read ? Logged : Box;
            ++m_consequential;
            return step;
        }
        if (forcedClean || m_random() % 10 != 0) {
            return step;
        }
        static constexpr Fault kTcpFaults[] = {
            ExceptionReply, WrongSlaveId, WrongTransactionId, WrongCount, CloseAfterReply};
        static constexpr Fault kSerialFaults[] = {BadCrc, WrongSlaveId, WrongCount};
        step.fault = tcp ? kTcpFaults[m_random() % std::size(kTcpFaults)]
                         : kSerialFaults[m_random() % std::size(kSerialFaults)];
        ++m_injected;
        if (step.fault == CloseAfterReply) {
            m_slaveClosed = true;
            return step;
        }
        if (!read || step.fault == WrongTransactionId) {
            step.expected = Box;
        } else {
            step.expected = Logged;
        }
        return step;
    }

    long injected() const { return m_injected; }

    long consequential() const { return m_consequential; }

private:
    std::mt19937 m_random;
    bool m_slaveClosed = false;
    long m_injected = 0;
    long m_consequential = 0;
};

// -----------------------------------------------------------------------------------------------
// The console and its operator

struct Tally
{
    long transactions = 0;
    long faults = 0;
    std::array<long, 4> expected{};
    std::array<long, 4> observed{};
    long mismatches = 0;
};

struct SoakOptions
{
    long tcp = 100000;
    long pty = 10000;
    int programs = 100;
    unsigned seed = 1;
    bool rss = true;
};

class Soak
{
public:
    Soak(const SoakOptions& options, FaultySlave& slave)
        : m_options(options), m_slave(slave), m_plan(options.seed),
          m_console(m_view, m_platform, slave.port())
    {}

    ~Soak()
    {
        m_console.onDestroy();
        m_view.waitWhileProcessingEvents([this] { return m_platform.workers.running() == 0; },
                                         kTransactionLimitMs);
    }

    Soak(const Soak&) = delete;
    Soak& operator=(const Soak&) = delete;

    bool run(std::vector<Sample>& samples);

    const std::array<Tally, kKinds>& tallies() const { return m_tallies; }

    const Plan& plan() const { return m_plan; }

    long done() const { return m_done; }

    // Children started by the console that are still there (or left as zombies) afterwards.
    bool startViewers(int count, const std::filesystem::path& bin, Children& after, int& ran);

private:
    void useTcp()
    {
        m_view.setIndex(ControlId::Port, 0);
        m_console.applyPortRules();
        m_view.setText(ControlId::Address, kLoopback);
        m_view.setText(ControlId::Timeout, "1000");
    }

    void useSerial()
    {
        m_view.setIndex(ControlId::Port, 1);
        m_console.applyPortRules();
        m_view.setIndex(ControlId::Baud, 5);
        m_view.setIndex(ControlId::Parity, 1); // a pty refuses even parity
        m_view.setText(ControlId::Timeout, "1000");
    }

    void dataType(DataType type)
    {
        m_view.setIndex(ControlId::DataType, type);
        m_console.applyDataTypeRules();
    }

    // Ten registers, except for the single-register type, which holds its own count of one.
    void registers(int start, bool ten)
    {
        m_view.setText(ControlId::StartRegister, std::to_string(start));
        m_console.refreshLabels();
        if (ten) {
            m_view.setText(ControlId::RegisterCount, std::to_string(kValueRows));
            m_console.refreshLabels();
        }
    }

    bool block(bool tcp, long count);
    bool readBurst(bool tcp, long count);
    bool writeBurst(bool tcp, long count);
    void judge(Kind kind, const Step& step, Outcome observed, const std::string& detail);

    const SoakOptions& m_options;
    FaultySlave& m_slave;
    Plan m_plan;
    posix::PosixPlatform m_posix{test::testLockDir()};
    Platform m_platform = m_posix.platform();
    test::FakeView m_view;
    CMasterDlg m_console;
    std::array<Tally, kKinds> m_tallies{};
    long m_done = 0;
    long m_burst = 0;     // varies the registers and the data types
    long m_roundLeft = 0; // TCP transactions left in this round
    int m_reported = 0;
};

void Soak::judge(Kind kind, const Step& step, Outcome observed, const std::string& detail)
{
    Tally& t = m_tallies[kind];
    ++t.transactions;
    t.faults += step.fault != NoFault ? 1 : 0;
    ++t.expected[step.expected];
    ++t.observed[observed];
    ++m_done;
    if (observed == step.expected) {
        return;
    }
    ++t.mismatches;
    if (m_reported++ < 20) {
        std::fprintf(stderr,
                     "transaction %ld (%s, fault: %s): expected %s, got %s%s%s\n",
                     m_done,
                     kKindNames[kind],
                     faultName(step.fault),
                     outcomeName(step.expected),
                     outcomeName(observed),
                     detail.empty() ? "" : ": ",
                     detail.c_str());
    }
}

bool Soak::readBurst(bool tcp, long count)
{
    const Kind kind = tcp ? TcpReadKind : PtyReadKind;
    const bool input = m_burst % 2 == 1;
    const int start = static_cast<int>(1 + (m_burst * 37) % 30000);
    dataType(input ? InputRegister : HoldingRegister);
    registers(start, true);
    m_view.setIndex(ControlId::SampleMode, ScheduledWithLogging);
    m_console.onRead();
    for (long i = 0; i < count; ++i) {
        const Step step = m_plan.next(kind, tcp && m_roundLeft <= 2);
        m_roundLeft -= tcp ? 1 : 0;
        m_slave.setFault(step.fault);
        const std::uint32_t errors = m_console.stats().errorCount;
        const std::uint32_t transactions = m_console.stats().transactionCount;
        m_view.clearBoxes();
        m_console.onTimer(CMasterDlg::kScheduleTimer);
        if (!m_view.waitWhileProcessingEvents(
                [this] { return !m_console.busy() && m_platform.workers.running() == 0; },
                kTransactionLimitMs)) {
            std::fprintf(stderr, "transaction %ld did not end in time\n", m_done + 1);
            return false;
        }
        const std::uint32_t counted = m_console.stats().errorCount - errors;
        const std::vector<test::ShownBox> shownBoxes = m_view.boxes();
        const std::size_t boxed = shownBoxes.size();
        Outcome observed = Other;
        std::string detail;
        if (m_console.stats().transactionCount != transactions + 1) {
            detail = "the schedule did not count it";
        } else if (counted == 0 && boxed == 0) {
            // Wire address = register - 1 under Modbus; input registers are 1000 higher.
            const ValueTexts& shown = m_console.settings().m_values;
            observed = Ok;
            for (int k = 0; k < kValueRows; ++k) {
                const std::string want = std::to_string(start - 1 + k + (input ? 1000 : 0));
                if (shown[static_cast<std::size_t>(k)] != want) {
                    observed = Other;
                    detail = "value " + std::to_string(k) + " shows " +
                             shown[static_cast<std::size_t>(k)] + ", not " + want;
                    break;
                }
            }
        } else if (counted == 1 && boxed == 0) {
            observed = Logged;
        } else if (counted == 0 && boxed == 1) {
            observed = Box;
            detail = shownBoxes.back().text;
        } else {
            detail = std::to_string(counted) + " counted, " + std::to_string(boxed) + " boxes";
        }
        judge(kind, step, observed, detail);
    }
    m_console.onStop();
    return true;
}

bool Soak::writeBurst(bool tcp, long count)
{
    const Kind kind = tcp ? TcpWriteKind : PtyWriteKind;
    const bool single = m_burst % 2 == 1;
    dataType(single ? SingleHoldingRegister : HoldingRegister);
    registers(static_cast<int>(1 + (m_burst * 53) % 30000), !single);
    for (int row = 0; row < kValueRows; ++row) {
        m_view.setText(ControlId::Value, std::to_string(m_burst % 1000 + row), row);
    }
    for (long i = 0; i < count; ++i) {
        const Step step = m_plan.next(kind, tcp && m_roundLeft <= 2);
        m_roundLeft -= tcp ? 1 : 0;
        m_slave.setFault(step.fault);
        m_view.clearBoxes();
        m_console.onWrite();
        const std::vector<test::ShownBox> shownBoxes = m_view.boxes();
        const std::size_t boxed = shownBoxes.size();
        const Outcome observed = boxed == 0 ? Ok : boxed == 1 ? Box : Other;
        judge(kind, step, observed, boxed != 0 ? shownBoxes.back().text : std::string());
    }
    return true;
}

// Reads and writes in bursts, on one link.
bool Soak::block(bool tcp, long count)
{
    if (count <= 0) {
        return true;
    }
    if (tcp) {
        useTcp();
        m_roundLeft = count;
    } else {
        useSerial();
    }
    constexpr long kBurst = kReadsPerBurst + kWritesPerBurst;
    for (long at = 0; at < count; at += kBurst) {
        const long reads = std::min(kReadsPerBurst, count - at);
        const long writes = std::min(kWritesPerBurst, count - at - reads);
        if (!readBurst(tcp, reads) || (writes > 0 && !writeBurst(tcp, writes))) {
            return false;
        }
        ++m_burst;
    }
    return true;
}

bool Soak::run(std::vector<Sample>& samples)
{
    if (!m_console.onInitDialog()) {
        std::fprintf(stderr, "the console would not open\n");
        return false;
    }
    const long total = m_options.tcp + m_options.pty;
    // The TCP share of the first x transactions, spread evenly over the run.
    auto tcpBefore = [&](long x) { return total == 0 ? 0 : m_options.tcp * x / total; };
    const auto begin = std::chrono::steady_clock::now();
    for (long from = 0; from < total; from += kRound) {
        const long to = std::min(total, from + kRound);
        const long tcp = tcpBefore(to) - tcpBefore(from);
        if (!block(true, tcp) || !block(false, (to - from) - tcp)) {
            return false;
        }
        const bool first = from < 1000 && to >= 1000;
        const bool tenth = from < 10000 && to >= 10000;
        if (first || tenth || to == total) {
            // The state the samples compare: no worker, the slave holding the one connection.
            for (int waited = 0; waited < 3000 && m_slave.connections() > 1; ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            waitForThreads(kSettledThreads, 3000);
            samples.push_back(sample(to == total ? "end" : std::to_string(to), to));
        }
        if (to % 10000 == 0 || to == total) {
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            std::fprintf(stderr, "%ld/%ld transactions, %.0f s\n", to, total, s);
        }
    }
    return true;
}

bool Soak::startViewers(int count, const std::filesystem::path& bin, Children& after, int& ran)
{
    const std::filesystem::path opened = bin / "opened";
    {
        std::ofstream script(bin / "xdg-open");
        script << "#!/bin/sh\necho \"$1\" >> '" << opened.string() << "'\n";
    }
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    const char* path = std::getenv("PATH");
    const std::string searched = bin.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    setenv("PATH", searched.c_str(), 1);
    for (int i = 0; i < count; ++i) {
        m_console.viewLog();
    }
    // Each child is reaped by a thread of its own once it has exited.
    for (int waited = 0; waited < 10000; waited += 10) {
        after = children();
        if (after.alive == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream lines(opened);
    std::string line;
    ran = 0;
    while (std::getline(lines, line)) {
        ran += line == "Quarin.log" ? 1 : 0;
    }
    return after.zombies == 0 && after.alive == 0 && ran == count;
}

// -----------------------------------------------------------------------------------------------

bool parse(int argc, char** argv, SoakOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool value = i + 1 < argc;
        char* end = nullptr;
        if (arg == "--no-rss") {
            options.rss = false;
            continue;
        }
        if (!value) {
            return false;
        }
        const long n = std::strtol(argv[++i], &end, 10);
        if (*end != '\0' || n < 0) {
            return false;
        }
        if (arg == "--tcp") {
            options.tcp = n;
        } else if (arg == "--pty") {
            options.pty = n;
        } else if (arg == "--programs") {
            options.programs = static_cast<int>(n);
        } else if (arg == "--seed") {
            options.seed = static_cast<unsigned>(n);
        } else {
            return false;
        }
    }
    return true;
}

std::string yesNo(bool met)
{
    return met ? "yes" : "**no**";
}

int soak(const SoakOptions& options)
{
    const Sample before = sample("before start", 0);
    const auto begin = std::chrono::steady_clock::now();
    std::vector<Sample> samples;
    std::array<Tally, kKinds> tallies{};
    long injected = 0;
    long consequential = 0;
    long malformed = 0;
    std::array<long, kFaultKinds> served{};
    bool finished = false;
    bool viewersOk = false;
    Children left;
    int viewersRan = 0;
    double transactionSeconds = 0;
    double viewerSeconds = 0;
    {
        test::TempDir dir;
        test::PtyPair line;
        FaultySlave slave;
        std::string error;
        if (!dir.ok() || !line.open(error) || !line.linkAsCom(dir.path(), 1, error) ||
            !slave.start(line.master(), error)) {
            std::fprintf(stderr, "set-up: %s%s\n", dir.error().c_str(), error.c_str());
            return 2;
        }
        {
            Soak run(options, slave);
            finished = run.run(samples);
            transactionSeconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            tallies = run.tallies();
            injected = run.plan().injected();
            consequential = run.plan().consequential();
            if (finished) {
                const auto viewers = std::chrono::steady_clock::now();
                viewersOk = run.startViewers(options.programs, dir.path(), left, viewersRan);
                waitForThreads(kSettledThreads, 3000);
                samples.push_back(sample("after the viewers", run.done()));
                viewerSeconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - viewers)
                        .count();
            }
        }
        slave.stop();
        malformed = slave.malformed();
        for (int f = 0; f < kFaultKinds; ++f) {
            served[static_cast<std::size_t>(f)] = slave.served(static_cast<Fault>(f));
        }
    }
    waitForThreads(1, 3000);
    const Sample after = sample("after teardown", 0);

    long transactions = 0;
    long mismatches = 0;
    std::printf("## Soak\n\n");
    std::printf("%ld TCP and %ld pty transactions asked for, seed %u; %.1f s of transactions, "
                "%.1f s for %d log viewers.\n\n",
                options.tcp,
                options.pty,
                options.seed,
                transactionSeconds,
                viewerSeconds,
                options.programs);
    Table verdicts({"transactions",
                    "count",
                    "faults injected",
                    "expected ok / logged / box",
                    "observed ok / logged / box / other",
                    "mismatches"});
    for (int k = 0; k < kKinds; ++k) {
        const Tally& t = tallies[static_cast<std::size_t>(k)];
        transactions += t.transactions;
        mismatches += t.mismatches;
        verdicts.row({kKindNames[k],
                      std::to_string(t.transactions),
                      std::to_string(t.faults),
                      std::to_string(t.expected[Ok]) + " / " + std::to_string(t.expected[Logged]) +
                          " / " + std::to_string(t.expected[Box]),
                      std::to_string(t.observed[Ok]) + " / " + std::to_string(t.observed[Logged]) +
                          " / " + std::to_string(t.observed[Box]) + " / " +
                          std::to_string(t.observed[Other]),
                      std::to_string(t.mismatches)});
    }
    verdicts.print();
    std::printf("Faults injected: %ld of %ld (%.2f %%); TCP transactions failed because the slave "
                "had closed the connection: %ld. Replies the slave sent, by fault:",
                injected,
                transactions,
                transactions > 0
                    ? 100.0 * static_cast<double>(injected) / static_cast<double>(transactions)
                    : 0.0,
                consequential);
    for (int f = 0; f < kFaultKinds; ++f) {
        std::printf("%s %s %ld",
                    f == 0 ? "" : ",",
                    faultName(static_cast<Fault>(f)),
                    served[static_cast<std::size_t>(f)]);
    }
    std::printf("; requests it could not parse: %ld.\n\n", malformed);

    Table figures({"point", "transactions", "descriptors", "threads", "RSS KiB"});
    for (const Sample& s : {before}) {
        figures.row({s.point,
                     "-",
                     std::to_string(s.descriptors),
                     std::to_string(s.threads),
                     std::to_string(s.rssKiB)});
    }
    for (const Sample& s : samples) {
        figures.row({s.point,
                     std::to_string(s.transactions),
                     std::to_string(s.descriptors),
                     std::to_string(s.threads),
                     std::to_string(s.rssKiB)});
    }
    figures.row({after.point,
                 "-",
                 std::to_string(after.descriptors),
                 std::to_string(after.threads),
                 std::to_string(after.rssKiB)});
    figures.print();

    auto at = [&](const std::string& point) -> const Sample* {
        for (const Sample& s : samples) {
            if (s.point == point) {
                return &s;
            }
        }
        return nullptr;
    };
    const Sample* first = at("1000");
    const Sample* tenth = at("10000");
    const Sample* last = at("end");
    const Sample* viewers = at("after the viewers");
    Table checks({"check", "measured", "met"});
    bool pass = finished && mismatches == 0 && malformed == 0;
    checks.row({"every transaction as planned",
                std::to_string(transactions) + " run, " + std::to_string(mismatches) +
                    " not as planned" + (finished ? "" : ", run cut short"),
                yesNo(finished && mismatches == 0)});
    if (first != nullptr && last != nullptr) {
        const bool met = first->descriptors == last->descriptors;
        checks.row({"descriptors at 1,000 = at the end",
                    std::to_string(first->descriptors) + " / " + std::to_string(last->descriptors),
                    yesNo(met)});
        pass = pass && met;
    } else {
        checks.row({"descriptors at 1,000 = at the end", "fewer than 1,000 run", "-"});
    }
    if (!samples.empty()) {
        int low = samples.front().threads;
        int high = low;
        for (const Sample& s : samples) {
            low = std::min(low, s.threads);
            high = std::max(high, s.threads);
        }
        checks.row({"threads constant",
                    std::to_string(low) + " .. " + std::to_string(high),
                    yesNo(low == high)});
        pass = pass && low == high;
    }
    if (tenth != nullptr && last != nullptr && tenth != last) {
        const long growth = last->rssKiB - tenth->rssKiB;
        const bool met = growth <= kRssLimitKiB;
        checks.row({"RSS growth 10,000 → end <= 1024 KiB",
                    std::to_string(growth) + " KiB" + (options.rss ? "" : " (not judged)"),
                    options.rss ? yesNo(met) : "-"});
        pass = pass && (met || !options.rss);
    } else {
        checks.row({"RSS growth 10,000 → end <= 1024 KiB", "fewer than 10,000 run", "-"});
    }
    if (viewers != nullptr) {
        checks.row({"log viewers started, none left a zombie",
                    std::to_string(viewersRan) + " of " + std::to_string(options.programs) +
                        " ran; children left " + std::to_string(left.alive) + ", zombies " +
                        std::to_string(left.zombies),
                    yesNo(viewersOk)});
        pass = pass && viewersOk;
    }
    const bool clean = after.descriptors == before.descriptors;
    checks.row({"descriptors after teardown = before start",
                std::to_string(after.descriptors) + " / " + std::to_string(before.descriptors),
                yesNo(clean)});
    pass = pass && clean;
    checks.row({"verdict", pass ? "pass" : "fail", yesNo(pass)});
    checks.print();
    return pass ? 0 : 1;
}

} // namespace
} // namespace quarin::bench

int main(int argc, char** argv)
{
    quarin::bench::SoakOptions options;
    if (!quarin::bench::parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--tcp N] [--pty M] [--programs K] [--seed S] [--no-rss]\n",
                     argv[0]);
        return 2;
    }
    return quarin::bench::soak(options);
}
