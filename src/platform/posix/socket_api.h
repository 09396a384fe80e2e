#pragma once

#include <atomic>

#include "platform/socket_api.h"

namespace quarin::posix {

class EventFdHalt;

enum class WaitResult
{
    Ready,
    TimedOut,
    Failed
};

// BSD sockets. Every wait, the connection attempt included, also ends when the halt is raised;
// a halted call fails with ECANCELED as its error.
class PosixSocketApi : public SocketApi
{
public:
    explicit PosixSocketApi(const EventFdHalt& halt);

    bool startup() override;
    void cleanup() override;
    std::optional<std::string> resolve(const std::string& hostName) override;
    SocketHandle connect(std::uint32_t address, std::uint16_t port) override;
    // Each tries its call first and waits only when it would block.
    Transfer sendFresh(SocketHandle s, std::span<const std::uint8_t> bytes, int seconds) override;
    Transfer receiveWithin(SocketHandle s, std::span<std::uint8_t> buffer, int seconds) override;
    void close(SocketHandle s) override;
    int lastError() const override;

    // The single calls the two steps are made of; each sets lastError() as the steps do. -1 on
    // failure.
    WaitResult waitWritable(SocketHandle s, int seconds);
    WaitResult waitReadable(SocketHandle s, int seconds);
    long send(SocketHandle s, std::span<const std::uint8_t> bytes);
    long recv(SocketHandle s, std::span<std::uint8_t> buffer);
    // Drops whatever has already arrived and not been read.
    void discardPending(SocketHandle s);

    // Start-ups not yet released.
    int startups() const { return m_startups.load(); }

private:
    WaitResult wait(SocketHandle s, short events, int seconds);
    // What the waits would say before any call is made: a closed handle, or the halt.
    bool refuse(SocketHandle s);

    const EventFdHalt& m_halt;
    std::atomic<int> m_startups{0};
};

} // namespace quarin::posix
