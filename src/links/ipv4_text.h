#pragma once

#include <cstdint>
#include <string_view>

namespace quarin {

// A host name holds a character other than '.' and '0'..'9' (a byte above 127 counts).
bool IsHostName(std::string_view address);

// The classic dotted-text conversion: one to four parts, each decimal, octal (leading 0) or hex
// (0x); the last part fills the remaining bytes. Refused text gives 255.255.255.255, which is
// then connected to like any other address. Host byte order.
std::uint32_t InetAddr(std::string_view text);

} // namespace quarin
