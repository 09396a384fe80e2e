// The program itself, watched from outside: Quarin started offscreen with a probe preloaded (see
// window_probe.cpp), beside a bare Qt dialog program of the same size, started in turn. Start to
// window shown, resident memory after start, CPU and wake-ups while idle with no schedule (both
// idle at once), and memory again after a long schedule against a libmodbus slave at port 502 of
// a loopback address of its own.

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_common.h"
#include "modbus_slave.h"
#include "support/peer_process.h"
#include "support/temp_dir.h"

namespace quarin::bench {
namespace {

using std::chrono::milliseconds;
using test::PeerProcess;

constexpr auto kPatience = milliseconds(30000);

struct Memory
{
    double rssMb = 0;
    double anonMb = 0;
    double pssMb = 0;
};

long fieldKb(const std::string& file, const std::string& key)
{
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) {
            return std::atol(line.c_str() + key.size());
        }
    }
    return 0;
}

Memory memoryOf(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    return {static_cast<double>(fieldKb(proc + "/status", "VmRSS:")) / 1024.0,
            static_cast<double>(fieldKb(proc + "/status", "RssAnon:")) / 1024.0,
            static_cast<double>(fieldKb(proc + "/smaps_rollup", "Pss:")) / 1024.0};
}

struct Task
{
    std::string name;
    std::int64_t runNs = 0; // time on a CPU
    long runs = 0;          // times it was put on a CPU: its wake-ups, near enough
};

// Every thread of the process, by thread id; read without waking it.
std::map<int, Task> tasksOf(pid_t pid)
{
    std::map<int, Task> tasks;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return tasks;
    }
    while (dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        Task task;
        std::ifstream(dir + "/" + entry->d_name + "/comm") >> task.name;
        std::int64_t waitedNs = 0;
        std::ifstream(dir + "/" + entry->d_name + "/schedstat") >> task.runNs >> waitedNs >>
            task.runs;
        tasks[std::atoi(entry->d_name)] = task;
    }
    closedir(listing);
    return tasks;
}

struct Usage
{
    double cpuMs = 0;
    long wakeups = 0;
    std::string perThread; // the threads that ran at all
};

Usage usageBetween(const std::map<int, Task>& before, const std::map<int, Task>& after)
{
    Usage usage;
    for (const auto& [tid, task] : after) {
        const auto was = before.find(tid);
        const Task base = was == before.end() ? Task{} : was->second;
        const double ms = static_cast<double>(task.runNs - base.runNs) / 1e6;
        const long runs = task.runs - base.runs;
        usage.cpuMs += ms;
        usage.wakeups += runs;
        if (runs > 0) {
            usage.perThread += (usage.perThread.empty() ? "" : ", ") + task.name + " " +
                               std::to_string(runs) + "×";
        }
    }
    if (usage.perThread.empty()) {
        usage.perThread = "none";
    }
    return usage;
}

std::optional<std::int64_t> stampOf(PeerProcess& program, const std::string& word)
{
    const std::optional<std::string> line = program.waitForLine(word + " ", kPatience);
    if (!line) {
        return std::nullopt;
    }
    return std::atoll(line->c_str() + word.size() + 1);
}

// The probe's count of timer events by receiving class since the last asking, or "none".
std::string timerEvents(PeerProcess& program)
{
    const std::string line = program.waitForLine("TIMERS", kPatience).value_or("TIMERS ?");
    return line.size() > 7 ? line.substr(7) : "none";
}

// Timer events of the console's own timers; the toolkit's own (its pixmap cache, say) are not.
bool ownTimerEvents(const std::string& events)
{
    return events.find("QTimer=") != std::string::npos || events == "?";
}

struct Start
{
    double appMs = 0;
    double shownMs = 0;
    double paintedMs = 0;
    int width = 0;
    int height = 0;
    Memory memory;
};

// Started, shown, settled; left running.
std::optional<Start> startProgram(PeerProcess& program, const std::vector<std::string>& argv)
{
    const std::int64_t begin = nowNs();
    if (!program.start(argv)) {
        std::fprintf(stderr, "%s: %s\n", argv[0].c_str(), program.error().c_str());
        return std::nullopt;
    }
    const std::optional<std::int64_t> app = stampOf(program, "APP");
    const std::optional<std::string> shown = program.waitForLine("SHOWN ", kPatience);
    const std::optional<std::int64_t> painted = stampOf(program, "PAINTED");
    if (!app || !shown || !painted) {
        std::fprintf(stderr, "%s: no window\n", argv[0].c_str());
        return std::nullopt;
    }
    Start start;
    std::istringstream fields(shown->substr(6));
    std::int64_t shownNs = 0;
    fields >> shownNs >> start.width >> start.height;
    start.appMs = static_cast<double>(*app - begin) / 1e6;
    start.shownMs = static_cast<double>(shownNs - begin) / 1e6;
    start.paintedMs = static_cast<double>(*painted - begin) / 1e6;
    std::this_thread::sleep_for(milliseconds(1000));
    start.memory = memoryOf(program.pid());
    return start;
}

void closeProgram(PeerProcess& program)
{
    program.sendLine("CLOSE");
    program.stop(milliseconds(5000));
}

struct Runs
{
    std::vector<double> app, shown, painted, rss, anon, pss;

    void add(const Start& s)
    {
        app.push_back(s.appMs);
        shown.push_back(s.shownMs);
        painted.push_back(s.paintedMs);
        rss.push_back(s.memory.rssMb);
        anon.push_back(s.memory.anonMb);
        pss.push_back(s.memory.pssMb);
    }
};

// A loopback address nobody else here uses, so the slave can have port 502 to itself.
std::string ownLoopbackAddress()
{
    const auto pid = static_cast<unsigned>(getpid());
    return "127.64." + std::to_string((pid >> 8) & 0xFF) + "." + std::to_string((pid & 0xFF) | 1);
}

int run(const Options& options, const std::vector<std::string>& rest)
{
    const int starts = options.quick ? 3 : 5;
    const int idleS = options.quick ? 10 : 60;
    long reads = options.quick ? 10000 : 100000;
    if (!rest.empty()) {
        reads = std::atol(rest[0].c_str());
    }

    test::TempDir dir;
    if (!dir.ok()) {
        std::fprintf(stderr, "%s\n", dir.error().c_str());
        return 1;
    }
    const std::string runtime = (dir.path() / "runtime").string();
    mkdir(runtime.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("QUARIN_BENCH_PROBE", "1", 1);
    setenv("LD_PRELOAD", QUARIN_PROBE, 1);

    Runs quarin;
    Runs bare;
    PeerProcess quarinProgram;
    PeerProcess bareProgram;
    std::string size[2];
    for (int i = 0; i < starts; ++i) {
        const bool last = i + 1 == starts;
        const std::optional<Start> q = startProgram(quarinProgram, {QUARIN_PROGRAM});
        if (!q) {
            return 1;
        }
        quarin.add(*q);
        size[0] = std::to_string(q->width);
        size[1] = std::to_string(q->height);
        if (!last) {
            closeProgram(quarinProgram);
        }
        const std::optional<Start> b =
            startProgram(bareProgram, {QUARIN_BARE_DIALOG, size[0], size[1]});
        if (!b) {
            return 1;
        }
        bare.add(*b);
        if (!last) {
            closeProgram(bareProgram);
        }
    }

    std::printf("## The program\n\n");
    std::printf("Quarin (QT_QPA_PLATFORM=offscreen, fresh folder, no Quarin.ini) against a bare "
                "Qt program showing one empty %s×%s dialog, started in turn, %d times each. "
                "Times from the spawn; memory 1 s after the first paint. Both carry the probe "
                "that reports these moments.\n\n",
                size[0].c_str(),
                size[1].c_str(),
                starts);
    Table table({"program",
                 "to application object ms",
                 "to window shown ms",
                 "to first paint ms",
                 "shown, slowest ms",
                 "RSS MB",
                 "anonymous MB",
                 "PSS MB"});
    for (const auto& [name, runs] : {std::pair<const char*, Runs*>{"Quarin", &quarin},
                                     std::pair<const char*, Runs*>{"bare dialog", &bare}}) {
        table.row({name,
                   fixed(summarize(runs->app).median, 1),
                   fixed(summarize(runs->shown).median, 1),
                   fixed(summarize(runs->painted).median, 1),
                   fixed(summarize(runs->shown).max, 1),
                   fixed(summarize(runs->rss).median, 1),
                   fixed(summarize(runs->anon).median, 1),
                   fixed(summarize(runs->pss).median, 1)});
    }
    table.print();

    // Idle, both at once: no schedule, nobody touching them.
    quarinProgram.sendLine("TIMERS");
    bareProgram.sendLine("TIMERS");
    quarinProgram.waitForLine("TIMERS", kPatience);
    bareProgram.waitForLine("TIMERS", kPatience);
    std::this_thread::sleep_for(milliseconds(200));
    const auto quarinBefore = tasksOf(quarinProgram.pid());
    const auto bareBefore = tasksOf(bareProgram.pid());
    std::this_thread::sleep_for(std::chrono::seconds(idleS));
    const Usage quarinIdle = usageBetween(quarinBefore, tasksOf(quarinProgram.pid()));
    const Usage bareIdle = usageBetween(bareBefore, tasksOf(bareProgram.pid()));
    quarinProgram.sendLine("TIMERS");
    bareProgram.sendLine("TIMERS");
    const std::string quarinTimers = timerEvents(quarinProgram);
    const std::string bareTimers = timerEvents(bareProgram);
    closeProgram(bareProgram);

    std::printf("### Idle for %d s with no schedule\n\n", idleS);
    std::printf("Both programs side by side, read from /proc without waking them: CPU time and "
                "the times a thread was put on a CPU (its wake-ups), and the timer events the "
                "toolkit delivered.\n\n");
    Table idle({"program", "CPU ms", "wake-ups", "per thread", "timer events"});
    idle.row({"Quarin",
              fixed(quarinIdle.cpuMs, 3),
              std::to_string(quarinIdle.wakeups),
              quarinIdle.perThread,
              quarinTimers});
    idle.row({"bare dialog",
              fixed(bareIdle.cpuMs, 3),
              std::to_string(bareIdle.wakeups),
              bareIdle.perThread,
              bareTimers});
    idle.print();

    Targets targets(options);
    // The toolkit may wake once for its own house-keeping; a wake-up a second would be a timer.
    const long allowance = bareIdle.wakeups + 2;
    targets.add("Idle " + std::to_string(idleS) + " s: wake-ups of Quarin (bare dialog)",
                std::to_string(quarinIdle.wakeups) + " (" + std::to_string(bareIdle.wakeups) +
                    "), timer events: " + quarinTimers,
                "no timer of its own, ≤ " + std::to_string(allowance) + " wake-ups",
                !ownTimerEvents(quarinTimers) && quarinIdle.wakeups <= allowance);

    // A long schedule, then memory again.
    const std::string address = ownLoopbackAddress();
    std::string error;
    const std::unique_ptr<ModbusSlave> slave = ModbusSlave::tcp(address, 502, -1, error);
    bool ok = true;
    if (!slave) {
        std::printf("### After %ld scheduled reads\n\nNot measured: the slave could not listen "
                    "(%s); port 502 needs root or net.ipv4.ip_unprivileged_port_start.\n\n",
                    reads,
                    error.c_str());
    } else {
        const auto before = tasksOf(quarinProgram.pid());
        quarinProgram.sendLine("SCHEDULE " + address + " " + std::to_string(reads));
        const std::optional<std::string> done =
            quarinProgram.waitForLine("SCHEDULED ", milliseconds(60000 + reads * 20));
        const Usage usage = usageBetween(before, tasksOf(quarinProgram.pid()));
        long transactions = 0;
        long errors = -1;
        std::int64_t from = 0;
        std::int64_t to = 0;
        if (done) {
            std::istringstream(done->substr(10)) >> transactions >> errors >> from >> to;
        }
        std::this_thread::sleep_for(milliseconds(1000));
        const Memory after = memoryOf(quarinProgram.pid());
        const Memory atStart = {quarin.rss.back(), quarin.anon.back(), quarin.pss.back()};
        const double seconds = static_cast<double>(to - from) / 1e9;
        std::printf("### After %ld scheduled reads\n\n", transactions);
        std::printf("Scheduled with Logging at 1 ms, set up and started through the window's "
                    "own controls, against a libmodbus slave at %s:502 (the program's port). "
                    "Memory of the same process as at its start above.\n\n",
                    address.c_str());
        Table schedule({"reads",
                        "errors",
                        "seconds",
                        "per second",
                        "CPU µs per read",
                        "RSS MB at start → after",
                        "anonymous MB",
                        "PSS MB"});
        schedule.row(
            {std::to_string(transactions),
             std::to_string(errors),
             fixed(seconds, 1),
             fixed(static_cast<double>(transactions) / seconds, 0),
             fixed(usage.cpuMs * 1000.0 / static_cast<double>(std::max(1L, transactions)), 0),
             fixed(atStart.rssMb, 1) + " → " + fixed(after.rssMb, 1),
             fixed(atStart.anonMb, 1) + " → " + fixed(after.anonMb, 1),
             fixed(atStart.pssMb, 1) + " → " + fixed(after.pssMb, 1)});
        schedule.print();
        ok = done.has_value() && errors == 0 && transactions >= reads;
        targets.add("After " + std::to_string(transactions) + " scheduled reads: RSS growth",
                    fixed(after.rssMb - atStart.rssMb, 1) + " MB",
                    "none that keeps growing (report)",
                    ok);
    }
    closeProgram(quarinProgram);
    targets.print();
    return ok ? 0 : 1;
}

} // namespace
} // namespace quarin::bench

int main(int argc, char** argv)
{
    using namespace quarin::bench;
    Options options;
    std::vector<std::string> rest;
    if (!parseOptions(argc, argv, options, rest, false) || rest.size() > 1) {
        std::fprintf(stderr, "usage: bench_program [--quick] [--targets FILE] [reads]\n");
        return 2;
    }
    return run(options, rest);
}
