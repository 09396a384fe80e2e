#pragma once

#include "messages/settings_types.h"
#include "platform/serial_port.h"

namespace quarin {

// Baud index 0..4 -> 1200..19200, anything else 38400; parity index 0 (Even) -> even parity and
// one stop bit, any other -> none and two; seven data bits under ModbusAscii.
LineSettings LineSettingsFor(int baudIndex, int parityIndex, ProtocolVariant protocol);

} // namespace quarin
