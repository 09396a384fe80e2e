#include "messages/write_pdu.h"

#include "messages/format_text.h"
#include "messages/framing.h"

namespace quarin {

namespace {

constexpr std::uint8_t kWriteMultiple = 0x10;
constexpr std::uint8_t kWriteSingle = 0x06;

enum EchoCheck
{
    SlaveIdCheck,
    FunctionCheck,
    StartRegisterCheck,
    ValueCheck,
    QuantityCheck
};

std::string Failure(EchoCheck check, const WriteRequest& request, LinkKind link)
{
    const bool serial = link == LinkKind::Serial;
    const int slaveId = request.slaveId;
    switch (check) {
    case SlaveIdCheck:
        return serial ? kSlaveIdMismatch : formatText(kEchoSlaveIdTcp, slaveId);
    case FunctionCheck:
        return serial ? kEchoFunctionSerial : formatText(kEchoFunctionTcp, slaveId);
    case StartRegisterCheck:
        return serial ? kEchoStartSerial : formatText(kEchoStartTcp, slaveId);
    case ValueCheck:
        return serial ? kEchoValueSerial : formatText(kEchoValueTcp, slaveId);
    case QuantityCheck:
        return serial ? kEchoQuantitySerial : formatText(kEchoQuantityTcp, slaveId);
    }
    return {};
}

} // namespace

std::uint8_t WriteFunctionCode(DataType dataType)
{
    switch (dataType) {
    case HoldingRegister:
        return kWriteMultiple;
    case SingleHoldingRegister:
        return kWriteSingle;
    default:
        return 0;
    }
}

std::size_t RegisterWriteRequest(std::span<std::uint8_t> out, const WriteRequest& request)
{
    const std::uint8_t function = WriteFunctionCode(request.dataType);
    if (function == 0) {
        return 0;
    }
    const std::uint16_t address = WireAddress(request.startRegister, request.protocol);
    if (function == kWriteSingle) {
        if (out.size() < 6) {
            return 0;
        }
        out[0] = LowByte(request.slaveId);
        out[1] = function;
        SplitWord(out[2], out[3], address);
        SplitWord(out[4], out[5], LowWord(request.values[0]));
        return 6;
    }
    const int n = request.registerCount;
    if (n < 1 || n > kValueRows) {
        return 0;
    }
    const auto count = static_cast<std::size_t>(n);
    const std::size_t length = 7 + 2 * count;
    if (out.size() < length) {
        return 0;
    }
    out[0] = LowByte(request.slaveId);
    out[1] = function;
    SplitWord(out[2], out[3], address);
    out[4] = 0x00;
    out[5] = LowByte(n);
    out[6] = LowByte(2 * n);
    for (std::size_t k = 0; k < count; ++k) {
        SplitWord(out[7 + 2 * k], out[8 + 2 * k], LowWord(request.values[k]));
    }
    return length;
}

std::optional<std::string>
WriteEcho(std::span<const std::uint8_t> echo, const WriteRequest& request, LinkKind link)
{
    const std::uint8_t function = WriteFunctionCode(request.dataType);
    if (echo.empty() || int{echo[0]} != request.slaveId) {
        return Failure(SlaveIdCheck, request, link);
    }
    if (echo.size() < 2 || echo[1] != function || function == 0) {
        return Failure(FunctionCheck, request, link);
    }
    if (echo.size() < 4) {
        return Failure(StartRegisterCheck, request, link);
    }
    const std::uint16_t address = JoinWord(echo[2], echo[3]);
    const std::uint16_t echoedRegister =
        request.protocol == Jbus ? address : LowWord(std::int64_t{address} + 1);
    if (int{echoedRegister} != request.startRegister) {
        return Failure(StartRegisterCheck, request, link);
    }
    const EchoCheck fourth = function == kWriteSingle ? ValueCheck : QuantityCheck;
    if (echo.size() < 6) {
        return Failure(fourth, request, link);
    }
    const std::uint16_t echoed = JoinWord(echo[4], echo[5]);
    const int expected =
        function == kWriteSingle ? int{LowWord(request.values[0])} : request.registerCount;
    if (int{echoed} != expected) {
        return Failure(fourth, request, link);
    }
    return std::nullopt;
}

} // namespace quarin
