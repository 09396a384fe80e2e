#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace quarin::test {

// A helper program that a test runs beside the code under test: started without a shell, fed
// lines on its stdin and read line by line from its stdout. Its stderr stays the test's, so a
// peer's complaints show up in the test's output. The destructor stops it.
class PeerProcess
{
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // argv[0] is the program's path; PATH is not searched. False, with error() set, when the
    // program could not be started (or this object already runs one).
    bool start(const std::vector<std::string>& argv);

    // The next stdout line (without its line end) that starts with prefix; the lines before it
    // are passed over. Nothing when the timeout runs out or the program closes its stdout.
    std::optional<std::string> waitForLine(std::string_view prefix,
                                           std::chrono::milliseconds timeout);

    // Waits for the "PORT <n>" line of a TCP peer.
    std::optional<int> waitForPort(std::chrono::milliseconds timeout);

    // Sends one line (a line feed is added). False when the program no longer reads stdin.
    bool sendLine(std::string_view line);

    // sendLine, then waitForLine: for the peers' DUMP, LAST and COUNT commands.
    std::optional<std::string>
    ask(std::string_view line, std::string_view answerPrefix, std::chrono::milliseconds timeout);

    // Closes stdin (every peer ends on that), sends SIGTERM when the program is still there after
    // grace, SIGKILL after as long again, and reaps it. The wait status, or nothing when no
    // program was running.
    std::optional<int> stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

    // Whether the program is still running; reaps it when it has ended.
    bool running();

    // The wait status once the program has ended and been reaped.
    std::optional<int> exitStatus() const { return m_status; }

    pid_t pid() const { return m_pid; }

    const std::string& error() const { return m_error; }

    // Every stdout line read so far, passed over or not.
    const std::vector<std::string>& lines() const { return m_lines; }

private:
    bool readMore(std::chrono::steady_clock::time_point deadline);
    void reap(bool block);
    void closeFds();

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    std::optional<int> m_status;
    std::string m_error;
    std::string m_partial;
    std::vector<std::string> m_lines;
    std::size_t m_nextLine = 0;
};

// The interpreter Debian's python3-pymodbus and python3-serial are installed for; a Python
// from elsewhere on PATH may lack them.
inline constexpr char kSystemPython[] = "/usr/bin/python3";

} // namespace quarin::test

// Where the peers live is known to the test binaries that build them (peers_test), so the
// helpers that name a peer exist only there.
#if defined(QUARIN_PEER_BIN_DIR) && defined(QUARIN_PEERS_DIR)
namespace quarin::test {

// The command line of a peer: "rtu_slave" or "tcp_slave" (built beside the test), or a script
// of tests/peers such as "scripted_slave.py" (run with kSystemPython), followed by args.
inline std::vector<std::string> peerCommand(std::string_view name,
                                            const std::vector<std::string>& args = {})
{
    std::vector<std::string> argv;
    if (name.ends_with(".py")) {
        argv.emplace_back(kSystemPython);
        argv.push_back(std::string(QUARIN_PEERS_DIR) + "/" + std::string(name));
    } else {
        argv.push_back(std::string(QUARIN_PEER_BIN_DIR) + "/" + std::string(name));
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

} // namespace quarin::test
#endif
