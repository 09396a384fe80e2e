#include "links/ipv4_text.h"

#include <array>
#include <cstddef>

#include "messages/value_text.h"

namespace quarin {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// One part; false when it is empty, has a bad digit or exceeds 32 bits.
bool parsePart(std::string_view part, std::uint64_t& value)
{
    unsigned base = 10;
    if (part.size() > 1 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        base = 16;
        part.remove_prefix(2);
        // "0x" alone reads as 0.
        if (part.empty()) {
            value = 0;
            return true;
        }
    } else if (part.size() > 1 && part[0] == '0') {
        base = 8;
    }
    if (part.empty()) {
        return false;
    }
    value = 0;
    for (char c : part) {
        // A character that is no digit (-1) wraps above every base.
        const unsigned d = static_cast<unsigned>(HexDigitValue(c));
        if (d >= base) {
            return false;
        }
        value = value * base + d;
        if (value > 0xFFFFFFFFu) {
            return false;
        }
    }
    return true;
}

} // namespace

bool IsHostName(std::string_view address)
{
    for (char c : address) {
        if (c != '.' && (c < '0' || c > '9')) {
            return true;
        }
    }
    return false;
}

std::uint32_t InetAddr(std::string_view text)
{
    std::array<std::uint64_t, 4> parts{};
    std::size_t count = 0;
    std::size_t pos = 0;
    while (true) {
        const std::size_t dot = text.find('.', pos);
        const std::string_view part =
            text.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        if (count == parts.size() || !parsePart(part, parts[count])) {
            return kNone;
        }
        ++count;
        if (dot == std::string_view::npos) {
            break;
        }
        pos = dot + 1;
    }
    // Every part but the last is one byte; the last fills what is left.
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 0xFF) {
            return kNone;
        }
    }
    const unsigned lastBits = 8u * static_cast<unsigned>(5 - count);
    const std::uint64_t last = parts[count - 1];
    if (lastBits < 32 && last >= (std::uint64_t{1} << lastBits)) {
        return kNone;
    }
    std::uint64_t address = 0;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        address |= parts[i] << (24 - 8 * i);
    }
    address |= last;
    return static_cast<std::uint32_t>(address);
}

} // namespace quarin
