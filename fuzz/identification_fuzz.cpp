// The reply parsers on raw spans: IdentificationText, CheckReadReply and ExtractValues, each on
// a block of exactly the reply's size.
//
//   byte 0     data type (modulo 5, or 5 for one outside the list)
//   byte 1     register count
//   byte 2     slave ID (bit 7 of byte 4 adds 256)
//   byte 3     transmission number
//   byte 4     bit 0 TCP wording, bit 1 Hex display, bit 7 slave ID + 256
//   the rest   the reply from its slave address or unit identifier on; read a second time as
//              identification objects (ID, length, value) behind a correct header

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "harness.h"
#include "messages/read_pdu.h"

namespace quarin::fuzz {

namespace {

const char* Label(std::uint8_t id)
{
    switch (id) {
    case 0x00:
        return "Vendor Name:  ";
    case 0x01:
        return "Product Code:  ";
    case 0x02:
        return "Revision:  ";
    default:
        return "";
    }
}

// The text the console must show for a list of whole objects.
void CheckWellFormedList(std::span<const std::uint8_t> objects)
{
    Bytes reply{0x01, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x00};
    std::string expected;
    unsigned count = 0;
    for (std::size_t at = 0; at + 1 < objects.size() && count < 255; ++count) {
        const std::uint8_t id = objects[at];
        const std::size_t length = std::min<std::size_t>(objects[at + 1], objects.size() - at - 2);
        const auto value = objects.subspan(at + 2, length);
        reply.push_back(id);
        reply.push_back(static_cast<std::uint8_t>(length));
        reply.insert(reply.end(), value.begin(), value.end());
        expected += Label(id);
        expected.append(value.begin(), value.end());
        expected += "\n\r";
        at += 2 + length;
    }
    reply[7] = static_cast<std::uint8_t>(count);
    const ExactInput block(reply.data(), reply.size());
    Check(IdentificationText(block.bytes()) == expected, "a whole object list was shown wrong");
}

// The serial text ends with a full stop, the TCP one does not.
std::string TransmissionText(LinkKind link, int expected, int actual)
{
    char text[96];
    std::snprintf(text,
                  sizeof text,
                  "Response has invalid transmission number.  Expected:  %d.  Actual:  %d%s",
                  expected,
                  actual,
                  link == LinkKind::Serial ? "." : "");
    return text;
}

void CheckReadChecks(std::span<const std::uint8_t> reply, const ReadRequest& request, LinkKind link)
{
    const std::optional<std::string> failure = CheckReadReply(reply, request, link);
    // The first failing check names the reply; a field that did not arrive fails like a wrong one.
    const std::int64_t n = request.registerCount;
    auto byteIs = [&](std::size_t at, std::int64_t value) {
        return at < reply.size() && std::int64_t{reply[at]} == value;
    };
    std::optional<std::string> expected;
    if (!byteIs(0, request.slaveId)) {
        expected = "Slave ID in reponse does not match what was sent";
    } else if (!byteIs(1, FunctionOf(request.dataType))) {
        expected = "Response has wrong function code";
    } else {
        switch (request.dataType) {
        case HoldingRegister:
        case SingleHoldingRegister:
        case InputRegister:
            if (!byteIs(2, 2 * n)) {
                expected = "Amount of data returned does not match what was requested";
            }
            break;
        case ScatteredRead:
            if (!byteIs(2, 2 * n + 2)) {
                expected = "Amount of data returned does not match what was requested";
            } else if (!byteIs(3, 0x04)) {
                expected = "Response has wrong sub-function code";
            } else if (!byteIs(4, request.transmissionNo)) {
                expected = TransmissionText(
                    link, int{request.transmissionNo}, reply.size() > 4 ? int{reply[4]} : -1);
            }
            break;
        case DeviceIdentification:
            if (!byteIs(2, 0x0E)) {
                expected = "Response has wrong sub-function code";
            }
            break;
        }
    }
    Check(failure == expected, "CheckReadReply gave the wrong verdict");
}

} // namespace

} // namespace quarin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quarin;
    using namespace quarin::fuzz;
    const ExactInput input(data, size);
    Reader in(input.bytes());
    ReadRequest request;
    request.dataType = static_cast<DataType>(in.byte() % 6);
    request.registerCount = in.byte();
    request.slaveId = in.byte();
    request.transmissionNo = in.byte();
    const std::uint8_t flags = in.byte();
    const LinkKind link = (flags & 0x01u) != 0 ? LinkKind::Tcp : LinkKind::Serial;
    const DisplayMode mode = (flags & 0x02u) != 0 ? Hex : Decimal;
    if ((flags & 0x80u) != 0) {
        request.slaveId += 256;
    }
    const ExactInput reply(in.rest().data(), in.rest().size());
    const std::span<const std::uint8_t> bytes = reply.bytes();

    // The walk trusts neither the count nor the lengths: everything shown arrived.
    const std::string text = IdentificationText(bytes);
    const std::size_t objects = bytes.size() > 8 ? bytes.size() - 8 : 0;
    Check(text.size() <= bytes.size() + 17 * objects, "the identification text outgrew its reply");

    CheckReadChecks(bytes, request, link);
    Check(IsExceptionReply(bytes) == (bytes.size() >= 2 && (bytes[1] & 0x80u) != 0),
          "IsExceptionReply is wrong");

    ValueTexts values = zeroTexts();
    ExtractValues(bytes, request, mode, values);
    const std::size_t first = request.dataType == ScatteredRead ? 5 : 3;
    for (std::size_t k = 0; k < kValueRows; ++k) {
        const std::size_t at = first + 2 * k;
        const bool carried = std::cmp_less(k, request.registerCount) && at + 1 < bytes.size();
        // Once a value is missing the rest keep their "0".
        Check(values[k] == (carried ? ValueText(WordAt(bytes, at), mode == Hex) : "0"),
              "a value was taken wrong");
    }

    CheckWellFormedList(bytes);
    return 0;
}
