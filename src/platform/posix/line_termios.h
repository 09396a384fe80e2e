#pragma once

#include <termios.h>

#include "platform/serial_port.h"

namespace quarin::posix {

// The raw line that a transaction needs, from whatever the device had: no flow control, no
// echo or line editing, reads that never block on their own (VMIN = VTIME = 0). Baud rates
// other than 1200..19200 give 38400.
termios makeTermios(const termios& current, const LineSettings& settings);

} // namespace quarin::posix
