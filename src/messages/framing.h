#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quarin {

inline constexpr char kCrcMismatch[] = "CRC calculation does not match what was received";

// CRC-16/MODBUS as the register value (0x0A84 for 01 03 00 00 00 01); it travels low byte first.
std::uint16_t Crc16(std::span<const std::uint8_t> bytes);
void SplitWord(std::uint8_t& high, std::uint8_t& low, std::uint16_t value);
std::uint16_t JoinWord(std::uint8_t high, std::uint8_t low);
// The number modulo 65536 (or 256): how settings and values become 16-bit fields and bytes.
std::uint16_t LowWord(std::int64_t value);
std::uint8_t LowByte(std::int64_t value);
// Upper-case hex digits of one byte, high nibble first.
void HexPair(std::uint8_t byte, std::uint8_t& high, std::uint8_t& low);

// In place: the m message bytes at the start of buffer become the ASCII frame of 2m + 5
// characters. Returns that length, or 0 when the buffer cannot hold it.
std::size_t AsciiEncode(std::span<std::uint8_t> buffer, std::size_t m);
// In place: L received characters become floor(L/2) - 1 bytes, returned as that count (0 for
// L < 4). L is bounded by the buffer; position 0 and the last characters are never examined.
std::size_t AsciiDecode(std::span<std::uint8_t> buffer, std::size_t length);
// LRC of all but the last byte, which is the received LRC; 0 for one byte or none.
std::uint8_t Lrc(std::span<const std::uint8_t> decoded);

// Appends the CRC (low byte first) behind the m message bytes; returns m + 2, or 0 when the buffer
// is too small.
std::size_t AppendCrc(std::span<std::uint8_t> buffer, std::size_t m);
// Binary frame: CRC of all but the last two bytes equals the last two, low byte first.
bool BinaryFrameOk(std::span<const std::uint8_t> frame);
// Decoded ASCII frame: the last byte equals the LRC of the bytes before it.
bool AsciiFrameOk(std::span<const std::uint8_t> decoded);

enum SerialFrameKind
{
    BinaryFrame, // RTU and Jbus: the message, then its CRC
    AsciiFrame   // ':', hex pairs of the message and its LRC, CR LF
};

// One framing of a serial line, chosen once per transaction.
class SerialFraming
{
public:
    explicit SerialFraming(SerialFrameKind kind) : m_kind(kind) {}

    bool ascii() const { return m_kind == AsciiFrame; }

    // In place: the m message bytes at the start of buffer become the frame; its length, or 0
    // when the buffer cannot hold it.
    std::size_t encode(std::span<std::uint8_t> buffer, std::size_t m) const;
    // In place: length received bytes become the message and its check bytes; their count.
    std::size_t decode(std::span<std::uint8_t> buffer, std::size_t length) const;
    // A decoded frame: its check bytes match the bytes before them.
    bool verify(std::span<const std::uint8_t> decoded) const;

    // The check bytes behind a decoded message: 2 (CRC) or 1 (LRC).
    std::size_t checkBytes() const { return ascii() ? 1 : 2; }

    // What m message bytes are on the line.
    std::size_t frameLength(std::size_t m) const { return ascii() ? 2 * m + 5 : m + 2; }

private:
    SerialFrameKind m_kind;
};

} // namespace quarin
