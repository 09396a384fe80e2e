#include "support/fake_platform.h"

#include <algorithm>
#include <thread>

namespace quarin::test {

TimeStamp FakeClock::now()
{
    const std::uint64_t ms = m_nowMs;
    return {static_cast<std::uint32_t>(ms / 1000), static_cast<std::uint32_t>(ms % 1000)};
}

void FakeClock::sleepMs(int ms)
{
    m_sleeps.push_back(ms);
    m_nowMs += static_cast<std::uint64_t>(std::max(0, ms));
}

namespace {

class FakeSerialPort : public SerialPort
{
public:
    FakeSerialPort(FakeClock& clock,
                   const SerialScript& script,
                   std::shared_ptr<SerialLog> log,
                   std::function<void(SerialLog&)> onRead)
        : m_clock(clock), m_script(script), m_log(std::move(log)), m_onRead(std::move(onRead))
    {}

    ~FakeSerialPort() override { close(); }

    void purge() override { m_log->purged = true; }

    bool configure(const LineSettings& settings) override
    {
        m_log->line = settings;
        return !m_script.configureFails;
    }

    void raiseDtr() override { m_log->dtr = true; }

    IoResult write(std::span<const std::uint8_t> bytes, int /*timeoutMs*/) override
    {
        if (m_script.writeFails) {
            return {false, 0};
        }
        m_log->writes.emplace_back(bytes.begin(), bytes.end());
        return {true, m_script.writeCount.value_or(bytes.size())};
    }

    IoResult read(std::span<std::uint8_t> buffer, int timeoutMs) override
    {
        const int call = m_reads++;
        m_log->readSizes.push_back(buffer.size());
        if (m_onRead) {
            m_onRead(*m_log);
        }
        if (call == m_script.failRead) {
            return {false, 0};
        }
        const std::size_t index = static_cast<std::size_t>(call);
        const Bytes data = index < m_script.reads.size() ? m_script.reads[index] : Bytes{};
        const std::size_t n = std::min(data.size(), buffer.size());
        std::copy_n(data.begin(), n, buffer.begin());
        m_clock.advance(n < buffer.size() ? static_cast<std::uint64_t>(timeoutMs)
                                          : m_script.replyDelayMs);
        return {true, n};
    }

    void clearErrors() override { ++m_log->clearErrors; }

    std::optional<Rs485Mode> rs485() const override { return m_script.rs485; }

    void close() override
    {
        m_log->closed = true;
        m_log->open = false;
    }

private:
    FakeClock& m_clock;
    SerialScript m_script;
    std::shared_ptr<SerialLog> m_log;
    std::function<void(SerialLog&)> m_onRead;
    int m_reads = 0;
};

} // namespace

std::string FakeSerialPorts::devicePath(int portIndex) const
{
    return portIndex >= 1 && portIndex <= 16 ? "COM" + std::to_string(portIndex) : std::string();
}

std::unique_ptr<SerialPort> FakeSerialPorts::open(int portIndex)
{
    if (script.openFails || devicePath(portIndex).empty()) {
        m_lastOpenError = script.openError;
        return nullptr;
    }
    auto log = std::make_shared<SerialLog>();
    log->path = devicePath(portIndex);
    log->open = true;
    opened.push_back(log);
    return std::make_unique<FakeSerialPort>(m_clock, script, log, onRead);
}

bool FakeSocketApi::startup()
{
    if (startupFails) {
        return false;
    }
    ++startups;
    return true;
}

void FakeSocketApi::cleanup()
{
    ++cleanups;
}

std::optional<std::string> FakeSocketApi::resolve(const std::string& hostName)
{
    resolved.push_back(hostName);
    auto it = hosts.find(hostName);
    if (it == hosts.end() || it->second.empty()) {
        return std::nullopt;
    }
    std::string answer = it->second.front();
    if (it->second.size() > 1) {
        it->second.erase(it->second.begin());
    }
    if (answer.empty()) {
        return std::nullopt;
    }
    return answer;
}

SocketHandle FakeSocketApi::connect(std::uint32_t address, std::uint16_t port)
{
    connects.emplace_back(address, port);
    if (connectError) {
        m_lastError = *connectError;
        return kNoSocket;
    }
    ++open;
    steps.clear();
    return m_next++;
}

Transfer
FakeSocketApi::sendFresh(SocketHandle /*s*/, std::span<const std::uint8_t> bytes, int seconds)
{
    discardPending();
    if (!writable(seconds)) {
        return {-1, true};
    }
    return {send(bytes), false};
}

Transfer
FakeSocketApi::receiveWithin(SocketHandle /*s*/, std::span<std::uint8_t> buffer, int seconds)
{
    if (!readable(seconds)) {
        return {-1, true};
    }
    return {recv(buffer), false};
}

bool FakeSocketApi::writable(int seconds)
{
    waitSeconds.push_back(seconds);
    if (writableTimesOut) {
        m_clock.advance(static_cast<std::uint64_t>(seconds) * 1000);
        m_lastError = lastErrorAfterTimeout != 0 ? lastErrorAfterTimeout : m_lastError;
        return false;
    }
    return true;
}

bool FakeSocketApi::readable(int seconds)
{
    waitSeconds.push_back(seconds);
    if (steps.empty() || steps.front().kind == SocketStep::Silence) {
        if (!steps.empty()) {
            steps.pop_front();
        }
        m_clock.advance(static_cast<std::uint64_t>(seconds) * 1000);
        m_lastError = lastErrorAfterTimeout != 0 ? lastErrorAfterTimeout : m_lastError;
        return false;
    }
    m_clock.advance(2);
    return true;
}

long FakeSocketApi::send(std::span<const std::uint8_t> bytes)
{
    if (sendError) {
        m_lastError = *sendError;
        return -1;
    }
    const Bytes request(bytes.begin(), bytes.end());
    sent.push_back(request);
    std::vector<SocketStep> answer;
    if (!replies.empty()) {
        answer = replies.front();
        replies.pop_front();
    } else if (slave) {
        answer = slave(request);
    }
    steps.insert(steps.end(), answer.begin(), answer.end());
    return sendCount.value_or(static_cast<long>(bytes.size()));
}

long FakeSocketApi::recv(std::span<std::uint8_t> buffer)
{
    if (steps.empty() || steps.front().kind == SocketStep::Silence) {
        m_lastError = 11; // EAGAIN
        return -1;
    }
    SocketStep& step = steps.front();
    if (step.kind == SocketStep::Close) {
        steps.pop_front();
        return 0;
    }
    if (step.kind == SocketStep::Fail) {
        m_lastError = step.error;
        steps.pop_front();
        return -1;
    }
    const std::size_t n = std::min(step.bytes.size(), buffer.size());
    std::copy_n(step.bytes.begin(), n, buffer.begin());
    step.bytes.erase(step.bytes.begin(), step.bytes.begin() + static_cast<long>(n));
    if (step.bytes.empty()) {
        steps.pop_front();
    }
    return static_cast<long>(n);
}

void FakeSocketApi::discardPending()
{
    ++discards;
    while (!steps.empty() && steps.front().kind == SocketStep::Data) {
        steps.pop_front();
    }
}

void FakeSocketApi::close(SocketHandle /*s*/)
{
    ++closes;
    --open;
    steps.clear();
}

std::optional<std::string> InMemoryFileSystem::readAll(const std::string& path)
{
    auto it = files.find(path);
    if (it == files.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool InMemoryFileSystem::replace(const std::string& path, std::string_view contents)
{
    if (replaceFails) {
        return false;
    }
    files[path] = std::string(contents);
    return true;
}

bool InMemoryFileSystem::remove(const std::string& path)
{
    removed.push_back(path);
    return files.erase(path) > 0;
}

int InMemoryFileSystem::appendLocked(const std::string& path, std::string_view line)
{
    if (appendError != 0) {
        return appendError;
    }
    files[path] += line;
    return 0;
}

bool RecordingProgramStarter::start(const std::vector<std::string>& argv, bool hidden)
{
    started.push_back(argv);
    hiddenFlags.push_back(hidden);
    return true;
}

bool RecordingProgramStarter::exists(const std::string& /*path*/) const
{
    return arpInstalled;
}

void FakeWorkerStarter::start(std::function<void()> body)
{
    ++m_started;
    m_bodies.push_back(std::move(body));
}

bool FakeWorkerStarter::runNext()
{
    if (m_bodies.empty()) {
        return false;
    }
    std::function<void()> body = std::move(m_bodies.front());
    m_bodies.pop_front();
    body();
    return true;
}

void DetachedWorkers::start(std::function<void()> body)
{
    ++m_running;
    std::thread([this, body = std::move(body)] {
        body();
        --m_running;
    }).detach();
}

} // namespace quarin::test
