#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarin {

// A numeric edit: blanks or tabs, an optional sign, digits, blanks or tabs; nothing else.
// Nothing when the text is not such an integer or does not fit in an int.
std::optional<int> ParseStrictInteger(std::string_view text);
// strtol-like: leading blanks, optional sign, digits up to the first other character; no digits
// give 0. Beyond 32 bits the result saturates, so it can never wrap into a valid range.
std::int32_t LeadingDecimal(std::string_view text);
// "%x"-like: leading blanks, optional sign, optional 0x/0X, hex digits of either case; 0 when
// no digit follows. Saturates like LeadingDecimal.
std::int32_t LeadingHex(std::string_view text);

// A write's value text in the display mode: Decimal keeps the 32-bit number; Hex keeps its low
// 16 bits taken as signed.
std::int32_t ParseWriteValue(std::string_view text, bool hex);

// The display mode change of one value (on a copy of at most 11 characters).
std::string DecimalToHexText(std::string_view text);
std::string HexToDecimalText(std::string_view text);

// A register value as shown: unsigned decimal, or lower-case hex without prefix or zeros.
std::string RegisterValueText(std::uint16_t value, bool hex);

} // namespace quarin
