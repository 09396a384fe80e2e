// The schedule as the operator runs it: "Scheduled with Logging (Automated)" at a 1 ms sample
// rate, in the real window (offscreen), against a libmodbus slave on loopback. Side by side, in
// alternating slices: the schedule as it is, a worker thread per transaction, and the same
// schedule with the transaction run inline on the window's thread, the bound a worker can only
// approach. Then the time the window shows against the slave's own time for each exchange, and the
// cycle of a serial schedule over a pty: exchange, 25 ms pause and what it costs beyond both.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>

#include "bench_common.h"
#include "console/master_dlg.h"
#include "modbus_slave.h"
#include "platform/posix/platform.h"
#include "platform/qt/console_dialog.h"
#include "platform/qt/timing_window.h"
#include "recording_clock.h"
#include "support/lock_dir.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace quarin::bench {
namespace {

constexpr char kLoopback[] = "127.0.0.1";
constexpr int kSlowReplyUs = 5000;

// Counts the ticks: every tick starts the schedule's timer again, and so does Read, once.
class CountingDialog : public qt::ConsoleDialog
{
public:
    void startTimer(int id, int periodMs) override
    {
        if (id == CMasterDlg::kScheduleTimer) {
            ++scheduleStarts;
            startedNs.push_back(nowNs());
        }
        ConsoleDialog::startTimer(id, periodMs);
    }

    // Window's thread.
    long scheduleStarts = 0;
    std::vector<std::int64_t> startedNs; // Read's start, then every tick's
};

// Counts the window's paint passes: one update request for each, the requests that come while a
// pass waits for its frame being served by that one.
class RepaintCounter : public QObject
{
public:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override
    {
        if (event->type() == QEvent::UpdateRequest) {
            ++repaints;
        }
        return false;
    }

    long repaints = 0;
};

RepaintCounter* g_repaints = nullptr;

QtMessageHandler g_previousHandler = nullptr;

// The offscreen platform says so for every window shown; nothing to see.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QStringLiteral("propagateSizeHints"))) {
        return;
    }
    if (g_previousHandler != nullptr) {
        g_previousHandler(type, context, message);
    }
}

// The bound: the transaction runs inside the tick, on the window's thread.
class InlineWorkers : public WorkerStarter
{
public:
    void start(std::function<void()> body) override
    {
        if (body) {
            body();
        }
    }

    int running() const override { return 0; }
};

struct Slice
{
    double seconds = 0;
    long transactions = 0;
    long errors = 0;
    long ticks = 0;
    long repaints = 0;
    std::size_t firstStamp = 0; // readings of the console's clock before and after the slice
    std::size_t endStamp = 0;
};

struct Console
{
    // Without workers of its own, the console runs its transactions inline.
    Console(std::string label, bool inlineWorkers, std::uint16_t tcpPort)
        : name(std::move(label)), base(posix.platform()),
          clock(base.clock), platform{base.serial,
                                      base.sockets,
                                      clock,
                                      inlineWorkers ? static_cast<WorkerStarter&>(inlined)
                                                    : base.workers,
                                      base.files,
                                      base.programs,
                                      base.halt},
          console(dialog, platform, tcpPort)
    {
        dialog.attach(&console);
        console.onInitDialog();
        dialog.show();
    }

    ~Console() { dialog.finish(); }

    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    template <typename Widget> Widget* widget(ControlId id)
    {
        return qobject_cast<Widget*>(dialog.widget(id));
    }

    // What the operator types and picks before Read.
    void setUp(int port, const std::string& address)
    {
        widget<QComboBox>(ControlId::Port)->setCurrentIndex(port);
        if (port == 0) {
            widget<QLineEdit>(ControlId::Address)->setText(QString::fromLatin1(address.c_str()));
        } else {
            widget<QComboBox>(ControlId::Baud)->setCurrentIndex(5);   // 38400
            widget<QComboBox>(ControlId::Parity)->setCurrentIndex(1); // None: a pty refuses Even
            widget<QLineEdit>(ControlId::Timeout)->setText(QStringLiteral("1000"));
        }
        widget<QLineEdit>(ControlId::StartRegister)->setText(QStringLiteral("101"));
        widget<QComboBox>(ControlId::SampleMode)->setCurrentIndex(ScheduledWithLogging);
        widget<QLineEdit>(ControlId::SampleRate)->setText(QStringLiteral("1"));
    }

    Slice run(int ms)
    {
        Slice slice;
        dialog.scheduleStarts = 0;
        const long repaintsBefore = g_repaints->repaints;
        slice.firstStamp = clock.readings().size();
        const std::int64_t begin = nowNs();
        widget<QAbstractButton>(ControlId::ReadButton)->click();
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
        widget<QAbstractButton>(ControlId::StopButton)->click();
        const std::int64_t end = nowNs();
        dialog.waitWhileProcessingEvents([this] { return !console.busy(); }, 10000);
        slice.seconds = static_cast<double>(end - begin) / 1e9;
        slice.transactions = console.stats().transactionCount;
        slice.errors = console.stats().errorCount;
        slice.ticks = dialog.scheduleStarts - 1;
        slice.repaints = g_repaints->repaints - repaintsBefore;
        slice.endStamp = clock.readings().size();
        slices.push_back(slice);
        return slice;
    }

    std::string name;
    // Adapters of its own: the end of one window halts them, and only them.
    posix::PosixPlatform posix{test::testLockDir()};
    Platform base;
    InlineWorkers inlined;
    RecordingClock clock;
    Platform platform;
    CountingDialog dialog;
    CMasterDlg console;
    std::vector<Slice> slices;
    int channel = -1; // of the slave
};

std::string cpuText(const Options& options)
{
    if (options.cpu < 0 && options.slaveCpu < 0) {
        return "no thread pinned";
    }
    return "window thread and workers on CPU " +
           (options.cpu < 0 ? std::string("any") : std::to_string(options.cpu)) +
           ", slave on CPU " +
           (options.slaveCpu < 0 ? std::string("any") : std::to_string(options.slaveCpu));
}

struct Totals
{
    double seconds = 0;
    long transactions = 0;
    long errors = 0;
    long ticks = 0;
    long repaints = 0;
    std::vector<double> sliceRates;
    std::vector<double> cycleMs;    // from one transaction's start stamp to the next one's
    std::vector<double> exchangeMs; // start stamp to end stamp
};

Totals totals(const Console& c)
{
    Totals t;
    const std::vector<RecordingClock::Reading> stamps = c.clock.readings();
    for (const Slice& s : c.slices) {
        t.seconds += s.seconds;
        t.transactions += s.transactions;
        t.errors += s.errors;
        t.ticks += s.ticks;
        t.repaints += s.repaints;
        t.sliceRates.push_back(static_cast<double>(s.transactions) / s.seconds);
        for (std::size_t k = s.firstStamp; k + 1 < s.endStamp; k += 2) {
            t.exchangeMs.push_back(static_cast<double>(stamps[k + 1].ns - stamps[k].ns) / 1e6);
            if (k + 2 < s.endStamp) {
                t.cycleMs.push_back(static_cast<double>(stamps[k + 2].ns - stamps[k].ns) / 1e6);
            }
        }
    }
    return t;
}

struct ShownCheck
{
    bool paired = false;
    std::size_t n = 0;
    double slaveMedianMs = 0;
    double shownMedianMs = 0;
    std::size_t within = 0; // |shown - slave| <= 1 ms
    double worstMs = 0;
    bool windowAgrees = false; // "Transaction Time in ms:" shows the last one worked out here
};

// The console's stamps pair up, start and end, one pair per transaction, in the order of the
// slave's exchanges on the console's connection.
ShownCheck checkShownTimes(Console& c, const ModbusSlave& slave)
{
    ShownCheck check;
    const std::vector<RecordingClock::Reading> stamps = c.clock.readings();
    const std::vector<SlaveExchange> exchanges = slave.exchanges(c.channel);
    if (stamps.size() % 2 != 0 || stamps.size() / 2 != exchanges.size() || exchanges.empty()) {
        std::fprintf(stderr,
                     "%s: %zu stamps against %zu slave exchanges\n",
                     c.name.c_str(),
                     stamps.size(),
                     exchanges.size());
        return check;
    }
    check.paired = true;
    std::vector<double> slaveMs;
    std::vector<double> shown;
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
        const double s = static_cast<double>(exchanges[i].repliedNs - exchanges[i].arrivedNs) / 1e6;
        const double q = shownMs(stamps[2 * i].stamp, stamps[2 * i + 1].stamp);
        slaveMs.push_back(s);
        shown.push_back(q);
        const double off = std::fabs(q - s);
        check.within += off <= 1.0 ? 1 : 0;
        check.worstMs = std::max(check.worstMs, off);
    }
    check.n = exchanges.size();
    check.slaveMedianMs = summarize(slaveMs).median;
    check.shownMedianMs = summarize(shown).median;
    const std::string last = std::to_string(static_cast<long>(shown.back()));
    check.windowAgrees = c.dialog.text(ControlId::TransactionTime) == last;
    return check;
}

// The slave the start makes, or none with the reason on stderr.
template <typename Start> std::unique_ptr<ModbusSlave> started(Start start)
{
    std::string error;
    std::unique_ptr<ModbusSlave> slave = start(error);
    if (!slave) {
        std::fprintf(stderr, "slave: %s\n", error.c_str());
    }
    return slave;
}

bool tcpSchedule(const Options& options, Targets& targets)
{
    const int slices = options.quick ? 3 : 5;
    const int sliceMs = options.quick ? 1000 : 2000;
    const std::unique_ptr<ModbusSlave> slave = started([&](std::string& error) {
        return ModbusSlave::tcp(kLoopback, 0, options.slaveCpu, error);
    });
    if (!slave) {
        return false;
    }
    Console threaded("worker thread per transaction", false, slave->port());
    Console inlined("inline on the window's thread (bound)", true, slave->port());
    Console slow("worker thread, slave replying after 5 ms", false, slave->port());
    for (Console* c : {&threaded, &inlined, &slow}) {
        c->setUp(0, kLoopback);
    }

    // Connections are accepted in the order the consoles first read.
    threaded.channel = 0;
    inlined.channel = 1;
    slow.channel = 2;
    for (int i = 0; i < slices; ++i) {
        threaded.run(sliceMs);
        inlined.run(sliceMs);
    }
    slave->setReplyDelayUs(kSlowReplyUs);
    slow.run(options.quick ? 1000 : 3000);
    slave->setReplyDelayUs(0);

    std::printf("## Scheduled with Logging at a 1 ms sample rate, TCP loopback\n\n");
    std::printf("The real window, offscreen; Read and Stop clicked as the operator would. %d "
                "slices of %d ms for each of the first two, alternating; %s. A tick is lost when "
                "it finds the last transaction "
                "still running; the nominal rate is one tick per millisecond.\n\n",
                slices,
                sliceMs,
                cpuText(options).c_str());
    Table table({"schedule",
                 "seconds",
                 "transactions",
                 "per second",
                 "slice median /s",
                 "ticks /s",
                 "ticks lost",
                 "cycle median ms",
                 "cycle p99 ms",
                 "repaints per transaction",
                 "errors"});
    Totals t[3];
    Console* consoles[] = {&threaded, &inlined, &slow};
    for (int i = 0; i < 3; ++i) {
        t[i] = totals(*consoles[i]);
        const Summary cycle = summarize(t[i].cycleMs);
        table.row({consoles[i]->name,
                   fixed(t[i].seconds, 1),
                   std::to_string(t[i].transactions),
                   fixed(static_cast<double>(t[i].transactions) / t[i].seconds, 0),
                   fixed(summarize(t[i].sliceRates).median, 0),
                   fixed(static_cast<double>(t[i].ticks) / t[i].seconds, 0),
                   std::to_string(t[i].ticks - t[i].transactions),
                   fixed(cycle.median, 3),
                   fixed(cycle.p99, 3),
                   fixed(static_cast<double>(t[i].repaints) /
                             static_cast<double>(std::max(1L, t[i].transactions)),
                         2),
                   std::to_string(t[i].errors)});
    }
    table.print();
    const double rate = static_cast<double>(t[0].transactions) / t[0].seconds;
    const double bound = static_cast<double>(t[1].transactions) / t[1].seconds;
    targets.add("Schedule at 1 ms: worker-thread rate ÷ inline bound",
                fixed(rate / bound, 2) + " (" + fixed(rate, 0) + " vs " + fixed(bound, 0) + " /s)",
                "≥ 0.95",
                rate >= 0.95 * bound);
    const double repaints =
        static_cast<double>(t[0].repaints) / static_cast<double>(std::max(1L, t[0].transactions));
    targets.add("Schedule at 1 ms: repaints per transaction (worker thread)",
                fixed(repaints, 2),
                "≤ 1",
                repaints <= 1.0);

    std::printf("### The time shown against the slave's\n\n");
    std::printf("For every transaction, \"Transaction Time in ms:\" (worked out from the "
                "console's own two stamps, as the console does; the last one checked against "
                "the window) against the slave's time from the request's arrival to its reply "
                "written.\n\n");
    Table shownTable({"schedule",
                      "transactions",
                      "slave median ms",
                      "shown median ms",
                      "within 1 ms",
                      "worst difference ms",
                      "window shows the last"});
    bool ok = true;
    for (Console* c : consoles) {
        const ShownCheck check = checkShownTimes(*c, *slave);
        if (!check.paired) {
            ok = false;
            continue;
        }
        const double share =
            100.0 * static_cast<double>(check.within) / static_cast<double>(check.n);
        shownTable.row({c->name,
                        std::to_string(check.n),
                        fixed(check.slaveMedianMs, 3),
                        fixed(check.shownMedianMs, 0),
                        fixed(share, 2) + " %",
                        fixed(check.worstMs, 3),
                        check.windowAgrees ? "yes" : "no"});
        targets.add("Shown time within 1 ms of the slave's (" + c->name + ")",
                    fixed(share, 2) + " % of " + std::to_string(check.n) + ", worst " +
                        fixed(check.worstMs, 2) + " ms",
                    "≥ 99 % of transactions",
                    share >= 99.0 && check.windowAgrees);
    }
    shownTable.print();
    return ok && t[0].errors == 0 && t[1].errors == 0 && t[2].errors == 0;
}

// The same schedule with the timing window open and closed, slice by slice, on one console and
// one connection: what drawing the run live costs the schedule.
bool timingSchedule(const Options& options, Targets& targets)
{
    const int pairs = options.quick ? 3 : 6;
    const int sliceMs = options.quick ? 1000 : 2000;
    const std::unique_ptr<ModbusSlave> slave = started([&](std::string& error) {
        return ModbusSlave::tcp(kLoopback, 0, options.slaveCpu, error);
    });
    if (!slave) {
        return false;
    }
    Console c("timing window", false, slave->port());
    c.setUp(0, kLoopback);
    c.dialog.showTimingWindow(c.console.runRecord());
    qt::TimingWindow* window = c.dialog.timingWindow();
    std::vector<double> open;
    std::vector<double> closed;
    long transactions[2] = {0, 0};
    double seconds[2] = {0, 0};
    int redraws = 0;
    // One run throughout, so the window draws a record that grows to a full ring.
    c.widget<QAbstractButton>(ControlId::ReadButton)->click();
    for (int i = 0; i < 2 * pairs; ++i) {
        // Alternating, and each pair in turn starts the other way round, so a change of the
        // machine's load falls on both.
        const bool withWindow = (i % 2 == 0) == (i / 2 % 2 == 0);
        window->setVisible(withWindow);
        const int redrawsBefore = window->redraws();
        const long before = c.console.stats().transactionCount;
        const std::int64_t begin = nowNs();
        QEventLoop loop;
        QTimer::singleShot(sliceMs, &loop, &QEventLoop::quit);
        loop.exec();
        const double slice = static_cast<double>(nowNs() - begin) / 1e9;
        const long done = c.console.stats().transactionCount - before;
        if (withWindow) {
            redraws += window->redraws() - redrawsBefore;
        }
        (withWindow ? open : closed).push_back(static_cast<double>(done) / slice);
        transactions[withWindow ? 1 : 0] += done;
        seconds[withWindow ? 1 : 0] += slice;
    }
    c.widget<QAbstractButton>(ControlId::StopButton)->click();
    c.dialog.waitWhileProcessingEvents([&c] { return !c.console.busy(); }, 10000);
    const long errors = c.console.stats().errorCount;
    const std::size_t kept = c.console.runRecord().size();
    window->hide();
    const double closedRate = static_cast<double>(transactions[0]) / seconds[0];
    const double openRate = static_cast<double>(transactions[1]) / seconds[1];

    std::printf("## The timing window at a 1 ms schedule\n\n");
    std::printf("Scheduled with Logging at 1 ms against the libmodbus slave on loopback, one "
                "console and one run; %d slices of %d ms with the timing window (Ctrl+G) open and "
                "as many with it closed, alternating; %s. At the end the run record kept %zu "
                "transactions.\n\n",
                pairs,
                sliceMs,
                cpuText(options).c_str(),
                kept);
    Table table({"timing window",
                 "seconds",
                 "transactions",
                 "per second",
                 "slice median /s",
                 "slice min /s",
                 "slice max /s",
                 "redraws /s"});
    const Summary closedSlices = summarize(closed);
    const Summary openSlices = summarize(open);
    table.row({"closed",
               fixed(seconds[0], 1),
               std::to_string(transactions[0]),
               fixed(closedRate, 0),
               fixed(closedSlices.median, 0),
               fixed(closedSlices.min, 0),
               fixed(closedSlices.max, 0),
               "-"});
    table.row({"open",
               fixed(seconds[1], 1),
               std::to_string(transactions[1]),
               fixed(openRate, 0),
               fixed(openSlices.median, 0),
               fixed(openSlices.min, 0),
               fixed(openSlices.max, 0),
               fixed(static_cast<double>(redraws) / seconds[1], 1)});
    table.print();
    targets.add("Schedule at 1 ms: rate with the timing window open ÷ closed",
                fixed(openRate / closedRate, 3) + " (" + fixed(openRate, 0) + " vs " +
                    fixed(closedRate, 0) + " /s)",
                "≥ 0.95",
                openRate >= 0.95 * closedRate);
    return errors == 0;
}

bool serialSchedule(const Options& options, Targets& targets)
{
    test::PtyPair line;
    std::string error;
    if (!line.open(error) || !line.linkAsCom(".", 1, error)) {
        std::fprintf(stderr, "pty: %s\n", error.c_str());
        return false;
    }
    const std::unique_ptr<ModbusSlave> slave = started(
        [&](std::string& why) { return ModbusSlave::rtu({line.master()}, options.slaveCpu, why); });
    if (!slave) {
        return false;
    }
    Console serial("serial, worker thread per transaction", false, 502);
    serial.setUp(1, {});
    serial.channel = 0;
    const Slice slice = serial.run(options.quick ? 2000 : 6000);

    const std::vector<RecordingClock::Reading> stamps = serial.clock.readings();
    const std::vector<RecordingClock::Pause> pauses = serial.clock.pauses();
    const std::vector<SlaveExchange> replies = slave->exchanges(0);
    const std::size_t n = stamps.size() / 2;
    if (stamps.size() % 2 != 0 || replies.size() != n || pauses.size() < n || n < 2) {
        std::fprintf(stderr,
                     "serial: %zu stamps, %zu pauses, %zu replies\n",
                     stamps.size(),
                     pauses.size(),
                     replies.size());
        return false;
    }
    std::vector<double> exchangeMs;
    std::vector<double> pauseMs;
    std::vector<double> cycleMs;
    std::vector<double> overheadMs;
    std::vector<double> replyToEndUs;
    std::vector<double> endToPauseMs;  // shown, port closed, labels
    std::vector<double> tickWaitMs;    // from the pause's end to the tick that starts the next
    std::vector<double> tickToStartMs; // from that tick to the next start stamp
    const std::vector<std::int64_t>& ticks = serial.dialog.startedNs;
    for (std::size_t i = 0; i < n; ++i) {
        const double exchange = static_cast<double>(stamps[2 * i + 1].ns - stamps[2 * i].ns) / 1e6;
        exchangeMs.push_back(exchange);
        pauseMs.push_back(static_cast<double>(pauses[i].endNs - pauses[i].beginNs) / 1e6);
        replyToEndUs.push_back(static_cast<double>(stamps[2 * i + 1].ns - replies[i].repliedNs) /
                               1e3);
        endToPauseMs.push_back(static_cast<double>(pauses[i].beginNs - stamps[2 * i + 1].ns) / 1e6);
        if (i + 1 < n) {
            // The transaction ends just after its pause; the first tick after that starts the next.
            const auto tick = std::upper_bound(ticks.begin(), ticks.end(), pauses[i].endNs);
            if (tick != ticks.end() && *tick < stamps[2 * i + 2].ns) {
                tickWaitMs.push_back(static_cast<double>(*tick - pauses[i].endNs) / 1e6);
                tickToStartMs.push_back(static_cast<double>(stamps[2 * i + 2].ns - *tick) / 1e6);
            }
            const double cycle = static_cast<double>(stamps[2 * i + 2].ns - stamps[2 * i].ns) / 1e6;
            cycleMs.push_back(cycle);
            overheadMs.push_back(cycle - exchange - 25.0);
        }
    }
    const Summary exchange = summarize(exchangeMs);
    const Summary pause = summarize(pauseMs);
    const Summary cycle = summarize(cycleMs);
    const Summary overhead = summarize(overheadMs);
    const Summary replyToEnd = summarize(replyToEndUs);

    std::printf("## Serial schedule over a pty\n\n");
    std::printf("Scheduled with Logging at 1 ms, COM1 a link to one end of a pty pair, 38400 "
                "bit/s, no parity, one register, a libmodbus RTU slave on the other end; %.1f s. "
                "The cycle runs from one transaction's start stamp to the next one's. Beyond the "
                "exchange and the nominal 25 ms pause it holds the end of the transaction (time "
                "shown, port closed, labels), the wait for the next tick of the window's timer "
                "and, from that tick, the worker's start, the window's calls and opening and "
                "configuring the port.\n\n",
                slice.seconds);
    Table table({"transactions",
                 "exchange median ms",
                 "pause median ms",
                 "cycle median ms",
                 "cycle p99 ms",
                 "beyond exchange + 25 ms: median",
                 "p99",
                 "max",
                 "end → pause median ms",
                 "pause → next tick median ms",
                 "tick → next start median ms",
                 "ticks /s",
                 "reply → end median µs",
                 "errors"});
    table.row({std::to_string(slice.transactions),
               fixed(exchange.median, 3),
               fixed(pause.median, 3),
               fixed(cycle.median, 3),
               fixed(cycle.p99, 3),
               fixed(overhead.median, 3),
               fixed(overhead.p99, 3),
               fixed(overhead.max, 3),
               fixed(summarize(endToPauseMs).median, 3),
               fixed(summarize(tickWaitMs).median, 3),
               fixed(summarize(tickToStartMs).median, 3),
               fixed(static_cast<double>(slice.ticks) / slice.seconds, 0),
               fixed(replyToEnd.median, 1),
               std::to_string(slice.errors)});
    table.print();
    targets.add("Serial schedule: cycle − exchange − 25 ms pause, median",
                fixed(overhead.median, 3) + " ms",
                "≤ 1 ms",
                overhead.median <= 1.0);
    targets.add("Serial schedule: cycle − exchange − 25 ms pause, p99",
                fixed(overhead.p99, 3) + " ms",
                "≤ 1 ms",
                overhead.p99 <= 1.0);
    return slice.errors == 0;
}

} // namespace
} // namespace quarin::bench

int main(int argc, char** argv)
{
    using namespace quarin;
    using namespace quarin::bench;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    g_previousHandler = qInstallMessageHandler(quietHandler);
    RepaintCounter repaints;
    g_repaints = &repaints;
    QApplication::instance()->installEventFilter(&repaints);
    Options options;
    std::vector<std::string> rest;
    if (!parseOptions(argc, argv, options, rest) || rest.size() > 1 ||
        (rest.size() == 1 && rest[0] != "tcp" && rest[0] != "serial" && rest[0] != "timing")) {
        std::fprintf(stderr,
                     "usage: bench_schedule [--quick] [--cpu N|none] [--slave-cpu N|none] "
                     "[--targets FILE] [tcp|serial|timing]\n");
        return 2;
    }
    // Quarin.ini, Quarin.log and the COM1 link live in the folder the console works in.
    test::TempDir dir;
    if (!dir.ok()) {
        std::fprintf(stderr, "%s\n", dir.error().c_str());
        return 1;
    }
    // The window's thread, and with it every worker it starts.
    pinThread(options.cpu);
    Targets targets(options);
    bool ok = true;
    if (rest.empty() || rest[0] == "tcp") {
        ok = tcpSchedule(options, targets) && ok;
    }
    if (rest.empty() || rest[0] == "timing") {
        ok = timingSchedule(options, targets) && ok;
    }
    if (rest.empty() || rest[0] == "serial") {
        ok = serialSchedule(options, targets) && ok;
    }
    targets.print();
    return ok ? 0 : 1;
}
