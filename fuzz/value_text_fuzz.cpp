// The value texts: the numeric edits, the leading-number readers, the write values, the display
// mode changes and the register values, each judged against the C library or a round trip.
//
//   bytes 0-1  a register value
//   the rest   the text, in a block of exactly its size

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "harness.h"
#include "messages/value_text.h"

namespace quarin::fuzz {

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();

bool IsBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}

// C strings end at the first NUL; the readers of our texts stop at it too, as at any non-digit.
std::string UpToNul(std::string_view text)
{
    return std::string(text.substr(0, text.find('\0')));
}

std::int32_t Clamp(long long value)
{
    return static_cast<std::int32_t>(value > kInt32Max   ? kInt32Max
                                     : value < kInt32Min ? kInt32Min
                                                         : value);
}

// Blanks or tabs, an optional sign, digits, blanks or tabs, and an int.
std::optional<int> StrictInteger(std::string_view text)
{
    std::size_t begin = 0;
    while (begin < text.size() && IsBlankOrTab(text[begin])) {
        ++begin;
    }
    std::size_t end = text.size();
    while (end > begin && IsBlankOrTab(text[end - 1])) {
        --end;
    }
    std::size_t digits = begin;
    if (digits < end && (text[digits] == '+' || text[digits] == '-')) {
        ++digits;
    }
    if (digits == end) {
        return std::nullopt;
    }
    for (std::size_t at = digits; at < end; ++at) {
        if (text[at] < '0' || text[at] > '9') {
            return std::nullopt;
        }
    }
    const std::string number(text.substr(begin, end - begin));
    errno = 0;
    const long long value = std::strtoll(number.c_str(), nullptr, 10);
    if (errno == ERANGE || value > std::numeric_limits<int>::max() ||
        value < std::numeric_limits<int>::min()) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::int32_t StrtollDecimal(std::string_view text)
{
    const std::string c = UpToNul(text);
    return Clamp(std::strtoll(c.c_str(), nullptr, 10));
}

// strtoull's reading modulo 2^32, when it fits 64 bits.
std::optional<std::uint32_t> HexPattern(std::string_view text)
{
    const std::string c = UpToNul(text);
    errno = 0;
    const unsigned long long value = std::strtoull(c.c_str(), nullptr, 16);
    if (errno == ERANGE) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value & 0xFFFFFFFFull);
}

std::string PrintedHex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

std::string PrintedSigned(std::int32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return text;
}

} // namespace

} // namespace quarin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quarin;
    using namespace quarin::fuzz;
    Reader in(std::span(data, size));
    const std::uint16_t word = in.word();
    const ExactInput block(in.rest().data(), in.rest().size());
    const std::string_view text = block.text();

    Check(ParseStrictInteger(text) == StrictInteger(text), "ParseStrictInteger disagrees");

    const std::int32_t decimal = LeadingDecimal(text);
    Check(decimal == StrtollDecimal(text), "LeadingDecimal disagrees with strtoll");
    const std::int32_t hex = LeadingHex(text);
    if (const std::optional<std::uint32_t> pattern = HexPattern(text)) {
        Check(static_cast<std::uint32_t>(hex) == *pattern, "LeadingHex disagrees with strtoull");
    }

    Check(ParseWriteValue(text, false) == decimal, "a decimal write value is not LeadingDecimal");
    const std::int32_t low = ParseWriteValue(text, true);
    Check(low >= -32768 && low <= 32767 && (low & 0xFFFF) == (hex & 0xFFFF),
          "a hex write value is not the low 16 bits taken as signed");

    // The display mode changes read at most 11 characters, and convert back and forth exactly.
    const std::string_view head = text.substr(0, 11);
    const std::string toHex = DecimalToHexText(text);
    Check(toHex == PrintedHex(static_cast<std::uint32_t>(LeadingDecimal(head))),
          "decimal to hex is not the 32-bit pattern");
    Check(HexToDecimalText(toHex) == PrintedSigned(LeadingDecimal(head)),
          "decimal to hex and back changed the number");
    const std::string toDecimal = HexToDecimalText(text);
    Check(toDecimal == PrintedSigned(LeadingHex(head)), "hex to decimal is not the signed pattern");
    Check(DecimalToHexText(toDecimal) == PrintedHex(static_cast<std::uint32_t>(LeadingHex(head))),
          "hex to decimal and back changed the number");

    const std::string shownDecimal = RegisterValueText(word, false);
    const std::string shownHex = RegisterValueText(word, true);
    Check(shownDecimal == std::to_string(word), "a register value shows wrong in decimal");
    Check(shownHex == PrintedHex(word) && LeadingHex(shownHex) == word,
          "a register value shows wrong in hex");
    return 0;
}
