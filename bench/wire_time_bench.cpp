// The transaction time the console shows, against the time the wire itself took: 125-register RTU
// reads at 1200 bit/s (about 2.4 s each on the wire) over the cable that keeps bit times, a
// libmodbus slave at its far end. The difference is what the operator is told beyond the wire.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "bench_common.h"
#include "modbus_slave.h"
#include "support/live_console.h"
#include "support/pty_cable.h"
#include "support/temp_dir.h"

namespace quarin::bench {
namespace {

using test::LiveConsole;
using test::PtyCable;

constexpr int kCom = 1;
constexpr int kRegisters = 125;

// The slave's end at 1200 bit/s, 8 data bits, 2 stop bits: the console's line with parity None.
int openSlaveEnd(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
        return fd;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD | CSTOPB;
    ::cfsetispeed(&t, B1200);
    ::cfsetospeed(&t, B1200);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

bool run(const Options& options, Targets& targets)
{
    const int reads = options.quick ? 3 : 20;
    test::TempDir dir;
    PtyCable cable(PtyCable::Line::WireTimed);
    if (!dir.ok() || !cable.ok() || !cable.linkAsCom(dir.path(), kCom)) {
        std::fprintf(
            stderr, "wire_time: no cable: %s%s\n", dir.error().c_str(), cable.error().c_str());
        return false;
    }
    std::string error;
    const int slaveFd = openSlaveEnd(cable.peerPath());
    auto slave = slaveFd < 0 ? nullptr : ModbusSlave::rtu({slaveFd}, options.slaveCpu, error);
    if (!slave) {
        std::fprintf(stderr, "wire_time: no slave: %s\n", error.c_str());
        return false;
    }

    LiveConsole c;
    c.useSerial(kCom, Modbus);
    c.view.setIndex(ControlId::Baud, 0);
    c.timeoutMs(5000);
    c.dataType(HoldingRegister);
    c.registers(1, kRegisters);
    c.display(Decimal);

    std::vector<double> differences;
    std::vector<double> wireMs;
    int failed = 0;
    for (int i = 0; i < reads; ++i) {
        c.view.clearBoxes();
        cable.clearRecords();
        c.dlg.onRead();
        const long shown = c.shownNumber(ControlId::TransactionTime);
        const double wire = std::chrono::duration<double, std::milli>(cable.exchangeTime()).count();
        if (!c.view.boxTexts().empty() || shown < 0) {
            ++failed;
            continue;
        }
        differences.push_back(static_cast<double>(shown) - wire);
        wireMs.push_back(wire);
    }

    const Summary diff = summarize(differences);
    const Summary wire = summarize(wireMs);
    std::printf("## Shown time against wire time: %d registers at 1200 bit/s\n\n", kRegisters);
    std::printf("Each read's shown time (whole milliseconds, as the window shows it) less the "
                "cable's measure of the exchange.\n\n");
    Table table({"reads",
                 "failed",
                 "wire median ms",
                 "shown − wire median ms",
                 "smallest ms",
                 "largest ms"});
    table.row({std::to_string(reads),
               std::to_string(failed),
               fixed(wire.median, 1),
               fixed(diff.median, 2),
               fixed(diff.min, 2),
               fixed(diff.max, 2)});
    table.print();
    std::printf("\n");

    const double largest = std::max(std::fabs(diff.min), std::fabs(diff.max));
    targets.add("125-register RTU read at 1200 bit/s: every read succeeds within 5000 ms",
                std::to_string(reads - failed) + " of " + std::to_string(reads),
                "all",
                failed == 0);
    targets.add("shown time − wire time, median",
                fixed(diff.median, 2) + " ms",
                "within ±2 ms",
                failed == 0 && std::fabs(diff.median) <= 2.0);
    targets.add("shown time − wire time, largest",
                fixed(largest, 2) + " ms",
                "within ±2 ms",
                failed == 0 && largest <= 2.0);
    return failed == 0 && slave->failures() == 0;
}

} // namespace
} // namespace quarin::bench

int main(int argc, char** argv)
{
    using namespace quarin::bench;
    Options options;
    std::vector<std::string> rest;
    if (!parseOptions(argc, argv, options, rest, false) || !rest.empty()) {
        std::fprintf(stderr,
                     "usage: bench_wire_time [--quick] [--cpu N|none] [--slave-cpu N|none] "
                     "[--targets FILE]\n");
        return 2;
    }
    Targets targets(options);
    const bool ok = run(options, targets);
    targets.print();
    return ok ? 0 : 1;
}
