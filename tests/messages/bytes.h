#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarin::test {

using Bytes = std::vector<std::uint8_t>;

// "01 03 0A" -> {0x01, 0x03, 0x0A}; blanks between pairs are optional.
inline Bytes FromHex(std::string_view text)
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
inline std::string ToHex(std::span<const std::uint8_t> bytes)
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

inline Bytes FromText(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

inline std::string ToText(std::span<const std::uint8_t> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

} // namespace quarin::test
