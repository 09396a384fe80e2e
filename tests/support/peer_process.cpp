#include "support/peer_process.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quarin::test {

namespace {

using SteadyClock = std::chrono::steady_clock;

int msUntil(SteadyClock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

std::string systemError(std::string_view what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

} // namespace

PeerProcess::~PeerProcess()
{
    stop();
}

bool PeerProcess::start(const std::vector<std::string>& argv)
{
    if (m_pid >= 0) {
        m_error = "a program is already running";
        return false;
    }
    if (argv.empty()) {
        m_error = "no program given";
        return false;
    }
    m_status.reset();
    m_error.clear();
    m_partial.clear();
    m_lines.clear();
    m_nextLine = 0;

    // stdin is a socket so that writing to a program that has gone can use MSG_NOSIGNAL instead
    // of raising SIGPIPE in the test.
    int stdinPair[2] = {-1, -1};
    int stdoutPipe[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stdinPair) != 0) {
        m_error = systemError("socketpair", errno);
        return false;
    }
    if (pipe2(stdoutPipe, O_CLOEXEC) != 0) {
        m_error = systemError("pipe2", errno);
        close(stdinPair[0]);
        close(stdinPair[1]);
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdinPair[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stdoutPipe[1], STDOUT_FILENO);
    // Nothing else of the test (pty masters, sockets under test) may stay open in the peer:
    // a descriptor it kept would hide a hang-up or a close from the code under test.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int number : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
        sigaddset(&defaults, number);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(stdinPair[1]);
    close(stdoutPipe[1]);
    if (rc != 0) {
        close(stdinPair[0]);
        close(stdoutPipe[0]);
        m_error = systemError("cannot start " + argv[0], rc);
        return false;
    }
    m_pid = pid;
    m_stdin = stdinPair[0];
    m_stdout = stdoutPipe[0];
    fcntl(m_stdout, F_SETFL, fcntl(m_stdout, F_GETFL) | O_NONBLOCK);
    return true;
}

bool PeerProcess::readMore(SteadyClock::time_point deadline)
{
    if (m_stdout < 0) {
        return false;
    }
    pollfd fd = {m_stdout, POLLIN, 0};
    const int ready = poll(&fd, 1, msUntil(deadline));
    if (ready < 0) {
        return errno == EINTR;
    }
    if (ready == 0) {
        return false;
    }
    char chunk[4096];
    const ssize_t got = read(m_stdout, chunk, sizeof chunk);
    if (got < 0) {
        return errno == EINTR || errno == EAGAIN;
    }
    if (got == 0) {
        // The program closed its stdout: an unfinished last line still counts.
        if (!m_partial.empty()) {
            m_lines.push_back(m_partial);
            m_partial.clear();
        }
        close(m_stdout);
        m_stdout = -1;
        return true;
    }
    m_partial.append(chunk, static_cast<std::size_t>(got));
    for (auto end = m_partial.find('\n'); end != std::string::npos; end = m_partial.find('\n')) {
        std::string line = m_partial.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        m_lines.push_back(std::move(line));
        m_partial.erase(0, end + 1);
    }
    return true;
}

std::optional<std::string> PeerProcess::waitForLine(std::string_view prefix,
                                                    std::chrono::milliseconds timeout)
{
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        while (m_nextLine < m_lines.size()) {
            const std::string& line = m_lines[m_nextLine++];
            if (line.starts_with(prefix)) {
                return line;
            }
        }
        if (m_stdout < 0 || SteadyClock::now() >= deadline) {
            return std::nullopt;
        }
        readMore(deadline);
    }
}

std::optional<int> PeerProcess::waitForPort(std::chrono::milliseconds timeout)
{
    const auto line = waitForLine("PORT ", timeout);
    if (!line) {
        return std::nullopt;
    }
    int port = 0;
    const char* first = line->data() + 5;
    const char* last = line->data() + line->size();
    const auto [end, error] = std::from_chars(first, last, port);
    if (error != std::errc() || end != last || port <= 0 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

bool PeerProcess::sendLine(std::string_view line)
{
    if (m_stdin < 0) {
        return false;
    }
    std::string data(line);
    data += '\n';
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t rc = send(m_stdin, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        sent += static_cast<std::size_t>(rc);
    }
    return true;
}

std::optional<std::string> PeerProcess::ask(std::string_view line,
                                            std::string_view answerPrefix,
                                            std::chrono::milliseconds timeout)
{
    if (!sendLine(line)) {
        return std::nullopt;
    }
    return waitForLine(answerPrefix, timeout);
}

void PeerProcess::reap(bool block)
{
    if (m_pid < 0) {
        return;
    }
    int status = 0;
    pid_t rc = -1;
    do {
        rc = waitpid(m_pid, &status, block ? 0 : WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc == m_pid) {
        m_status = status;
        m_pid = -1;
    } else if (rc < 0) {
        // Someone else reaped it (a SIGCHLD handler of the code under test, say).
        m_pid = -1;
    }
}

bool PeerProcess::running()
{
    reap(false);
    return m_pid >= 0;
}

std::optional<int> PeerProcess::stop(std::chrono::milliseconds grace)
{
    if (m_stdin >= 0) {
        close(m_stdin);
        m_stdin = -1;
    }
    // Woken by the program's end; where the kernel gives no pidfd, it is looked for every 10 ms.
    const int ended = m_pid >= 0 ? static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0)) : -1;
    // Keep draining stdout meanwhile: a program blocked on a full pipe never sees stdin close.
    const auto waitGone = [this, ended](std::chrono::milliseconds period) {
        const auto deadline = SteadyClock::now() + period;
        while (running() && SteadyClock::now() < deadline) {
            pollfd fds[2] = {{m_stdout, POLLIN, 0}, {ended, POLLIN, 0}};
            if (poll(fds, 2, ended >= 0 ? msUntil(deadline) : 10) > 0 && fds[0].revents != 0) {
                readMore(SteadyClock::now());
            }
        }
        return m_pid < 0;
    };
    if (m_pid >= 0 && !waitGone(grace)) {
        kill(m_pid, SIGTERM);
        if (!waitGone(grace)) {
            kill(m_pid, SIGKILL);
            reap(true);
        }
    }
    if (ended >= 0) {
        close(ended);
    }
    closeFds();
    return m_status;
}

void PeerProcess::closeFds()
{
    for (int* fd : {&m_stdin, &m_stdout}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

} // namespace quarin::test
