// A whole TCP read with the slave's answer from the input, delivered by the fake socket in the
// pieces the input chooses, and the header checks on their own.
//
//   byte 0     data type (modulo 5)
//   byte 1     register count, low 7 bits
//   byte 2     bit 0 Jbus, bit 1 Hex display, bits 2-3 sample mode (3: Manual), bit 4 frame
//              mode, bit 5 close after reply, bit 6 a second read, bit 7 slave ID + 256
//   byte 3     slave ID, low byte
//   bytes 4-5  start register
//   byte 6     bits 0-1 timeout, bits 2-4 a failing link step (1 start-up, 2 connect, 3 write
//              wait, 4 send, 5 partial send)
//   frame mode: identifier offset (0: the one sent), protocol identifier, piece size (0: one
//              piece), what follows the frame (below 64 nothing, then close, silence or a stray
//              byte), then the unit identifier and PDU; the header is built around them
//   raw mode:  steps, each a control byte: bits 0-1 kind (0 data of (control >> 2) + 1 bytes
//              that follow, 1 close, 2 failure, 3 silence); a silence with bit 2 set ends the
//              first read's steps and starts the second's

#include <algorithm>
#include <deque>
#include <optional>
#include <string_view>

#include "harness.h"
#include "messages/mbap_header.h"

namespace quarin::fuzz {

namespace {

constexpr char kTooShort[] =
    "Too short of ModbusTCP/IP header data returned from socket recv operation.";
constexpr char kOutOfBounds[] =
    "Out of bounds message size received in ModbusTCP/IP header information.";

bool IsText(const char* text, std::string_view expected)
{
    return text != nullptr && text == expected;
}

using Steps = std::vector<test::SocketStep>;

enum LinkFault
{
    NoFault,
    StartupFails,
    ConnectRefused,
    WriteWaitTimesOut,
    SendFails,
    PartialSend
};

struct TcpCase
{
    DataType type = HoldingRegister;
    int count = 1;
    ProtocolVariant protocol = Modbus;
    bool hex = false;
    SampleMode mode = Manual;
    bool closeAfterReply = false;
    bool secondRead = false;
    int slaveId = 1;
    int startRegister = 1;
    int timeoutMs = 1000;
    int fault = NoFault;
    Steps first;
    Steps second;
};

test::SocketStep Data(Bytes bytes)
{
    return {test::SocketStep::Data, std::move(bytes), 0};
}

test::SocketStep Other(test::SocketStep::Kind kind, int error = 104)
{
    return {kind, {}, error};
}

void FramedSteps(Reader& in, std::uint16_t firstId, TcpCase& c)
{
    const std::uint8_t idOffset = in.byte();
    const std::uint8_t protocolId = in.byte();
    const std::size_t piece = in.byte();
    const std::uint8_t tail = in.byte();
    const std::span<const std::uint8_t> pdu =
        in.rest().first(std::min<std::size_t>(in.rest().size(), 254));
    auto steps = [&](std::uint16_t id) {
        const Bytes frame = mbap(static_cast<std::uint16_t>(id + idOffset), pdu, protocolId);
        Steps out;
        const std::size_t size = piece == 0 ? frame.size() : piece;
        for (std::size_t at = 0; at < frame.size(); at += size) {
            const std::size_t n = std::min(size, frame.size() - at);
            out.push_back(Data(Bytes(frame.begin() + static_cast<long>(at),
                                     frame.begin() + static_cast<long>(at + n))));
        }
        if (tail >= 192) {
            out.push_back(Data({tail}));
        } else if (tail >= 128) {
            out.push_back(Other(test::SocketStep::Silence));
        } else if (tail >= 64) {
            out.push_back(Other(test::SocketStep::Close));
        }
        return out;
    };
    c.first = steps(firstId);
    c.second = steps(static_cast<std::uint16_t>(firstId + 1));
}

void RawSteps(Reader& in, TcpCase& c)
{
    Steps* into = &c.first;
    while (!in.rest().empty()) {
        const std::uint8_t control = in.byte();
        const int arg = control >> 2;
        switch (control & 3u) {
        case 0:
            into->push_back(Data(toBytes(in.take(static_cast<std::size_t>(arg) + 1))));
            break;
        case 1:
            into->push_back(Other(test::SocketStep::Close));
            break;
        case 2:
            into->push_back(Other(test::SocketStep::Fail, arg));
            break;
        default:
            if ((arg & 1) != 0 && into == &c.first) {
                into = &c.second;
            } else {
                into->push_back(Other(test::SocketStep::Silence));
            }
            break;
        }
    }
}

TcpCase ReadCase(Reader& in, std::uint16_t firstId)
{
    TcpCase c;
    // 5 stands for the -1 a settings file leaves when its index is outside the list.
    const int type = in.byte() % 6;
    c.type = static_cast<DataType>(type == 5 ? -1 : type);
    c.count = in.byte() & 0x7F;
    const std::uint8_t flags = in.byte();
    c.protocol = (flags & 0x01u) != 0 ? Jbus : Modbus;
    c.hex = (flags & 0x02u) != 0;
    const int mode = (flags >> 2) & 3;
    c.mode = mode == 3 || c.type == DeviceIdentification ? Manual : static_cast<SampleMode>(mode);
    const bool framed = (flags & 0x10u) != 0;
    c.closeAfterReply = (flags & 0x20u) != 0;
    c.secondRead = (flags & 0x40u) != 0;
    c.slaveId = in.byte() + ((flags & 0x80u) != 0 ? 256 : 0);
    c.startRegister = in.word();
    const std::uint8_t link = in.byte();
    c.timeoutMs = TimeoutChoice(link);
    c.fault = (link >> 2) & 7;
    if (c.fault > PartialSend) {
        c.fault = NoFault;
    }
    if (framed) {
        FramedSteps(in, firstId, c);
    } else {
        RawSteps(in, c);
    }
    return c;
}

// The bytes the link can gather: the data pieces up to the first close, failure or silence.
Bytes Stream(const Steps& steps)
{
    Bytes stream;
    for (const test::SocketStep& step : steps) {
        if (step.kind != test::SocketStep::Data || step.bytes.empty()) {
            break;
        }
        stream.insert(stream.end(), step.bytes.begin(), step.bytes.end());
    }
    return stream;
}

std::optional<bool> Accepted(const TcpCase& c, std::uint16_t idSent, std::uint8_t transNo)
{
    const bool ident = c.type == DeviceIdentification;
    const bool scattered = c.type == ScatteredRead;
    if (c.fault != NoFault || c.timeoutMs < 1000 || c.timeoutMs > 60000 ||
        (!ident && (c.count < 1 || c.count > (scattered ? 100 : 125)))) {
        return false;
    }
    if (FunctionOf(c.type) == 0) {
        return std::nullopt; // no request of its own; only that it ends in order is judged
    }
    // The header comes in one first receive of six bytes.
    if (c.first.empty() || c.first.front().kind != test::SocketStep::Data ||
        c.first.front().bytes.size() < 6) {
        return false;
    }
    const Bytes stream = Stream(c.first);
    const std::size_t length = stream[5];
    if (length < 2 || length > 254 || stream.size() < 6 + length) {
        return false;
    }
    const std::size_t total = 6 + length;
    if (ident ? (stream[7] & 0x80u) != 0 || total < 14
              : total != static_cast<std::size_t>(2 * c.count + (scattered ? 11 : 9))) {
        return false;
    }
    if (WordAt(stream, 0) != idSent) {
        return false;
    }
    const std::span<const std::uint8_t> pdu(stream.data() + 6, length);
    return ReadFieldsOk(pdu, c.type, c.slaveId, c.count, transNo);
}

void CheckHeaderRoutines(std::span<const std::uint8_t> bytes)
{
    for (std::size_t k = 0; k <= std::min<std::size_t>(bytes.size(), 8); ++k) {
        const ExactInput piece(bytes.data(), k);
        const HeaderCheck header = CheckMbapHeader(piece.bytes());
        if (k < 6) {
            Check(IsText(header.failure, kTooShort), "a short header was not refused as such");
            continue;
        }
        const std::size_t length = bytes[5];
        const bool inBounds = length >= 2 && length <= 254;
        Check(inBounds ? header.failure == nullptr && header.length == length
                       : IsText(header.failure, kOutOfBounds),
              "the header length check is wrong");
        if (k >= 2) {
            const std::uint16_t id = WordAt(bytes, 0);
            Check(TransactionIdMatches(piece.bytes(), id), "the transaction id did not match");
            Check(!TransactionIdMatches(piece.bytes(), static_cast<std::uint16_t>(id + 1)),
                  "a wrong transaction id matched");
        }
    }
    for (std::size_t k = 0; k < std::min<std::size_t>(bytes.size(), 2); ++k) {
        const ExactInput piece(bytes.data(), k);
        Check(!TransactionIdMatches(piece.bytes(), 0), "a cut identifier matched");
    }
}

} // namespace

} // namespace quarin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quarin;
    using namespace quarin::fuzz;
    const ExactInput input(data, size);
    CheckHeaderRoutines(input.bytes());

    Console console;
    Reader in(input.bytes());
    const TcpCase c = ReadCase(in, console.dlg.mbapTransactionNo());

    ConsoleSettings& s = console.dlg.settings();
    s.m_port = 0;
    s.m_dataType = c.type;
    s.m_registerCount = c.count;
    s.m_protocol = c.protocol;
    s.m_displayMode = c.hex ? Hex : Decimal;
    s.m_slaveId = c.slaveId;
    s.m_startRegister = c.startRegister;
    s.m_timeoutMs = c.timeoutMs;
    s.m_closeAfterReply = c.closeAfterReply ? 1 : 0;
    console.dlg.showTransfer();

    test::FakeSocketApi& sockets = console.fp.sockets;
    sockets.startupFails = c.fault == StartupFails;
    if (c.fault == ConnectRefused) {
        sockets.connectError = 111;
    }
    sockets.writableTimesOut = c.fault == WriteWaitTimesOut;
    if (c.fault == SendFails) {
        sockets.sendError = 32;
    }
    if (c.fault == PartialSend) {
        sockets.sendCount = 3;
    }
    sockets.replies.push_back(c.first);
    sockets.replies.push_back(c.second);

    const std::uint16_t idSent = console.dlg.mbapTransactionNo();
    console.read(c.mode);
    console.checkTransactionEnded();
    console.checkLinkState();
    console.checkLog();

    const std::optional<bool> verdict = Accepted(c, idSent, console.dlg.scatterTransactionNo());
    const int errors =
        console.boxes(MessageIcon::Error) + static_cast<int>(console.dlg.stats().errorCount);
    if (!verdict) {
        Check(errors <= 1, "a TCP read reported more than one failure");
    } else if (!*verdict) {
        Check(errors == 1, "a refused TCP read did not report exactly one failure");
    } else {
        Check(errors == 0, "a correct TCP reply was refused");
        Check(console.dlg.connected() != c.closeAfterReply,
              "the link is not as close-after-reply says");
        if (c.type == DeviceIdentification) {
            Check(console.boxes(MessageIcon::Information) == 1, "no identification box");
        } else {
            const Bytes stream = Stream(c.first);
            const std::size_t first = 6 + (c.type == ScatteredRead ? 5u : 3u);
            const std::size_t shown = static_cast<std::size_t>(std::min(c.count, kValueRows));
            for (std::size_t k = 0; k < kValueRows; ++k) {
                const std::string expected =
                    k < shown ? ValueText(WordAt(stream, first + 2 * k), c.hex) : std::string("0");
                Check(s.m_values[k] == expected, "a register value is shown wrong");
            }
        }
    }

    if (c.secondRead) {
        console.view.clearBoxes();
        console.read(c.mode);
        console.checkTransactionEnded();
        console.checkLinkState();
    }
    return 0;
}
