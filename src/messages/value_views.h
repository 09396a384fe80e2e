#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarin {

// What a register, or a register with the next, holds when read other ways than the console
// shows it: the tooltip of a value field.

// A value field's text as a register: decimal digits up to 65535, or in hex 1 to 4 significant
// hex digits of either case, as a read writes them (leading zeros allowed). Nothing otherwise.
std::optional<std::uint16_t> ParseRegisterText(std::string_view text, bool hex);

// "0100 0001 0000 0000": high bit first, in groups of four.
std::string BinaryText(std::uint16_t value);
// The two bytes as characters, high byte first: 'A' '\x00'. Printable ASCII as itself, the
// quote and the backslash escaped, every other byte as \xNN.
std::string ByteCharacters(std::uint16_t value);
// An IEEE single: the shortest text that reads back to the same float, "-0", "+infinity",
// "NaN (quiet)" or "NaN (signalling)", and "(denormal)" after a denormal number.
std::string FloatText(std::uint32_t bits);

// Two lines: unsigned, signed 16-bit and hex; binary and the characters.
std::string RegisterViews(std::string_view name, std::uint16_t value);
// Two lines, one per word order, each marked with both registers: unsigned and signed 32-bit and
// the float. first is the register named first (the lower address).
std::string PairViews(std::string_view firstName,
                      std::string_view secondName,
                      std::uint16_t first,
                      std::uint16_t second);

} // namespace quarin
