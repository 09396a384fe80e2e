#pragma once

#include "console/console_settings.h"
#include "platform/serial_port.h"

namespace quarin {

// Baud index 0..4 -> 1200..19200, anything else 38400; Even -> even parity and one stop bit,
// any other parity index -> none and two; seven data bits under ModbusAscii.
LineSettings LineSettingsFor(const ConsoleSettings& settings);

} // namespace quarin
