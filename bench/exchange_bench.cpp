// One read exchange, side by side: Quarin's own read transaction against a libmodbus client and a
// bare descriptor, one read each in turn (A B C A B C ...), against one libmodbus slave.
//
// TCP on loopback: Quarin's TcpRead (the console on a window-less view made on this thread, so it
// runs as a manual read does, on the window's thread; the open link reused), Quarin's link
// operations alone, modbus_read_registers, and one send + recv until the frame is in.
//
// Serial over ptys: Quarin's SerialRead (opening, configuring and closing the port, and its 25 ms
// pause, as every serial read does), a libmodbus RTU client and a bare write + read. What is
// compared is how long a complete reply waits before the read ends: from the slave's write of the
// last reply byte to the end of the exchange.

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <modbus/modbus-rtu.h>
#include <modbus/modbus-tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "bench_common.h"
#include "console/master_dlg.h"
#include "messages/mbap_header.h"
#include "messages/read_pdu.h"
#include "modbus_slave.h"
#include "platform/posix/platform.h"
#include "recording_clock.h"
#include "support/fake_view.h"
#include "support/lock_dir.h"
#include "support/pty_pair.h"
#include "support/reference_crc.h"
#include "support/temp_dir.h"

namespace quarin::bench {
namespace {

constexpr char kLoopback[] = "127.0.0.1";
// Holding register k holds k: reading from register 101 (wire address 100) gives 100, 101, ...
constexpr int kStartRegister = 101;
constexpr int kWireAddress = 100;
constexpr int kSizes[] = {1, 125};

struct Contender
{
    std::string name;
    std::function<bool()> read;  // the timed part
    std::function<bool()> check; // after it, untimed: did the read give the right values?
    std::vector<double> us;
    std::vector<std::int64_t> endNs;
};

// `rounds` rounds of one read per contender, in turn; the first `warmup` rounds are not kept.
bool interleave(std::vector<Contender*> contenders, int warmup, int rounds)
{
    for (Contender* c : contenders) {
        c->us.clear();
        c->endNs.clear();
        c->us.reserve(static_cast<std::size_t>(rounds));
        c->endNs.reserve(static_cast<std::size_t>(rounds));
    }
    for (int round = -warmup; round < rounds; ++round) {
        for (Contender* c : contenders) {
            const std::int64_t begin = nowNs();
            const bool ok = c->read();
            const std::int64_t end = nowNs();
            if (!ok || !c->check()) {
                std::fprintf(stderr, "%s: read %d failed\n", c->name.c_str(), round);
                return false;
            }
            if (round >= 0) {
                c->us.push_back(static_cast<double>(end - begin) / 1000.0);
                c->endNs.push_back(end);
            }
        }
    }
    return true;
}

// Every failed check says which it was: a run that prints all its rows may still have failed one.
bool slaveClean(const ModbusSlave& slave, const char* section)
{
    if (const long failures = slave.failures(); failures != 0) {
        std::fprintf(stderr, "%s: the slave failed %ld receives or replies\n", section, failures);
        return false;
    }
    return true;
}

std::string ratio(double a, double b)
{
    return b > 0 ? fixed(a / b, 2) : "-";
}

// ---------------------------------------------------------------------------------------------
// TCP

int connectLoopback(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        std::perror("connect");
        return -1;
    }
    return fd;
}

// The floor: the 12-byte request in one send, then recv until the frame the header announces is in.
bool rawTcpRead(int fd, std::uint16_t& tid, int n, std::array<std::uint8_t, 260>& reply)
{
    ++tid;
    // clang-format off
    const std::uint8_t request[12] = {
        static_cast<std::uint8_t>(tid >> 8), static_cast<std::uint8_t>(tid), 0, 0, 0, 6,
        1, 3, 0, kWireAddress, 0, static_cast<std::uint8_t>(n)};
    // clang-format on
    if (send(fd, request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
        return false;
    }
    std::size_t got = 0;
    std::size_t total = 6;
    while (got < total) {
        const ssize_t r = recv(fd, reply.data() + got, reply.size() - got, 0);
        if (r <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(r);
        if (got >= 6) {
            total = 6 + std::size_t{reply[5]};
        }
    }
    return got == total && total == static_cast<std::size_t>(9 + 2 * n);
}

bool tcpSection(const Options& options, Targets& targets)
{
    const int reads = options.quick ? 3000 : 20000;
    const int warmup = options.quick ? 100 : 500;
    std::string error;
    const std::unique_ptr<ModbusSlave> slave =
        ModbusSlave::tcp(kLoopback, 0, options.slaveCpu, error);
    if (!slave) {
        std::fprintf(stderr, "slave: %s\n", error.c_str());
        return false;
    }
    pinThread(options.cpu);
    const std::uint16_t port = slave->port();
    int n = 1;

    // Made on this thread, the view makes this the window's thread: the console's calls to it are
    // direct, as they are for a manual read.
    test::FakeView view;
    posix::PosixPlatform posix{test::testLockDir()};
    Platform platform = posix.platform();
    CMasterDlg console(view, platform, port);
    console.settings().m_address = kLoopback;
    console.settings().m_startRegister = kStartRegister;
    Contender quarin{"Quarin TcpRead", {}, {}, {}, {}};
    quarin.read = [&] {
        console.TcpRead();
        return true;
    };
    quarin.check = [&] {
        return console.connected() && view.boxes().empty() &&
               console.settings().m_values[0] == "100" &&
               (n == 1 || console.settings().m_values[9] == "109");
    };

    // The link operations alone, on a console of their own: build, send, receive.
    test::FakeView linkView;
    CMasterDlg link(linkView, platform, port);
    std::optional<Fault> connectFailure;
    if (!link.openTcpLink(kLoopback, connectFailure)) {
        std::fprintf(stderr,
                     "Quarin link: connect failed (%s)\n",
                     connectFailure ? connectFailure->text.c_str() : "");
        return false;
    }
    std::uint16_t linkTid = 1;
    std::array<std::uint8_t, kMaxTcpReply> linkFrame{};
    std::array<std::uint8_t, kMaxTcpReply> linkReply{};
    std::optional<std::size_t> linkReceived;
    Contender linkOps{"Quarin link operations", {}, {}, {}, {}};
    linkOps.read = [&] {
        const ReadRequest request{HoldingRegister, Modbus, 1, kStartRegister, n};
        const std::size_t length = 6 + BuildReadRequest(std::span(linkFrame).subspan(6), request);
        MbapHeader(linkFrame, length, linkTid, 1);
        Fault failure;
        if (!link.sendTcpRequest(std::span(linkFrame).first(length), 20, failure)) {
            return false;
        }
        linkReceived = link.receiveTcpReply(linkReply, 20, failure);
        return linkReceived.has_value();
    };
    linkOps.check = [&] { return *linkReceived == static_cast<std::size_t>(9 + 2 * n); };

    modbus_t* ctx = modbus_new_tcp(kLoopback, port);
    if (ctx == nullptr || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
        return false;
    }
    std::array<std::uint16_t, 125> registers{};
    Contender libmodbus{"libmodbus", {}, {}, {}, {}};
    libmodbus.read = [&] {
        return modbus_read_registers(ctx, kWireAddress, n, registers.data()) == n;
    };
    libmodbus.check = [&] { return registers[0] == kWireAddress; };

    const int rawFd = connectLoopback(port);
    if (rawFd < 0) {
        return false;
    }
    std::uint16_t rawTid = 0;
    std::array<std::uint8_t, 260> rawReply{};
    Contender raw{"raw socket (floor)", {}, {}, {}, {}};
    raw.read = [&] { return rawTcpRead(rawFd, rawTid, n, rawReply); };
    raw.check = [&] { return rawReply[9] == 0 && rawReply[10] == kWireAddress; };

    std::printf("## TCP read exchange on loopback\n\n");
    std::printf("%d reads of each size per contender, one of each in turn, after %d unkept "
                "rounds; contenders on CPU %d, slave on CPU %d. Times per read in "
                "microseconds.\n\n",
                reads,
                warmup,
                options.cpu,
                options.slaveCpu);
    Table table({"registers",
                 "contender",
                 "reads",
                 "median µs",
                 "p99 µs",
                 "median ÷ floor",
                 "p99 ÷ floor",
                 "median ÷ libmodbus"});
    bool ok = true;
    for (const int size : kSizes) {
        n = size;
        console.settings().m_registerCount = n;
        console.showTransfer();
        if (!interleave({&quarin, &linkOps, &libmodbus, &raw}, warmup, reads)) {
            ok = false;
            break;
        }
        const Summary floor = summarize(raw.us);
        const Summary lib = summarize(libmodbus.us);
        for (Contender* c : {&quarin, &linkOps, &libmodbus, &raw}) {
            const Summary s = summarize(c->us);
            table.row({std::to_string(n),
                       c->name,
                       std::to_string(s.n),
                       fixed(s.median, 1),
                       fixed(s.p99, 1),
                       ratio(s.median, floor.median),
                       ratio(s.p99, floor.p99),
                       ratio(s.median, lib.median)});
        }
        const Summary q = summarize(quarin.us);
        const std::string what =
            "TCP read of " + std::to_string(n) + " register" + (n == 1 ? "" : "s");
        targets.add(what + ": Quarin median ÷ raw floor",
                    ratio(q.median, floor.median) + " (" + fixed(q.median, 1) + " µs)",
                    "≤ 1.25",
                    q.median <= 1.25 * floor.median);
        targets.add(what + ": Quarin median ÷ libmodbus",
                    ratio(q.median, lib.median) + " (" + fixed(lib.median, 1) + " µs)",
                    "≤ 1.00",
                    q.median <= lib.median);
    }
    table.print();
    std::printf("Quarin TcpRead is the whole manual read: values, times and labels shown (on the "
                "window-less view). The link operations are its send and receive alone, to show "
                "where the time goes.\n\n");
    // Taken before the clients hang up: the slave counts a closed connection as a failed receive.
    ok = slaveClean(*slave, "TCP") && ok;
    modbus_close(ctx);
    modbus_free(ctx);
    close(rawFd);
    link.closeTcpLink();
    console.closeTcpLink();
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Serial

// 38400 bit/s, 8 data bits, no parity, two stop bits: Quarin's "None" (a pty refuses even
// parity with one stop bit).
int openRawPort(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (fd < 0 || tcgetattr(fd, &settings) != 0) {
        std::perror(path.c_str());
        return -1;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD | CSTOPB;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        std::perror("tcsetattr");
        return -1;
    }
    return fd;
}

bool rawSerialRead(int fd, int n, std::array<std::uint8_t, 256>& reply)
{
    std::uint8_t request[8] = {1, 3, 0, kWireAddress, 0, static_cast<std::uint8_t>(n), 0, 0};
    const std::uint16_t crc = test::referenceCrc16(std::span(request, 6));
    request[6] = static_cast<std::uint8_t>(crc & 0xFF);
    request[7] = static_cast<std::uint8_t>(crc >> 8);
    if (write(fd, request, sizeof request) != sizeof request) {
        return false;
    }
    const auto expected = static_cast<std::size_t>(5 + 2 * n);
    std::size_t got = 0;
    while (got < expected) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) {
            return false;
        }
        const ssize_t r = read(fd, reply.data() + got, expected - got);
        if (r < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        got += r > 0 ? static_cast<std::size_t>(r) : 0;
    }
    return true;
}

// What the line itself allows: request and reply bits at each rate, whatever the master does.
void printLineTable()
{
    std::printf("### What the line allows\n\n");
    std::printf("A read of n registers puts 8 + (5 + 2n) bytes on the wire in RTU (11 bits a "
                "character: start, 8 data, parity or a second stop, stop) and 17 + (11 + 4n) "
                "characters in ASCII (10 bits: start, 7 data, parity, stop). Milliseconds per "
                "exchange, without the slave's turn-around and the silent intervals; reads per "
                "second in a schedule add Quarin's 25 ms pause after each serial read.\n\n");
    Table table({"bit/s",
                 "RTU 1 reg ms",
                 "RTU 125 regs ms",
                 "ASCII 1 reg ms",
                 "ASCII 125 regs ms",
                 "RTU 1 reg reads/s",
                 "RTU 125 regs reads/s"});
    for (const int baud : {1200, 2400, 4800, 9600, 19200, 38400}) {
        auto rtuMs = [&](int n) { return 11.0 * (8 + 5 + 2 * n) * 1000.0 / baud; };
        auto asciiMs = [&](int n) { return 10.0 * (17 + 11 + 4 * n) * 1000.0 / baud; };
        table.row({std::to_string(baud),
                   fixed(rtuMs(1), 1),
                   fixed(rtuMs(125), 1),
                   fixed(asciiMs(1), 1),
                   fixed(asciiMs(125), 1),
                   fixed(1000.0 / (rtuMs(1) + 25.0), 1),
                   fixed(1000.0 / (rtuMs(125) + 25.0), 1)});
    }
    table.print();
}

bool serialSection(const Options& options, Targets& targets)
{
    const int reads = options.quick ? 60 : 300;
    const int warmup = 5;
    test::TempDir dir;
    test::PtyPair quarinLine;
    test::PtyPair libmodbusLine;
    test::PtyPair rawLine;
    std::string error;
    if (!dir.ok() || !quarinLine.open(error) || !libmodbusLine.open(error) ||
        !rawLine.open(error) || !quarinLine.linkAsCom(dir.path(), 1, error)) {
        std::fprintf(stderr, "ptys: %s%s\n", dir.error().c_str(), error.c_str());
        return false;
    }
    const std::unique_ptr<ModbusSlave> slave = ModbusSlave::rtu(
        {quarinLine.master(), libmodbusLine.master(), rawLine.master()}, options.slaveCpu, error);
    if (!slave) {
        std::fprintf(stderr, "slave: %s\n", error.c_str());
        return false;
    }
    pinThread(options.cpu);
    int n = 1;

    test::FakeView view;
    posix::PosixPlatform posix{test::testLockDir()};
    Platform base = posix.platform();
    RecordingClock clock(base.clock);
    Platform platform{
        base.serial, base.sockets, clock, base.workers, base.files, base.programs, base.halt};
    CMasterDlg console(view, platform);
    ConsoleSettings& s = console.settings();
    s.m_port = 1;
    s.m_baudRate = 5; // 38400
    s.m_parity = 1;   // None, two stop bits
    s.m_timeoutMs = 1000;
    s.m_startRegister = kStartRegister;
    Contender quarin{"Quarin SerialRead", {}, {}, {}, {}};
    quarin.read = [&] {
        console.SerialRead();
        return true;
    };
    quarin.check = [&] {
        return view.boxes().empty() && s.m_values[0] == "100" && (n == 1 || s.m_values[9] == "109");
    };

    modbus_t* ctx = modbus_new_rtu(libmodbusLine.path().c_str(), 38400, 'N', 8, 2);
    if (ctx == nullptr || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus RTU: %s\n", modbus_strerror(errno));
        return false;
    }
    std::array<std::uint16_t, 125> registers{};
    Contender libmodbus{"libmodbus RTU", {}, {}, {}, {}};
    libmodbus.read = [&] {
        return modbus_read_registers(ctx, kWireAddress, n, registers.data()) == n;
    };
    libmodbus.check = [&] { return registers[0] == kWireAddress; };

    const int rawFd = openRawPort(rawLine.path());
    if (rawFd < 0) {
        return false;
    }
    std::array<std::uint8_t, 256> rawReply{};
    Contender raw{"raw descriptor (floor)", {}, {}, {}, {}};
    raw.read = [&] { return rawSerialRead(rawFd, n, rawReply); };
    raw.check = [&] { return rawReply[0] == 1 && rawReply[4] == kWireAddress; };

    std::printf("## Serial read over a pty pair\n\n");
    std::printf("%d reads of each size per contender, one of each in turn, at 38400 bit/s, no "
                "parity, two stop bits (a pty has no line, so no bit times). \"Reply → end\" runs "
                "from the slave's write of the last reply byte to the end of the exchange "
                "(Quarin: its end stamp, the one its shown time is taken from). Quarin's call "
                "includes opening and closing the port and the 25 ms pause.\n\n",
                reads);
    Table table({"registers",
                 "contender",
                 "reads",
                 "reply → end median µs",
                 "p99 µs",
                 "max µs",
                 "request → end median µs",
                 "call median ms"});
    bool ok = true;
    const Contender* contenders[] = {&quarin, &libmodbus, &raw};
    for (const int size : kSizes) {
        n = size;
        s.m_registerCount = n;
        console.showTransfer();
        std::size_t first[3] = {};
        for (int ch = 0; ch < 3; ++ch) {
            first[ch] = slave->count(ch) + static_cast<std::size_t>(warmup);
        }
        clock.clear();
        if (!interleave({&quarin, &libmodbus, &raw}, warmup, reads)) {
            ok = false;
            break;
        }
        // Quarin's stamps come in pairs, start and end, one pair per read; the first pairs were
        // the unkept rounds.
        const std::vector<RecordingClock::Reading> stamps = clock.readings();
        if (stamps.size() != static_cast<std::size_t>(2 * (warmup + reads))) {
            std::fprintf(stderr, "Quarin: %zu stamps\n", stamps.size());
            ok = false;
            break;
        }
        std::vector<double> quarinExchangeUs;
        for (int i = 0; i < reads; ++i) {
            const auto k = static_cast<std::size_t>(2 * (warmup + i));
            quarin.endNs[static_cast<std::size_t>(i)] = stamps[k + 1].ns;
            quarinExchangeUs.push_back(static_cast<double>(stamps[k + 1].ns - stamps[k].ns) /
                                       1000.0);
        }
        for (int ch = 0; ch < 3; ++ch) {
            const Contender& c = *contenders[ch];
            const std::size_t want = first[ch] + static_cast<std::size_t>(reads);
            if (!slave->waitForCount(ch, want, 5000)) {
                std::fprintf(stderr, "slave: channel %d short of %zu replies\n", ch, want);
                ok = false;
                break;
            }
            const std::vector<SlaveExchange> replies = slave->exchanges(ch);
            std::vector<double> latencyUs;
            for (std::size_t i = 0; i < c.endNs.size(); ++i) {
                latencyUs.push_back(
                    static_cast<double>(c.endNs[i] - replies[first[ch] + i].repliedNs) / 1000.0);
            }
            const Summary latency = summarize(latencyUs);
            const Summary call = summarize(c.us);
            const Summary exchange = ch == 0 ? summarize(quarinExchangeUs) : call;
            table.row({std::to_string(n),
                       c.name,
                       std::to_string(latency.n),
                       fixed(latency.median, 1),
                       fixed(latency.p99, 1),
                       fixed(latency.max, 1),
                       fixed(exchange.median, 1),
                       fixed(call.median / 1000.0, 2)});
            if (ch == 0) {
                const std::string what =
                    "Serial read of " + std::to_string(n) + " register" + (n == 1 ? "" : "s");
                targets.add(what + ": reply → end, median",
                            fixed(latency.median / 1000.0, 3) + " ms",
                            "≤ 1 ms",
                            latency.median <= 1000.0);
                targets.add(what + ": no complete reply waits for the time-out (max)",
                            fixed(latency.max / 1000.0, 3) + " ms",
                            "< 1000 ms time-out",
                            latency.max < 1000.0 * 1000.0);
            }
        }
        if (!ok) {
            break;
        }
    }
    table.print();
    modbus_close(ctx);
    modbus_free(ctx);
    close(rawFd);
    printLineTable();
    return slaveClean(*slave, "serial") && ok;
}

} // namespace
} // namespace quarin::bench

int main(int argc, char** argv)
{
    using namespace quarin::bench;
    Options options;
    std::vector<std::string> rest;
    if (!parseOptions(argc, argv, options, rest) || rest.size() > 1 ||
        (rest.size() == 1 && rest[0] != "tcp" && rest[0] != "serial")) {
        std::fprintf(stderr,
                     "usage: bench_exchange [--quick] [--cpu N|none] [--slave-cpu N|none] "
                     "[--targets FILE] [tcp|serial]\n");
        return 2;
    }
    Targets targets(options);
    bool ok = true;
    if (rest.empty() || rest[0] == "tcp") {
        ok = tcpSection(options, targets) && ok;
    }
    if (rest.empty() || rest[0] == "serial") {
        ok = serialSection(options, targets) && ok;
    }
    targets.print();
    return ok ? 0 : 1;
}
