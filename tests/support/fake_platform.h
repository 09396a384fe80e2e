#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/serial_port.h"
#include "platform/socket_api.h"
#include "support/bytes.h"

namespace quarin::test {

// Time that moves only when the code waits: a read that times out advances it by its deadline,
// so transaction times are exact.
class FakeClock : public Clock
{
public:
    TimeStamp now() override;

    std::string localTimeText() override { return m_localTime; }

    void sleepMs(int ms) override;

    void advance(std::uint64_t ms) { m_nowMs += ms; }

    std::uint64_t nowMs() const { return m_nowMs; }

    std::vector<int> sleeps() const { return m_sleeps; }

    void setLocalTime(std::string text) { m_localTime = std::move(text); }

private:
    std::atomic<std::uint64_t> m_nowMs{100000};
    std::vector<int> m_sleeps;
    std::string m_localTime = "12/06/26 08:04:00";
};

// One scripted serial exchange: what each step does.
struct SerialScript
{
    bool openFails = false;
    int openError = 16; // EBUSY
    bool configureFails = false;
    bool writeFails = false;
    std::optional<std::size_t> writeCount; // bytes reported written; default all
    // One entry per read call, in order; missing entries read nothing. A reply shorter than asked
    // costs the whole time-out; one longer is cut to what was asked.
    std::vector<Bytes> reads;
    int failRead = -1;              // index of the read call that fails
    std::uint64_t replyDelayMs = 3; // time a complete reply takes
    std::optional<Rs485Mode> rs485; // how the kernel drives the port's RS-485 direction
};

struct SerialLog
{
    std::string path;
    LineSettings line;
    bool purged = false;
    bool dtr = false;
    std::vector<Bytes> writes;
    std::vector<std::size_t> readSizes;
    int clearErrors = 0;
    bool closed = false;
    bool open = false;
};

class FakeSerialPorts : public SerialPorts
{
public:
    explicit FakeSerialPorts(FakeClock& clock) : m_clock(clock) {}

    std::string devicePath(int portIndex) const override;
    std::unique_ptr<SerialPort> open(int portIndex) override;

    int lastOpenError() const override { return m_lastOpenError; }

    SerialScript script;
    std::vector<std::shared_ptr<SerialLog>> opened; // one per successful open

    std::shared_ptr<SerialLog> last() const { return opened.empty() ? nullptr : opened.back(); }

    // Called at each read, with the log so far, before the scripted bytes are returned.
    std::function<void(SerialLog&)> onRead;

private:
    FakeClock& m_clock;
    int m_lastOpenError = 0;
};

struct SocketStep
{
    enum Kind
    {
        Data,    // the chunk arrives
        Close,   // recv returns 0
        Fail,    // recv returns -1 with error
        Silence, // the read wait times out
    };

    Kind kind = Data;
    Bytes bytes;
    int error = 104; // ECONNRESET
};

class FakeSocketApi : public SocketApi
{
public:
    explicit FakeSocketApi(FakeClock& clock) : m_clock(clock) {}

    bool startup() override;
    void cleanup() override;
    std::optional<std::string> resolve(const std::string& hostName) override;
    SocketHandle connect(std::uint32_t address, std::uint16_t port) override;
    // Each waits first, then makes its call.
    Transfer sendFresh(SocketHandle s, std::span<const std::uint8_t> bytes, int seconds) override;
    Transfer receiveWithin(SocketHandle s, std::span<std::uint8_t> buffer, int seconds) override;
    void close(SocketHandle s) override;

    int lastError() const override { return m_lastError; }

    // Scripts.
    bool startupFails = false; // the socket library will not start
    // name -> answers, one per resolve, the last one repeated; an empty answer fails.
    std::map<std::string, std::vector<std::string>> hosts;
    std::optional<int> connectError; // connection refused with this errno
    bool writableTimesOut = false;
    std::optional<int> sendError;
    std::optional<long> sendCount; // a partial send
    // The slave's answer to each request, one entry per request, in order; then `slave` answers.
    std::deque<std::vector<SocketStep>> replies;
    std::function<std::vector<SocketStep>(const Bytes& request)> slave;
    std::deque<SocketStep> steps;  // what has arrived or will, consumed by waits and receives
    int lastErrorAfterTimeout = 0; // what a timed-out wait leaves behind

    // Record.
    std::vector<std::string> resolved;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> connects;
    std::vector<Bytes> sent;
    std::vector<int> waitSeconds;
    int startups = 0;
    int cleanups = 0;
    int closes = 0;
    int discards = 0;
    int open = 0; // sockets connected and not closed

private:
    // false when the wait runs out.
    bool writable(int seconds);
    bool readable(int seconds);
    long send(std::span<const std::uint8_t> bytes);
    long recv(std::span<std::uint8_t> buffer);
    void discardPending();

    FakeClock& m_clock;
    int m_lastError = 0;
    SocketHandle m_next = 10;
};

class InMemoryFileSystem : public FileSystem
{
public:
    std::optional<std::string> readAll(const std::string& path) override;
    bool replace(const std::string& path, std::string_view contents) override;
    bool remove(const std::string& path) override;
    int appendLocked(const std::string& path, std::string_view line) override;

    std::map<std::string, std::string> files;
    int appendError = 0; // errno every append fails with
    bool replaceFails = false;
    std::vector<std::string> removed;
};

class RecordingProgramStarter : public ProgramStarter
{
public:
    bool start(const std::vector<std::string>& argv, bool hidden) override;
    bool exists(const std::string& path) const override;

    std::vector<std::vector<std::string>> started;
    std::vector<bool> hiddenFlags;
    bool arpInstalled = true;
};

// Keeps the bodies until the test runs them, on the thread that asks.
class FakeWorkerStarter : public WorkerStarter
{
public:
    void start(std::function<void()> body) override;

    int running() const override { return static_cast<int>(m_bodies.size()); }

    bool runNext();

    int startedCount() const { return m_started; }

private:
    std::deque<std::function<void()>> m_bodies;
    int m_started = 0;
};

// Runs every body on a detached thread of its own, as the console's real workers run.
class DetachedWorkers : public WorkerStarter
{
public:
    void start(std::function<void()> body) override;

    int running() const override { return m_running; }

private:
    std::atomic<int> m_running{0};
};

class FakeHalt : public HaltSignal
{
public:
    void raise() override { m_raised = true; }

    bool raised() const override { return m_raised; }

private:
    std::atomic<bool> m_raised{false};
};

// Everything a console needs, faked.
struct FakePlatform
{
    FakeClock clock;
    FakeSerialPorts serial{clock};
    FakeSocketApi sockets{clock};
    InMemoryFileSystem files;
    RecordingProgramStarter programs;
    FakeWorkerStarter workers;
    FakeHalt halt;
    Platform platform{serial, sockets, clock, workers, files, programs, halt};
};

} // namespace quarin::test
