#pragma once

#include <string>

namespace quarin {

// printf-style formatting of the fixed texts; the attribute lets -Wformat check every placeholder.
[[gnu::format(printf, 1, 2)]] std::string formatText(const char* fmt, ...);

} // namespace quarin
