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
    const int needed = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text;
    if (needed > 0) {
        // vsnprintf writes the terminating zero too; the string's own one is there to take it.
        text.resize(static_cast<std::size_t>(needed));
        std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    }
    va_end(again);
    return text;
}

} // namespace quarin
