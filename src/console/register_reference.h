#pragma once

#include <string>
#include <string_view>

#include "console/console_settings.h"

namespace quarin {

// The tooltip of a register label: the register as a Modbus reference, as a Jbus address and as
// the address on the wire, "400001 = Jbus 0 = 0x0000". Empty for a label that names no register
// (a row beyond the count) or does not read as one.
std::string RegisterCrossReference(std::string_view label, int row, bool jbusForm, DataType type);

} // namespace quarin
