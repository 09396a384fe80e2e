#include "messages/value_views.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <initializer_list>

#include "messages/format_text.h"
#include "messages/value_text.h"

namespace quarin {

namespace {

std::string pairLine(std::string_view firstName,
                     std::string_view secondName,
                     const char* order,
                     std::uint32_t bits)
{
    return formatText("%.*s-%.*s %s: %lu unsigned, %ld signed, float %s",
                      static_cast<int>(firstName.size()),
                      firstName.data(),
                      static_cast<int>(secondName.size()),
                      secondName.data(),
                      order,
                      static_cast<unsigned long>(bits),
                      static_cast<long>(static_cast<std::int32_t>(bits)),
                      FloatText(bits).c_str());
}

} // namespace

std::optional<std::uint16_t> ParseRegisterText(std::string_view text, bool hex)
{
    if (text.empty()) {
        return std::nullopt;
    }
    const unsigned base = hex ? 16 : 10;
    std::uint32_t value = 0;
    for (char c : text) {
        const int digit = HexDigitValue(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) {
            return std::nullopt;
        }
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFF) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint16_t>(value);
}

std::string BinaryText(std::uint16_t value)
{
    std::string text;
    for (int bit = 15; bit >= 0; --bit) {
        text += ((value >> bit) & 1) != 0 ? '1' : '0';
        if (bit % 4 == 0 && bit != 0) {
            text += ' ';
        }
    }
    return text;
}

std::string ByteCharacters(std::uint16_t value)
{
    std::string text;
    for (const unsigned byte : {unsigned{value} >> 8, unsigned{value} & 0xFFu}) {
        if (!text.empty()) {
            text += ' ';
        }
        text += '\'';
        if (byte == '\'' || byte == '\\') {
            text += '\\';
            text += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
        } else {
            text += formatText("\\x%02X", byte);
        }
        text += '\'';
    }
    return text;
}

std::string FloatText(std::uint32_t bits)
{
    const float value = std::bit_cast<float>(bits);
    if (std::isnan(value)) {
        // The top bit of the fraction tells a quiet NaN from a signalling one.
        return (bits & 0x00400000u) != 0 ? "NaN (quiet)" : "NaN (signalling)";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+infinity" : "-infinity";
    }
    char digits[32];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
    std::string text(digits, written.ptr);
    if (std::fpclassify(value) == FP_SUBNORMAL) {
        text += " (denormal)";
    }
    return text;
}

std::string RegisterViews(std::string_view name, std::uint16_t value)
{
    return formatText("%.*s: %u unsigned, %d signed, 0x%04X\nbinary %s, characters %s",
                      static_cast<int>(name.size()),
                      name.data(),
                      unsigned{value},
                      int{static_cast<std::int16_t>(value)},
                      unsigned{value},
                      BinaryText(value).c_str(),
                      ByteCharacters(value).c_str());
}

std::string PairViews(std::string_view firstName,
                      std::string_view secondName,
                      std::uint16_t first,
                      std::uint16_t second)
{
    const std::uint32_t highFirst = std::uint32_t{first} << 16 | second;
    const std::uint32_t lowFirst = std::uint32_t{second} << 16 | first;
    return pairLine(firstName, secondName, "high word first", highFirst) + '\n' +
           pairLine(firstName, secondName, "low word first", lowFirst);
}

} // namespace quarin
