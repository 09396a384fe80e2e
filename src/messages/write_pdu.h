#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "console/console_settings.h"
#include "messages/read_pdu.h"

namespace quarin {

struct WriteRequest
{
    DataType dataType = HoldingRegister; // HoldingRegister (16) or SingleHoldingRegister (06)
    ProtocolVariant protocol = Modbus;
    int slaveId = 1;
    int startRegister = 1;
    int registerCount = 1;
    std::array<std::int32_t, kValueRows> values{};
};

// Byte 0 and the PDU of function 16 or 06; returns 7 + 2n or 6, or 0 when out is too small or
// the data type is not a holding-register type.
std::size_t RegisterWriteRequest(std::span<std::uint8_t> out, const WriteRequest& request);

// The checks of a six-byte echo, in their order, with the texts of the link.
std::optional<std::string> WriteEcho(std::span<const std::uint8_t> echo,
                                     const WriteRequest& request,
                                     LinkKind link);

} // namespace quarin
