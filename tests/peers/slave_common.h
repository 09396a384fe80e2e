#pragma once

// What the two libmodbus slaves share: the register contents, the line commands they answer on
// stdin, and the ways they end (stdin closed, SIGTERM, or their lifetime run out).
//
// Register contents, by wire address k (0..65535):
//   holding register k = k
//   input register k   = (k + 1000) mod 65536
//
// Commands, one per stdin line, each answered with one stdout line:
//   DUMP <addr> <n>        REGS <v0> ... <vn-1>   holding registers, decimal
//   SET <addr> <v0> ...    OK                     overwrite holding registers
//   LAST                   LAST <unit> <fc> <addr> <quantity>, or LAST none: the last write
//   COUNT                  COUNT <n>              requests received (broadcasts included)
// Anything else is answered with "ERR ...".

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <modbus/modbus.h>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace peer {

constexpr int kRegisterCount = 65536;
constexpr int kInputOffset = 1000;
constexpr int kDefaultLifetimeS = 120;

inline volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" inline void onStopSignal(int)
{
    g_stopRequested = 1;
}

// No SA_RESTART: a signal must cut poll() and libmodbus' select() short.
inline void installStopHandlers()
{
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

inline modbus_mapping_t* makeMapping()
{
    modbus_mapping_t* mapping = modbus_mapping_new(0, 0, kRegisterCount, kRegisterCount);
    if (mapping == nullptr) {
        return nullptr;
    }
    for (int k = 0; k < kRegisterCount; ++k) {
        mapping->tab_registers[k] = static_cast<std::uint16_t>(k);
        mapping->tab_input_registers[k] = static_cast<std::uint16_t>(k + kInputOffset);
    }
    return mapping;
}

struct Activity
{
    long requests = 0;
    bool written = false;
    int unit = 0;
    int function = 0;
    int address = 0;
    int quantity = 0;
};

inline int word(const std::uint8_t* bytes)
{
    return bytes[0] * 256 + bytes[1];
}

// req as modbus_receive() left it: headerLength bytes (slave address, or MBAP header), then PDU.
inline void noteRequest(Activity& activity, const std::uint8_t* req, int length, int headerLength)
{
    ++activity.requests;
    if (length < headerLength + 5) {
        return;
    }
    const std::uint8_t* pdu = req + headerLength;
    if (pdu[0] != 0x06 && pdu[0] != 0x10) {
        return;
    }
    activity.written = true;
    activity.unit = req[headerLength - 1];
    activity.function = pdu[0];
    activity.address = word(pdu + 1);
    activity.quantity = pdu[0] == 0x06 ? 1 : word(pdu + 3);
}

inline std::string
answerCommand(const std::string& line, modbus_mapping_t& mapping, const Activity& activity)
{
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::ostringstream out;
    if (command == "DUMP") {
        long address = -1;
        long count = -1;
        in >> address >> count;
        if (!in || address < 0 || count < 1 || address + count > kRegisterCount) {
            return "ERR DUMP needs <addr> <n> inside 0..65535";
        }
        out << "REGS";
        for (long k = address; k < address + count; ++k) {
            out << ' ' << mapping.tab_registers[k];
        }
        return out.str();
    }
    if (command == "SET") {
        long address = -1;
        in >> address;
        std::vector<long> values;
        for (long value = 0; in >> value;) {
            values.push_back(value);
        }
        const auto count = static_cast<long>(values.size());
        if (address < 0 || values.empty() || address + count > kRegisterCount) {
            return "ERR SET needs <addr> <v0> ... inside 0..65535";
        }
        for (std::size_t k = 0; k < values.size(); ++k) {
            mapping.tab_registers[static_cast<std::size_t>(address) + k] =
                static_cast<std::uint16_t>(values[k] & 0xFFFF);
        }
        return "OK";
    }
    if (command == "LAST") {
        if (!activity.written) {
            return "LAST none";
        }
        out << "LAST " << activity.unit << ' ' << activity.function << ' ' << activity.address
            << ' ' << activity.quantity;
        return out.str();
    }
    if (command == "COUNT") {
        out << "COUNT " << activity.requests;
        return out.str();
    }
    return "ERR unknown command";
}

// Lines from stdin, read without blocking once poll() says so.
class StdinLines
{
public:
    // False once stdin is closed.
    bool readAvailable()
    {
        char chunk[512];
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got == 0) {
            return false;
        }
        if (got < 0) {
            return errno == EINTR || errno == EAGAIN;
        }
        m_pending.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    bool nextLine(std::string& line)
    {
        const auto end = m_pending.find('\n');
        if (end == std::string::npos) {
            return false;
        }
        line = m_pending.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        m_pending.erase(0, end + 1);
        return true;
    }

private:
    std::string m_pending;
};

inline void say(std::string_view line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Reads "--lifetime <s>" out of argv; the other arguments are returned in order.
inline bool
splitOptions(int argc, char** argv, std::vector<std::string>& positional, int& lifetimeS)
{
    lifetimeS = kDefaultLifetimeS;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--lifetime") {
            if (i + 1 >= argc) {
                return false;
            }
            lifetimeS = std::atoi(argv[++i]);
            if (lifetimeS <= 0) {
                return false;
            }
        } else {
            positional.emplace_back(arg);
        }
    }
    return true;
}

using Clock = std::chrono::steady_clock;

// Poll timeout until the deadline, at most 200 ms so a stop flag is seen soon; -1 when past it.
inline int pollTimeoutMs(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return -1;
    }
    return static_cast<int>(left < 200 ? left : 200);
}

} // namespace peer
