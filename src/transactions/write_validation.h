#pragma once

#include <optional>
#include <string>

#include "console/console_settings.h"
#include "messages/write_pdu.h"

namespace quarin {

bool WritableType(DataType type);

enum WriteLabels
{
    NumberedLabels, // the serial write: label k is the register number once value k is checked
    ZeroLabels      // the TCP write: every label stays "0"
};

// The checks both writes make before they touch a link, in their order: start register, count,
// then values 1..n. Returns the first failure text, or nothing with the request filled in; labels
// as the checks left them.
std::optional<std::string> ValidateWrite(const ConsoleSettings& s,
                                         WriteLabels labelRows,
                                         WriteRequest& request,
                                         ValueTexts& labels);

} // namespace quarin
