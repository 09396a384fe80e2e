#pragma once

#include <string>
#include <string_view>

#include "console/console_settings.h"

namespace quarin {

// "MM/DD/YY HH:MM:SS - [Slave IP = <address> - ]Slave ID = <id> - <text>", without CR LF.
std::string
BuildLogLine(std::string_view timeText, const ConsoleSettings& settings, std::string_view text);

} // namespace quarin
