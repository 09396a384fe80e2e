#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "console/console_settings.h"

namespace quarin {

inline constexpr int kSettingsLines = 14;

// The texts of the first fourteen lines, or fewer when the file ends before. A line ends at CR,
// whose next byte is dropped unexamined, or at a lone LF; a last line without either ends at the
// end of the file. Lines are read whole, however long.
std::vector<std::string> ReadSettingsLines(std::string_view file);

// The fourteen lines as Exit writes them, each ended by CR LF.
std::string SettingsFileText(const ConsoleSettings& settings);

} // namespace quarin
