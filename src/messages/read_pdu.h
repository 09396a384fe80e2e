#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "messages/fault.h"
#include "messages/settings_types.h"

namespace quarin {

enum class LinkKind
{
    Serial,
    Tcp
};

inline constexpr char kExceptionReceived[] = "Exception response received - type %d";
inline constexpr char kSlaveIdMismatch[] = "Slave ID in reponse does not match what was sent";
inline constexpr char kWrongFunction[] = "Response has wrong function code";
inline constexpr char kWrongByteCount[] =
    "Amount of data returned does not match what was requested";
inline constexpr char kWrongSubFunction[] = "Response has wrong sub-function code";
inline constexpr char kBadTransmissionSerial[] =
    "Response has invalid transmission number.  Expected:  %d.  Actual:  %d.";
inline constexpr char kBadTransmissionTcp[] =
    "Response has invalid transmission number.  Expected:  %d.  Actual:  %d";

struct ReadRequest
{
    DataType dataType = HoldingRegister;
    ProtocolVariant protocol = Modbus;
    int slaveId = 1;
    int startRegister = 1;
    int registerCount = 1;
    std::uint8_t transmissionNo = 0; // ScatteredRead: the number sent, already advanced
};

// Modbus and ModbusAscii send the register number less one, Jbus the number itself; 16 bits.
std::uint16_t WireAddress(int startRegister, ProtocolVariant protocol);
// 0 for a data type outside the list.
std::uint8_t ReadFunctionCode(DataType dataType);
// Byte 0 and the request PDU; returns the length counting byte 0 (6, 5 + 2n or 5), or 0 when out
// is too small, the data type is unknown or a scattered count is negative.
std::size_t BuildReadRequest(std::span<std::uint8_t> out, const ReadRequest& request);

// A reply whose function byte (offset 1) has bit 0x80 set.
bool IsExceptionReply(std::span<const std::uint8_t> reply);
// The code of an exception reply (offset 2); nothing for another reply or one cut before it.
std::optional<std::uint8_t> ExceptionCode(std::span<const std::uint8_t> reply);
std::string ExceptionText(std::uint8_t code);
// An exception reply to a read (and to a TCP write), as a failure.
Fault ExceptionReplyFault(std::uint8_t code);

// The checks of an accepted-length reply (byte 0 = slave address or unit id), in their order;
// the text of the first that fails, or nothing. A field beyond the bytes given fails its check
// (a missing transmission number shows as -1). The TCP caller passes the frame from byte 6.
std::optional<std::string>
CheckReadReply(std::span<const std::uint8_t> reply, const ReadRequest& request, LinkKind link);

// Register values of an accepted 03, 04 or 100 reply into the first min(n, 10) texts.
void ExtractValues(std::span<const std::uint8_t> reply,
                   const ReadRequest& request,
                   DisplayMode mode,
                   ValueTexts& values);

// The identification text of an accepted 43/14 reply; never reads past the bytes given.
std::string IdentificationText(std::span<const std::uint8_t> reply);

} // namespace quarin
