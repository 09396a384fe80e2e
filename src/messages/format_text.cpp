#include "messages/format_text.h"

#include <cstdarg>
#include <cstdio>

namespace quarin {

std::string formatText(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    // Nearly every text fits here, so it is formatted once; a longer one is formatted again into
    // a string of its size.
    char shortText[256];
    const int needed = std::vsnprintf(shortText, sizeof shortText, fmt, args);
    va_end(args);
    std::string text;
    if (needed > 0 && static_cast<std::size_t>(needed) < sizeof shortText) {
        text.assign(shortText, static_cast<std::size_t>(needed));
    } else if (needed > 0) {
        // vsnprintf writes the terminating zero too; the string's own one is there to take it.
        text.resize(static_cast<std::size_t>(needed));
        std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    }
    va_end(again);
    return text;
}

} // namespace quarin
