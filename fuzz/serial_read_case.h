#pragma once

#include <cstdint>
#include <span>

namespace quarin::fuzz {

// One whole SerialRead through the Read command, the slave's reply taken from the input.
//
//   byte 0     data type (modulo 5)
//   byte 1     register count, low 7 bits (0 and counts above the limit are refused early)
//   byte 2     bit 0 Jbus (binary framing only), bit 1 Hex display, bit 2 two-wire wiring,
//              bits 3-4 sample mode (3: Manual), bit 5 frame the reply (the rest is then the
//              message: CRC or ASCII frame added), bit 6 slave ID + 256
//   byte 3     slave ID, low byte
//   bytes 4-5  start register
//   byte 6     bits 0-1 timeout, bits 2-4 a failing port step (1 open, 2 configure, 3 write,
//              4 short write, 5 reply read), bit 5 a pre-send delay
//   the rest   the reply: bytes on the line, or characters under ModbusAscii
//
// The outcome is judged against a reading of the reply made here: accepted exactly when the
// length, check value and fields are right, and then with the values the reply carries.
void RunSerialReadCase(std::span<const std::uint8_t> input, bool ascii);

} // namespace quarin::fuzz
