#pragma once

// A console on the real POSIX adapters, for tests against slaves that run in other processes:
// what the operator would do to its controls, what it shows, and what the kernel says about its
// connections.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "console/master_dlg.h"
#include "platform/posix/platform.h"
#include "support/fake_view.h"
#include "support/lock_dir.h"
#include "support/temp_dir.h"

namespace quarin::test {

inline constexpr char kLoopback[] = "127.0.0.1";

using SteadyClock = std::chrono::steady_clock;

struct LiveConsole
{
    posix::PosixPlatform posix{testLockDir()};
    Platform platform = posix.platform();
    FakeView view;
    CMasterDlg dlg;

    explicit LiveConsole(std::uint16_t tcpPort = 502) : dlg(view, platform, tcpPort)
    {
        dlg.onInitDialog();
    }

    // Set for the slave on the loopback at tcpPort.
    LiveConsole(std::uint16_t tcpPort, int timeoutMs) : LiveConsole(tcpPort)
    {
        useTcp();
        this->timeoutMs(timeoutMs);
    }

    // Set for the slave on COM<com>.
    LiveConsole(int com, ProtocolVariant protocol, int timeoutMs) : LiveConsole()
    {
        useSerial(com, protocol);
        this->timeoutMs(timeoutMs);
    }

    // As the window goes: a worker still out is waited for, so it never outlives the console.
    ~LiveConsole()
    {
        dlg.onDestroy();
        waitForWorkers(std::chrono::seconds(30));
    }

    LiveConsole(const LiveConsole&) = delete;
    LiveConsole& operator=(const LiveConsole&) = delete;

    bool waitForWorkers(std::chrono::milliseconds timeout)
    {
        return view.waitWhileProcessingEvents([this] { return platform.workers.running() == 0; },
                                              static_cast<int>(timeout.count()));
    }

    // The slave's port is the one the console was made with.
    void useTcp(const std::string& address = kLoopback)
    {
        view.setIndex(ControlId::Port, 0);
        dlg.applyPortRules();
        view.type(ControlId::Address, address);
    }

    // COM<n> at 9600 bit/s without parity: the ptys here refuse even parity with one stop bit.
    void useSerial(int com, ProtocolVariant protocol)
    {
        view.setIndex(ControlId::Port, com);
        dlg.applyPortRules();
        view.setIndex(ControlId::Baud, 3);
        view.setIndex(ControlId::Protocol, protocol);
        switch (protocol) {
        case Modbus:
            dlg.showModbusLabels();
            break;
        case Jbus:
            dlg.showJbusLabels();
            break;
        case ModbusAscii:
            dlg.selectAscii();
            break;
        }
        view.setIndex(ControlId::Parity, 1);
    }

    void dataType(DataType type)
    {
        view.setIndex(ControlId::DataType, type);
        dlg.applyDataTypeRules();
    }

    void registers(int start, int count)
    {
        view.type(ControlId::StartRegister, std::to_string(start));
        dlg.refreshLabels();
        view.type(ControlId::RegisterCount, std::to_string(count));
        dlg.refreshLabels();
    }

    void slaveId(int id)
    {
        view.type(ControlId::SlaveId, std::to_string(id));
        dlg.onSlaveIdChanged();
    }

    void timeoutMs(int ms) { view.type(ControlId::Timeout, std::to_string(ms)); }

    void display(DisplayMode mode)
    {
        view.setIndex(ControlId::DisplayMode, mode);
        dlg.changeDisplayMode();
    }

    void values(const std::vector<std::string>& texts)
    {
        for (int row = 0; row < kValueRows; ++row) {
            const auto i = static_cast<std::size_t>(row);
            view.type(ControlId::Value, i < texts.size() ? texts[i] : "0", row);
        }
    }

    std::vector<std::string> shown(ControlId id) const
    {
        std::vector<std::string> texts;
        for (int row = 0; row < kValueRows; ++row) {
            texts.push_back(view.text(id, row));
        }
        return texts;
    }

    std::vector<std::string> shownValues() const { return shown(ControlId::Value); }

    std::vector<std::string> shownLabels() const { return shown(ControlId::RegisterLabel); }

    // A number display; -1 when it does not hold a number.
    long shownNumber(ControlId id) const
    {
        const std::string text = view.text(id);
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
            return -1;
        }
        return std::stol(text);
    }
};

// What the window does while a schedule runs: the timer fires every millisecond while ticking()
// holds, and the worker's calls to the window are served in between; until done() holds or the
// limit runs out (false then).
template <typename Done, typename Ticking>
bool runWindow(LiveConsole& c,
               Done done,
               Ticking ticking,
               std::chrono::steady_clock::duration limit = std::chrono::seconds(60))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (ticking() && c.view.timerPeriod(CMasterDlg::kScheduleTimer) != 0) {
            c.dlg.onTimer(CMasterDlg::kScheduleTimer);
        }
        c.view.processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A schedule run of the given number of transactions, then its worker's end: ticks stop once the
// last transaction has started, so the run is exactly as long.
inline bool runSchedule(LiveConsole& c,
                        std::uint32_t transactions,
                        std::chrono::steady_clock::duration limit = std::chrono::seconds(60))
{
    const auto started = [&] { return c.dlg.stats().transactionCount >= transactions; };
    return runWindow(
               c, [&] { return started() && !c.dlg.busy(); }, [&] { return !started(); }, limit) &&
           c.waitForWorkers(std::chrono::seconds(5));
}

// The time stamp form of the log, written out here rather than taken from the code under test.
inline std::string stampAt(std::time_t seconds)
{
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    const int year = local.tm_year % 100;
    std::snprintf(text,
                  sizeof text,
                  "%02d/%02d/%02d %02d:%02d:%02d",
                  local.tm_mon + 1,
                  local.tm_mday,
                  year,
                  local.tm_hour,
                  local.tm_min,
                  local.tm_sec);
    return text;
}

// The report text of a box or log line whose prefix is the time stamp of a second from `from` to
// `to` and then `slavePrefix`; nothing when the line does not start so.
inline std::optional<std::string>
reportText(const std::string& line, std::time_t from, std::time_t to, std::string_view slavePrefix)
{
    for (std::time_t t = from; t <= to; ++t) {
        const std::string prefix = stampAt(t) + " - " + std::string(slavePrefix);
        if (line.starts_with(prefix)) {
            return line.substr(prefix.size());
        }
    }
    return std::nullopt;
}

inline std::string tcpSlavePrefix(int slaveId = 1)
{
    return std::string("Slave IP = ") + kLoopback + " - Slave ID = " + std::to_string(slaveId) +
           " - ";
}

inline std::string serialSlavePrefix(int slaveId = 1)
{
    return "Slave ID = " + std::to_string(slaveId) + " - ";
}

inline constexpr char kTcpEstablished[] = "01";
inline constexpr char kTcpSynSent[] = "02";

// Local ports of the loopback connections to serverPort in the given state, from the kernel's
// table: a connection the console reuses keeps its port, a new one gets another.
inline std::vector<int> clientPortsOnce(int serverPort, std::string_view state)
{
    std::vector<int> ports;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the column heads
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, entryState;
        fields >> slot >> local >> remote >> entryState;
        const auto localColon = local.find(':');
        const auto remoteColon = remote.find(':');
        if (localColon == std::string::npos || remoteColon == std::string::npos) {
            continue;
        }
        if (entryState != state ||
            std::stoi(remote.substr(remoteColon + 1), nullptr, 16) != serverPort) {
            continue;
        }
        ports.push_back(std::stoi(local.substr(localColon + 1), nullptr, 16));
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

// The kernel gives its table a page at a time, so while other tests open and close sockets an
// entry can be listed twice or passed over: the answer is one that two reads in a row agree on.
inline std::vector<int> clientPortsTo(int serverPort, std::string_view state = kTcpEstablished)
{
    std::vector<int> ports = clientPortsOnce(serverPort, state);
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::vector<int> again = clientPortsOnce(serverPort, state);
        if (again == ports) {
            break;
        }
        ports = std::move(again);
    }
    return ports;
}

// The labels of count registers from start, written out here rather than taken from the code
// under test: Jbus shows the register, Modbus its reference (3 for input registers, else 4).
inline std::vector<std::string>
registerLabels(DataType type, ProtocolVariant protocol, int start, int count)
{
    std::vector<std::string> labels(kValueRows, "0");
    for (int i = 0; i < count && i < kValueRows; ++i) {
        char text[16];
        if (protocol == Jbus) {
            std::snprintf(text, sizeof text, "%d", start + i);
        } else {
            std::snprintf(
                text, sizeof text, "%c%05d", type == InputRegister ? '3' : '4', start + i);
        }
        labels[static_cast<std::size_t>(i)] = text;
    }
    return labels;
}

inline std::vector<std::string> textList(std::initializer_list<const char*> list)
{
    return {list.begin(), list.end()};
}

} // namespace quarin::test
