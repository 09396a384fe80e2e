#include "messages/read_pdu.h"

#include <algorithm>
#include <utility>

#include "messages/format_text.h"
#include "messages/framing.h"
#include "messages/value_text.h"

namespace quarin {

namespace {

constexpr std::uint8_t kScatteredSubFunction = 0x04;
constexpr std::uint8_t kMeiType = 0x0E;
constexpr std::uint8_t kReadDeviceIdCode = 0x01;

void PutWord(std::span<std::uint8_t> out, std::size_t at, std::uint16_t value)
{
    SplitWord(out[at], out[at + 1], value);
}

// Fields are looked at only where the reply has them; a missing field fails like a wrong one.
bool ByteIs(std::span<const std::uint8_t> reply, std::size_t at, int expected)
{
    return at < reply.size() && int{reply[at]} == expected;
}

} // namespace

std::uint16_t WireAddress(int startRegister, ProtocolVariant protocol)
{
    const std::int64_t address =
        protocol == Jbus ? std::int64_t{startRegister} : std::int64_t{startRegister} - 1;
    return LowWord(address);
}

std::uint8_t ReadFunctionCode(DataType dataType)
{
    switch (dataType) {
    case HoldingRegister:
    case SingleHoldingRegister:
        return 0x03;
    case InputRegister:
        return 0x04;
    case ScatteredRead:
        return 0x64;
    case DeviceIdentification:
        return 0x2B;
    }
    return 0; // a data type outside the list (an edited settings file) has no request
}

std::size_t BuildReadRequest(std::span<std::uint8_t> out, const ReadRequest& request)
{
    const std::uint8_t function = ReadFunctionCode(request.dataType);
    const int n = request.registerCount;
    std::size_t addresses = 0; // ScatteredRead only
    std::size_t length = 0;
    switch (request.dataType) {
    case HoldingRegister:
    case SingleHoldingRegister:
    case InputRegister:
        length = 6;
        break;
    case ScatteredRead:
        if (n < 0 || n > 0xFFFF) {
            return 0;
        }
        addresses = static_cast<std::size_t>(n);
        length = 5 + 2 * addresses;
        break;
    case DeviceIdentification:
        length = 5;
        break;
    }
    if (length == 0 || out.size() < length) {
        return 0;
    }
    out[0] = LowByte(request.slaveId);
    out[1] = function;
    const std::uint16_t first = WireAddress(request.startRegister, request.protocol);
    switch (request.dataType) {
    case HoldingRegister:
    case SingleHoldingRegister:
    case InputRegister:
        PutWord(out, 2, first);
        out[4] = 0x00;
        out[5] = LowByte(n);
        break;
    case ScatteredRead:
        out[2] = LowByte((std::int64_t{n} + 1) * 2);
        out[3] = kScatteredSubFunction;
        out[4] = request.transmissionNo;
        // Consecutive addresses; like the start address they wrap at 16 bits.
        for (std::size_t k = 0; k < addresses; ++k) {
            PutWord(out, 5 + 2 * k, LowWord(std::int64_t{first} + static_cast<std::int64_t>(k)));
        }
        break;
    case DeviceIdentification:
        out[2] = kMeiType;
        out[3] = kReadDeviceIdCode;
        out[4] = 0x00;
        break;
    }
    return length;
}

bool IsExceptionReply(std::span<const std::uint8_t> reply)
{
    return reply.size() >= 2 && (reply[1] & 0x80u) != 0;
}

std::optional<std::uint8_t> ExceptionCode(std::span<const std::uint8_t> reply)
{
    if (reply.size() < 3 || !IsExceptionReply(reply)) {
        return std::nullopt;
    }
    return reply[2];
}

std::string ExceptionText(std::uint8_t code)
{
    return formatText(kExceptionReceived, int{code});
}

Fault ExceptionReplyFault(std::uint8_t code)
{
    return Fault(ExceptionFault, code, ExceptionText(code));
}

std::optional<std::string>
CheckReadReply(std::span<const std::uint8_t> reply, const ReadRequest& request, LinkKind link)
{
    // The whole setting, not its low byte: a slave ID above 255 can never be answered.
    if (!ByteIs(reply, 0, request.slaveId)) {
        return kSlaveIdMismatch;
    }
    if (!ByteIs(reply, 1, ReadFunctionCode(request.dataType))) {
        return kWrongFunction;
    }
    const std::int64_t n = request.registerCount;
    switch (request.dataType) {
    case HoldingRegister:
    case SingleHoldingRegister:
    case InputRegister:
        if (reply.size() < 3 || reply[2] != 2 * n) {
            return kWrongByteCount;
        }
        break;
    case ScatteredRead:
        if (reply.size() < 3 || reply[2] != 2 * n + 2) {
            return kWrongByteCount;
        }
        if (!ByteIs(reply, 3, kScatteredSubFunction)) {
            return kWrongSubFunction;
        }
        if (!ByteIs(reply, 4, request.transmissionNo)) {
            // A reply cut before the number shows it as -1: no byte value can be mistaken for it.
            const int actual = reply.size() > 4 ? int{reply[4]} : -1;
            return formatText(link == LinkKind::Serial ? kBadTransmissionSerial
                                                       : kBadTransmissionTcp,
                              int{request.transmissionNo},
                              actual);
        }
        break;
    case DeviceIdentification:
        if (!ByteIs(reply, 2, kMeiType)) {
            return kWrongSubFunction;
        }
        break;
    }
    return std::nullopt;
}

void ExtractValues(std::span<const std::uint8_t> reply,
                   const ReadRequest& request,
                   DisplayMode mode,
                   ValueTexts& values)
{
    const std::size_t first = request.dataType == ScatteredRead ? 5 : 3;
    const int shown = std::min(request.registerCount, kValueRows);
    for (std::size_t k = 0; std::cmp_less(k, shown); ++k) {
        const std::size_t at = first + 2 * k;
        if (at + 1 >= reply.size()) {
            break;
        }
        values[k] = RegisterValueText(JoinWord(reply[at], reply[at + 1]), mode == Hex);
    }
}

std::string IdentificationText(std::span<const std::uint8_t> reply)
{
    std::string text;
    if (reply.size() <= 7) {
        return text;
    }
    const unsigned objects = reply[7];
    std::size_t at = 8;
    // The count and lengths are the slave's word; the walk ends with the bytes that arrived.
    // An object whose ID arrived is shown with as much of its value as arrived, then its line
    // end, so a cut list reads as the complete objects plus the start of the cut one.
    for (unsigned object = 0; object < objects && at < reply.size(); ++object) {
        const std::uint8_t id = reply[at];
        switch (id) {
        case 0x00:
            text += "Vendor Name:  ";
            break;
        case 0x01:
            text += "Product Code:  ";
            break;
        case 0x02:
            text += "Revision:  ";
            break;
        default:
            break;
        }
        const std::size_t length = at + 1 < reply.size() ? reply[at + 1] : 0;
        const std::size_t begin = std::min(at + 2, reply.size());
        const std::size_t end = std::min(begin + length, reply.size());
        const auto value = reply.subspan(begin, end - begin);
        text.append(value.begin(), value.end());
        text += "\n\r";
        at = begin + length;
    }
    return text;
}

} // namespace quarin
