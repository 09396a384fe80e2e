#include "messages/framing.h"

#include <array>

namespace quarin {

namespace {

constexpr std::array<std::uint8_t, 16> kHexDigits{
    '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

// Two's complement of the 8-bit sum.
std::uint8_t LrcOf(std::span<const std::uint8_t> bytes)
{
    unsigned sum = 0;
    for (const std::uint8_t byte : bytes) {
        sum += byte;
    }
    const std::uint8_t lrc = (0u - sum) & 0xFFu;
    return lrc;
}

// The receiver knows '0'..'9' only by value; every other character, lower-case letters included,
// is taken as if it were 'A'..'F', so a foreign digit decodes to a wrong byte that the LRC refuses.
unsigned DigitValue(std::uint8_t character)
{
    const unsigned c = character & 0x7Fu;
    if (c >= '0' && c <= '9') {
        return c - 0x30u;
    }
    return (c - 0x37u) & 0xFFu;
}

} // namespace

std::uint16_t Crc16(std::span<const std::uint8_t> bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = (crc & 1u) != 0;
            crc >>= 1;
            if (carry) {
                crc ^= 0xA001u;
            }
        }
    }
    return crc;
}

void SplitWord(std::uint8_t& high, std::uint8_t& low, std::uint16_t value)
{
    high = static_cast<std::uint8_t>(value >> 8);
    low = static_cast<std::uint8_t>(value & 0xFFu);
}

std::uint16_t JoinWord(std::uint8_t high, std::uint8_t low)
{
    return static_cast<std::uint16_t>(high << 8 | low);
}

std::uint16_t LowWord(std::int64_t value)
{
    return static_cast<std::uint16_t>(value & 0xFFFF);
}

std::uint8_t LowByte(std::int64_t value)
{
    std::uint8_t high = 0;
    std::uint8_t low = 0;
    SplitWord(high, low, LowWord(value));
    return low;
}

void HexPair(std::uint8_t byte, std::uint8_t& high, std::uint8_t& low)
{
    high = kHexDigits[std::size_t{byte} / 16];
    low = kHexDigits[std::size_t{byte} % 16];
}

std::size_t AsciiEncode(std::span<std::uint8_t> buffer, std::size_t m)
{
    const std::size_t length = 2 * m + 5;
    if (buffer.size() < length) {
        return 0;
    }
    buffer[2 * m + 3] = '\r';
    buffer[2 * m + 4] = '\n';
    HexPair(LrcOf(buffer.first(m)), buffer[2 * m + 1], buffer[2 * m + 2]);
    // Backwards, so that no byte is overwritten before it has been converted.
    for (std::size_t k = m; k >= 1; --k) {
        HexPair(buffer[k - 1], buffer[2 * k - 1], buffer[2 * k]);
    }
    buffer[0] = ':';
    return length;
}

std::size_t AsciiDecode(std::span<std::uint8_t> buffer, std::size_t length)
{
    if (length > buffer.size()) {
        length = buffer.size();
    }
    if (length < 2) {
        return 0;
    }
    // The ':' and the CR LF are skipped unread; byte i is written behind the characters it
    // still has to read, so the conversion works in place.
    const std::size_t count = length / 2 - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned high = DigitValue(buffer[2 * i + 1]);
        const unsigned low = DigitValue(buffer[2 * i + 2]);
        const std::uint8_t byte = (high * 16u | low) & 0xFFu;
        buffer[i] = byte;
    }
    return count;
}

std::uint8_t Lrc(std::span<const std::uint8_t> decoded)
{
    if (decoded.size() <= 1) {
        return 0;
    }
    return LrcOf(decoded.first(decoded.size() - 1));
}

std::size_t AppendCrc(std::span<std::uint8_t> buffer, std::size_t m)
{
    if (buffer.size() < 2 || m > buffer.size() - 2) {
        return 0;
    }
    std::uint8_t high = 0;
    std::uint8_t low = 0;
    SplitWord(high, low, Crc16(buffer.first(m)));
    buffer[m] = low;
    buffer[m + 1] = high;
    return m + 2;
}

bool BinaryFrameOk(std::span<const std::uint8_t> frame)
{
    if (frame.size() < 2) {
        return false;
    }
    const std::size_t n = frame.size();
    return Crc16(frame.first(n - 2)) == JoinWord(frame[n - 1], frame[n - 2]);
}

bool AsciiFrameOk(std::span<const std::uint8_t> decoded)
{
    if (decoded.empty()) {
        return false;
    }
    return decoded.back() == Lrc(decoded);
}

std::size_t SerialFraming::encode(std::span<std::uint8_t> buffer, std::size_t m) const
{
    return ascii() ? AsciiEncode(buffer, m) : AppendCrc(buffer, m);
}

std::size_t SerialFraming::decode(std::span<std::uint8_t> buffer, std::size_t length) const
{
    return ascii() ? AsciiDecode(buffer, length) : length;
}

bool SerialFraming::verify(std::span<const std::uint8_t> decoded) const
{
    return ascii() ? AsciiFrameOk(decoded) : BinaryFrameOk(decoded);
}

} // namespace quarin
