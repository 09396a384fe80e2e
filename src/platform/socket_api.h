#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quarin {

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

// What a send or a receive of the link came to: the bytes, or -1 with waitFailed telling a wait
// that ran out or failed from a failing call.
struct Transfer
{
    long bytes = -1;
    bool waitFailed = false;
};

// The socket calls of the TCP link. lastError() is the calling thread's last socket error: set
// by a failing call of this interface only, 0 until one fails.
class SocketApi
{
public:
    virtual ~SocketApi() = default;
    // Start-up and release of the socket library; counted, and no-ops where there is none.
    virtual bool startup() = 0;
    virtual void cleanup() = 0;
    // First IPv4 address of a host name, in dotted form.
    virtual std::optional<std::string> resolve(const std::string& hostName) = 0;
    // A blocking TCP stream connection to an IPv4 address (host byte order); kNoSocket on
    // failure, with lastError() set. Not bounded by any time-out; the halt cuts it short.
    virtual SocketHandle connect(std::uint32_t address, std::uint16_t port) = 0;
    // The link's two steps, each waiting at most `seconds` and only when its call would block.
    // sendFresh first drops whatever has already arrived unread (a stale reply).
    virtual Transfer
    sendFresh(SocketHandle s, std::span<const std::uint8_t> bytes, int seconds) = 0;
    virtual Transfer receiveWithin(SocketHandle s, std::span<std::uint8_t> buffer, int seconds) = 0;
    virtual void close(SocketHandle s) = 0;
    virtual int lastError() const = 0;
};

} // namespace quarin
