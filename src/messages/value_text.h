#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarin {

// The value of one hex digit of either case (a decimal digit is its own value); -1 for any
// other character.
int HexDigitValue(char c);

// A numeric edit: blanks or tabs, an optional sign, digits, blanks or tabs; nothing else.
// Nothing when the text is not such an integer or does not fit in an int.
std::optional<int> ParseStrictInteger(std::string_view text);
// strtol-like: leading white space, optional sign, digits up to the first other character; no
// digits give 0. Beyond 32 bits the result saturates, so it can never wrap into a valid range.
std::int32_t LeadingDecimal(std::string_view text);
// "%x"-like: leading white space, optional sign, optional 0x/0X, hex digits of either case; 0 when
// no digit follows. The number is taken modulo 2^32 (a negative one as its two's complement)
// and returned as that 32-bit pattern: "ffffffff" gives -1, and a longer number keeps its low
// 32 bits. Every use keeps only 16 or 32 bits, so no saturation is needed here.
std::int32_t LeadingHex(std::string_view text);

// A write's value text in the display mode: Decimal keeps the 32-bit number (saturated); Hex
// keeps the low 16 bits of LeadingHex taken as signed ("FFFF" -> -1, "12345" -> 0x2345).
std::int32_t ParseWriteValue(std::string_view text, bool hex);

// The display mode change of one value, read from a copy of at most 11 characters: decimal
// to the lower-case hex of its 32-bit two's complement, and hex to the signed decimal of its
// 32-bit pattern. A text without a number converts to "0".
std::string DecimalToHexText(std::string_view text);
std::string HexToDecimalText(std::string_view text);

// A register value as shown: unsigned decimal, or lower-case hex without prefix or zeros.
std::string RegisterValueText(std::uint16_t value, bool hex);

} // namespace quarin
