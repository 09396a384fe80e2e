#include "messages/value_text.h"

#include <limits>

#include "messages/format_text.h"

namespace quarin {

namespace {

constexpr std::int64_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kIntMin = std::numeric_limits<std::int32_t>::min();
// Far enough past both limits that a saturated magnitude still says which way it overflowed.
constexpr std::int64_t kMagnitudeCap = 4 * kIntMax;

bool IsBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}

bool IsWhiteSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDecimalDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Skips white space and takes an optional sign; returns the position of what follows.
std::size_t SkipToDigits(std::string_view text, bool& negative)
{
    std::size_t at = 0;
    while (at < text.size() && IsWhiteSpace(text[at])) {
        ++at;
    }
    negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    return at;
}

std::int32_t Saturated(bool negative, std::int64_t magnitude)
{
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > kIntMax) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value < kIntMin) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<int> ParseStrictInteger(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && IsBlankOrTab(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    const std::size_t digitsBegin = at;
    std::int64_t magnitude = 0;
    while (at < text.size() && IsDecimalDigit(text[at])) {
        if (magnitude <= kMagnitudeCap) {
            magnitude = magnitude * 10 + (text[at] - '0');
        }
        ++at;
    }
    if (at == digitsBegin) {
        return std::nullopt;
    }
    while (at < text.size() && IsBlankOrTab(text[at])) {
        ++at;
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::int32_t LeadingDecimal(std::string_view text)
{
    bool negative = false;
    std::size_t at = SkipToDigits(text, negative);
    std::int64_t magnitude = 0;
    while (at < text.size() && IsDecimalDigit(text[at])) {
        if (magnitude <= kMagnitudeCap) {
            magnitude = magnitude * 10 + (text[at] - '0');
        }
        ++at;
    }
    return Saturated(negative, magnitude);
}

std::int32_t LeadingHex(std::string_view text)
{
    bool negative = false;
    std::size_t at = SkipToDigits(text, negative);
    if (at + 1 < text.size() && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        at += 2; // without digits behind it the prefix reads as the 0 it starts with
    }
    // As "%x" into an unsigned: the number modulo 2^32, the sign negating that pattern.
    std::uint32_t pattern = 0;
    for (; at < text.size() && HexDigitValue(text[at]) >= 0; ++at) {
        pattern = pattern * 16u + static_cast<std::uint32_t>(HexDigitValue(text[at]));
    }
    if (negative) {
        pattern = 0u - pattern;
    }
    return static_cast<std::int32_t>(pattern);
}

std::int32_t ParseWriteValue(std::string_view text, bool hex)
{
    if (!hex) {
        return LeadingDecimal(text);
    }
    const std::int32_t low = LeadingHex(text) & 0xFFFF;
    return low >= 0x8000 ? low - 0x10000 : low;
}

std::string DecimalToHexText(std::string_view text)
{
    // Beyond 32 bits the number saturates, so an over-long value shows as 7fffffff or 80000000.
    const std::int32_t value = LeadingDecimal(text.substr(0, 11));
    return formatText("%x", static_cast<std::uint32_t>(value));
}

std::string HexToDecimalText(std::string_view text)
{
    return formatText("%d", LeadingHex(text.substr(0, 11)));
}

std::string RegisterValueText(std::uint16_t value, bool hex)
{
    return hex ? formatText("%x", unsigned{value}) : formatText("%u", unsigned{value});
}

} // namespace quarin
