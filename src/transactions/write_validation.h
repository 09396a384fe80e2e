#pragma once

#include <optional>
#include <string>

#include "console/console_settings.h"
#include "messages/write_pdu.h"

namespace quarin {

bool WritableType(DataType type);

// The checks both writes make before they touch a link, in their order: start register, count,
// then values 1..n. Label k becomes the register number while value k is checked when labelRows
// is set (the serial write), else all labels stay "0". Returns the first failure text, or nothing
// with the request filled in; labels as the checks left them.
std::optional<std::string>
ValidateWrite(const ConsoleSettings& s, bool labelRows, WriteRequest& request, ValueTexts& labels);

} // namespace quarin
