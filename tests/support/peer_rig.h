#pragma once

// The set-up of a test against a slave in another process: a fresh working folder and the slave
// started and ready; for a serial slave also the cable it sits on, with COM<n> in the folder
// leading to the console's end.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/live_console.h"
#include "support/peer_process.h"
#include "support/pty_cable.h"
#include "support/temp_dir.h"

namespace quarin::test {

// Python peers under a loaded sanitizer build start slowly.
inline constexpr std::chrono::seconds kPeerStartTimeout{10};

class SerialRig
{
public:
    explicit SerialRig(int com = 1, PtyCable::Line line = PtyCable::Line::Instant);

    // The folder and the cable with its link, for a line with no slave on it.
    testing::AssertionResult ready() const;

    // ready(), then the slave of argv (its device is cable.peerPath()) up to its READY line.
    testing::AssertionResult start(const std::vector<std::string>& argv);

    TempDir dir;
    PtyCable cable;
    PeerProcess slave;

private:
    int m_com;
    bool m_linked;
};

class TcpRig
{
public:
    // The folder, then the slave of argv up to its PORT line.
    testing::AssertionResult start(const std::vector<std::string>& argv);

    std::uint16_t port() const { return m_port; }

    TempDir dir;
    PeerProcess slave;

private:
    std::uint16_t m_port = 0;
};

// A loopback TCP port of the system's choosing, held by a bound socket while this lives, so no
// other test is given it meanwhile. Until it listens, every connection to it is refused.
class LoopbackPort
{
public:
    LoopbackPort();
    ~LoopbackPort();
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;

    bool listen(int backlog);

    // A new socket connected to the port, for the caller to close; -1 when it did not connect.
    int connectClient() const;

    int fd() const { return m_fd; }

    // 0 when no port could be had.
    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// A first read that shows no box and leaves one connection to the slave: its local port.
inline testing::AssertionResult
firstReadOverOneConnection(LiveConsole& c, const TcpRig& rig, std::vector<int>& connection)
{
    c.dlg.onRead();
    if (const std::vector<std::string> boxes = c.view.boxTexts(); !boxes.empty()) {
        return testing::AssertionFailure() << "the first read showed \"" << boxes.front() << '"';
    }
    connection = clientPortsTo(rig.port());
    if (connection.size() != 1u) {
        return testing::AssertionFailure() << connection.size() << " connections after it";
    }
    return testing::AssertionSuccess();
}

} // namespace quarin::test

#if defined(QUARIN_PEER_BIN_DIR) && defined(QUARIN_PEERS_DIR)
namespace quarin::test {

// libmodbus as RTU slave 1 on the cable, 8 data bits, no parity, 2 stop bits: the console's line
// with parity None.
inline std::vector<std::string>
rtuSlave(const PtyCable& cable, const char* lifetime = "100", int baud = 9600)
{
    return peerCommand(
        "rtu_slave",
        {cable.peerPath(), std::to_string(baud), "N", "8", "2", "1", "--lifetime", lifetime});
}

// libmodbus as TCP slave on a loopback port of its choosing.
inline std::vector<std::string> tcpSlave(const char* lifetime = "100")
{
    return peerCommand("tcp_slave", {"--lifetime", lifetime});
}

// scripted_slave.py with args ("--tcp", or "--serial" and a device, ...), playing one step for each
// JSON object of steps.
inline std::vector<std::string> scriptedSlave(std::vector<std::string> args,
                                              const std::vector<std::string>& steps,
                                              const char* lifetime = "100")
{
    std::string json = "[";
    for (const std::string& step : steps) {
        json += (json.size() > 1 ? ", " : "") + step;
    }
    args.insert(args.end(), {"--lifetime", lifetime, "--steps", json + "]"});
    return peerCommand("scripted_slave.py", args);
}

// pymodbus as ASCII slave on the cable, 8 data bits without parity.
inline std::vector<std::string> asciiSlave(const PtyCable& cable)
{
    return peerCommand("pymodbus_slave.py",
                       {cable.peerPath(), "--parity", "N", "--bytesize", "8", "--lifetime", "100"});
}

} // namespace quarin::test
#endif
