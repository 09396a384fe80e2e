#pragma once

// Bytes as the tests write them: hex text in and out, and frames built as a slave builds them,
// with the check values of reference_crc.h rather than the code under test.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/reference_crc.h"

namespace quarin::test {

using Bytes = std::vector<std::uint8_t>;

// "01 03 0A" -> {0x01, 0x03, 0x0A}; blanks between pairs are optional.
inline Bytes hexBytes(std::string_view text)
{
    Bytes bytes;
    int high = -1;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    return bytes;
}

// The inverse, so that failures print as the frames are written in the tests.
inline std::string toHex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[byte / 16];
        text += kDigits[byte % 16];
    }
    return text;
}

inline std::string toHex(const Bytes& bytes)
{
    return toHex(std::span(bytes));
}

inline Bytes toBytes(std::span<const std::uint8_t> bytes)
{
    return Bytes(bytes.begin(), bytes.end());
}

inline Bytes textBytes(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

inline std::string toText(std::span<const std::uint8_t> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

inline Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The message with its CRC behind it, low byte first.
inline Bytes withCrc(std::span<const std::uint8_t> message)
{
    Bytes frame = toBytes(message);
    const std::uint16_t crc = referenceCrc16(message);
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFFu));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

inline Bytes withCrc(std::string_view hex)
{
    return withCrc(hexBytes(hex));
}

// ':' + upper-case hex pairs + LRC + CR LF.
inline Bytes asciiFrame(std::span<const std::uint8_t> message)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    Bytes frame{':'};
    auto pair = [&](std::uint8_t b) {
        frame.push_back(static_cast<std::uint8_t>(kDigits[b >> 4]));
        frame.push_back(static_cast<std::uint8_t>(kDigits[b & 0x0Fu]));
    };
    for (const std::uint8_t b : message) {
        pair(b);
    }
    pair(referenceLrc(message));
    frame.push_back('\r');
    frame.push_back('\n');
    return frame;
}

inline Bytes asciiFrame(std::string_view hex)
{
    return asciiFrame(hexBytes(hex));
}

// A Modbus TCP frame: identifier, protocol, the length of what follows, then unit and PDU.
inline Bytes
mbap(std::uint16_t id, std::span<const std::uint8_t> unitAndPdu, std::uint16_t protocolId = 0)
{
    const std::size_t length = unitAndPdu.size();
    // Sized first: g++ 12 at -O2 warns falsely (-Warray-bounds) on an insert behind a braced list.
    Bytes frame(6 + length);
    frame[0] = static_cast<std::uint8_t>(id >> 8);
    frame[1] = static_cast<std::uint8_t>(id & 0xFFu);
    frame[2] = static_cast<std::uint8_t>(protocolId >> 8);
    frame[3] = static_cast<std::uint8_t>(protocolId & 0xFFu);
    frame[4] = static_cast<std::uint8_t>((length >> 8) & 0xFFu);
    frame[5] = static_cast<std::uint8_t>(length & 0xFFu);
    std::copy(unitAndPdu.begin(), unitAndPdu.end(), frame.begin() + 6);
    return frame;
}

} // namespace quarin::test
