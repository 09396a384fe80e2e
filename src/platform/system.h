#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarin {

// Starts worker threads. Nothing waits on a worker from the window's thread without a bound.
class WorkerStarter
{
public:
    virtual ~WorkerStarter() = default;
    virtual void start(std::function<void()> body) = 0;
    // Workers started and not yet returned.
    virtual int running() const = 0;
};

class FileSystem
{
public:
    virtual ~FileSystem() = default;
    virtual std::optional<std::string> readAll(const std::string& path) = 0;
    // Never leaves a short file behind: written beside the target and renamed over it.
    virtual bool replace(const std::string& path, std::string_view contents) = 0;
    virtual bool remove(const std::string& path) = 0;
    // Appends one line in one write, under a lock that every process appending to the same file
    // shares; returns 0 or the errno of the failing step.
    virtual int appendLocked(const std::string& path, std::string_view line) = 0;
};

// Starts a program without a shell, detached, never waited for, reaped.
class ProgramStarter
{
public:
    virtual ~ProgramStarter() = default;
    virtual bool start(const std::vector<std::string>& argv, bool hidden) = 0;
    virtual bool exists(const std::string& path) const = 0;
};

// The console's halt: once raised, every blocking wait of the adapters returns early.
class HaltSignal
{
public:
    virtual ~HaltSignal() = default;
    virtual void raise() = 0;
    virtual bool raised() const = 0;
};

class SerialPorts;
class SocketApi;
class Clock;

struct Platform
{
    SerialPorts& serial;
    SocketApi& sockets;
    Clock& clock;
    WorkerStarter& workers;
    FileSystem& files;
    ProgramStarter& programs;
    HaltSignal& halt;
};

} // namespace quarin
