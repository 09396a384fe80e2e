#pragma once

#include <chrono>
#include <termios.h>

#include "platform/serial_port.h"

namespace quarin::posix {

// The raw line that a transaction needs, from whatever the device had: no flow control, no
// echo or line editing, reads that never block on their own (VMIN = VTIME = 0). Baud rates
// other than 1200..19200 give 38400.
termios makeTermios(const termios& current, const LineSettings& settings);

// Whether the driver took the line asked for: baud rates and stop bits, and on a real line data
// bits and parity too (a pty forces 8 data bits without parity and carries bytes all the same).
bool lineTaken(const termios& wanted, const termios& taken, bool pseudoTerminal);

// How long one character takes on the wire at these settings: start bit, data bits, parity bit
// and stop bits.
std::chrono::nanoseconds characterTime(const termios& line);

} // namespace quarin::posix
