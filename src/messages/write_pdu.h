#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "messages/read_pdu.h"
#include "messages/settings_types.h"

namespace quarin {

// The echo checks, serial wording and TCP wording (%d: the slave ID). A serial echo from another
// slave gets the read's kSlaveIdMismatch.
inline constexpr char kEchoSlaveIdTcp[] =
    "Slave ID %d - Slave ID in reponse does not match what was sent";
inline constexpr char kEchoFunctionSerial[] =
    "Slave device responded with wrong response function code";
inline constexpr char kEchoFunctionTcp[] = "Slave ID %d - Response has wrong function code";
inline constexpr char kEchoStartSerial[] =
    "Start register from slave device does not match what was requested to be written";
inline constexpr char kEchoStartTcp[] =
    "Slave ID %d - Start register does not match what was requested to be written";
inline constexpr char kEchoValueSerial[] =
    "Reply data from slave device does not match what was requested to be written";
inline constexpr char kEchoValueTcp[] =
    "Slave ID %d - Reply data does not match what was requested to be written";
inline constexpr char kEchoQuantitySerial[] =
    "Reply number of registers from slave device does not match what was requested to be written";
inline constexpr char kEchoQuantityTcp[] =
    "Slave ID %d - Reply number of registers does not match what was requested to be written";
// An exception reply to a serial write; the TCP write reports the read's text.
inline constexpr char kWriteException[] = "Exception response form slave device - type %d";

struct WriteRequest
{
    DataType dataType = HoldingRegister; // HoldingRegister (16) or SingleHoldingRegister (06)
    ProtocolVariant protocol = Modbus;
    int slaveId = 1;
    int startRegister = 1;
    int registerCount = 1;
    std::array<std::int32_t, kValueRows> values{};
};

// 0x10 for HoldingRegister, 0x06 for SingleHoldingRegister, 0 for any other data type.
std::uint8_t WriteFunctionCode(DataType dataType);

// Byte 0 and the PDU of function 16 or 06; returns 7 + 2n or 6, or 0 when out is too small or
// the data type is not a holding-register type.
std::size_t RegisterWriteRequest(std::span<std::uint8_t> out, const WriteRequest& request);

// The checks of a six-byte echo, in their order, with the texts of the link. A field beyond
// the bytes given fails its check.
std::optional<std::string>
WriteEcho(std::span<const std::uint8_t> echo, const WriteRequest& request, LinkKind link);

} // namespace quarin
