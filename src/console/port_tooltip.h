#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/port_probe.h"

namespace quarin {

// The "Port:" tooltip of a COMn entry: where it leads, the device's stable name, whether it is
// there and may be opened, who holds it, and the USB latency timer that quantises reply times.
std::string PortToolTip(std::string_view comName, const PortIdentity& port);

// "1234 minicom, 5678 quarin (this program)"; empty for none.
std::string HolderList(const std::vector<PortHolder>& holders);

} // namespace quarin
