#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quarin {

inline constexpr std::size_t kMbapHeaderSize = 7;
inline constexpr std::size_t kMaxTcpReply = 260;
inline constexpr std::uint16_t kModbusTcpPort = 502;
inline constexpr char kHeaderTooShort[] =
    "Too short of ModbusTCP/IP header data returned from socket recv operation.";
inline constexpr char kLengthOutOfBounds[] =
    "Out of bounds message size received in ModbusTCP/IP header information.";

// Fills bytes 0..6 of a frame of totalLength bytes whose PDU stands at byte 7; takes the
// identifier from transactionNo and advances it (wrapping 65535 -> 0). Returns the id sent.
std::uint16_t MbapHeader(std::span<std::uint8_t> frame,
                         std::size_t totalLength,
                         std::uint16_t& transactionNo,
                         int slaveId);

struct HeaderCheck
{
    const char* failure = nullptr; // one of the two texts above, or nullptr
    std::size_t length = 0;        // bytes that follow the first six
};

// The first receive of a reply: exactly six bytes, and a length low byte of 2..254.
HeaderCheck CheckMbapHeader(std::span<const std::uint8_t> firstReceive);
// Bytes 0..1 as an unsigned 16-bit big-endian number against the identifier sent.
bool TransactionIdMatches(std::span<const std::uint8_t> frame, std::uint16_t sent);

} // namespace quarin
