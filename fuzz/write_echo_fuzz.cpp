// The write's echo from the input: a whole SerialWrite or TcpWrite through the Write command,
// and WriteEcho on its own.
//
//   byte 0       bit 0 TCP, bit 1 function 06 (else 16), bit 2 Hex display, bits 3-4 protocol
//                (0 Modbus, 1 Jbus, 2 ModbusAscii, 3 Modbus), bit 5 frame the echo, bit 6
//                two-wire wiring, bit 7 close after reply
//   byte 1       register count, low 4 bits (0 and 11..15 are refused)
//   byte 2       slave ID (0: broadcast, no reply is read)
//   bytes 3-4    start register (0 is refused)
//   byte 5       bits 0-1 timeout, bits 2-4 a failing step (serial: 1 open, 2 configure,
//                3 write, 4 reply read; TCP: 1 connect, 2 write wait, 3 send, 4 partial send)
//   bytes 6-25   the ten values, two bytes each, typed as the display mode shows them
//   the rest     the echo: serial bytes or characters, or for TCP the bytes of the one receive;
//                framed: the message, with CRC or ASCII frame added, or the header put before it

#include <algorithm>
#include <array>
#include <cstdio>

#include "harness.h"
#include "messages/write_pdu.h"

namespace quarin::fuzz {

namespace {

struct WriteCase
{
    bool tcp = false;
    DataType type = HoldingRegister;
    bool hex = false;
    ProtocolVariant protocol = Modbus;
    bool twoWire = false;
    bool closeAfterReply = false;
    int count = 1;
    int slaveId = 1;
    int startRegister = 1;
    int timeoutMs = 1000;
    int fault = 0;
    std::array<std::uint16_t, kValueRows> values{};
    Bytes echo; // what the slave sends
};

WriteCase ReadCase(Reader& in)
{
    WriteCase c;
    const std::uint8_t flags = in.byte();
    c.tcp = (flags & 0x01u) != 0;
    c.type = (flags & 0x02u) != 0 ? SingleHoldingRegister : HoldingRegister;
    c.hex = (flags & 0x04u) != 0;
    const int protocol = (flags >> 3) & 3;
    c.protocol = protocol == 3 ? Modbus : static_cast<ProtocolVariant>(protocol);
    const bool frame = (flags & 0x20u) != 0;
    c.twoWire = (flags & 0x40u) != 0;
    c.closeAfterReply = (flags & 0x80u) != 0;
    c.count = in.byte() & 0x0F;
    c.slaveId = in.byte();
    c.startRegister = in.word();
    const std::uint8_t link = in.byte();
    c.timeoutMs = TimeoutChoice(link);
    c.fault = (link >> 2) & 7;
    if (c.fault > 4) {
        c.fault = 0;
    }
    for (std::uint16_t& value : c.values) {
        value = in.word();
    }
    const std::span<const std::uint8_t> rest = in.rest();
    if (!frame) {
        c.echo = toBytes(rest);
    } else if (c.tcp) {
        c.echo = mbap(1, rest.first(std::min<std::size_t>(rest.size(), 250)));
    } else {
        c.echo = c.protocol == ModbusAscii ? asciiFrame(rest) : withCrc(rest);
    }
    return c;
}

int Count(const WriteCase& c)
{
    return c.type == SingleHoldingRegister ? 1 : c.count;
}

// The four echo checks on the six bytes of the echo.
bool EchoOk(const WriteCase& c, std::span<const std::uint8_t> echo)
{
    const std::uint8_t function = c.type == SingleHoldingRegister ? 0x06 : 0x10;
    const unsigned address = WordAt(echo, 2);
    const unsigned echoed = c.protocol == Jbus ? address : (address + 1) & 0xFFFFu;
    const unsigned fourth = WordAt(echo, 4);
    return int{echo[0]} == c.slaveId && echo[1] == function &&
           echoed == static_cast<unsigned>(c.startRegister) &&
           fourth == (c.type == SingleHoldingRegister ? unsigned{c.values[0]}
                                                      : static_cast<unsigned>(c.count));
}

bool Accepted(const WriteCase& c, std::uint16_t idSent)
{
    // A broadcast reads no reply, so a failing reply read cannot touch it.
    const bool replyReadFault = !c.tcp && c.fault == 4;
    if (c.startRegister < 1 || (c.type == HoldingRegister && (c.count < 1 || c.count > 10)) ||
        c.timeoutMs < 1000 || c.timeoutMs > 60000 ||
        (c.fault != 0 && !(replyReadFault && c.slaveId == 0))) {
        return false;
    }
    if (c.slaveId == 0) {
        return true;
    }
    if (c.tcp) {
        // One receive must bring the whole twelve-byte frame.
        if (c.echo.size() != 12) {
            return false;
        }
        return WordAt(c.echo, 0) == idSent && EchoOk(c, std::span(c.echo).subspan(6));
    }
    const bool ascii = c.protocol == ModbusAscii;
    const std::size_t expected = ascii ? 16 : 8;
    if (c.echo.size() < expected) {
        return false;
    }
    const std::span<const std::uint8_t> received(c.echo.data(), expected);
    if (ascii) {
        const Bytes bytes = DecodeAsciiChars(received);
        return bytes[6] == referenceLrc(std::span(bytes).first(6)) && EchoOk(c, bytes);
    }
    return referenceCrc16(received.first(6)) == (unsigned{received[7]} << 8 | received[6]) &&
           EchoOk(c, received);
}

std::string TypedValue(std::uint16_t value, bool hex)
{
    char text[8];
    std::snprintf(text, sizeof text, hex ? "%X" : "%u", unsigned{value});
    return text;
}

void RunConsoleWrite(const WriteCase& c)
{
    Console console;
    ConsoleSettings& s = console.dlg.settings();
    s.m_port = c.tcp ? 0 : 1;
    s.m_dataType = c.type;
    s.m_registerCount = c.count;
    s.m_protocol = c.protocol;
    s.m_displayMode = c.hex ? Hex : Decimal;
    s.m_wiring = c.twoWire ? TwoWireEcho : FourWireNoEcho;
    s.m_slaveId = c.slaveId;
    s.m_startRegister = c.startRegister;
    s.m_timeoutMs = c.timeoutMs;
    s.m_closeAfterReply = c.closeAfterReply ? 1 : 0;
    for (std::size_t k = 0; k < kValueRows; ++k) {
        s.m_values[k] = TypedValue(c.values[k], c.hex);
    }
    console.dlg.showTransfer();

    if (c.tcp) {
        test::FakeSocketApi& sockets = console.fp.sockets;
        if (c.fault == 1) {
            sockets.connectError = 111;
        }
        sockets.writableTimesOut = c.fault == 2;
        if (c.fault == 3) {
            sockets.sendError = 32;
        }
        if (c.fault == 4) {
            sockets.sendCount = 3;
        }
        sockets.replies.push_back({{test::SocketStep::Data, c.echo, 0}});
    } else {
        test::SerialScript& script = console.fp.serial.script;
        script.openFails = c.fault == 1;
        script.configureFails = c.fault == 2;
        script.writeFails = c.fault == 3;
        const bool readsEcho = c.twoWire && c.slaveId != 0;
        if (c.fault == 4) {
            script.failRead = readsEcho ? 1 : 0;
        }
        if (readsEcho) {
            script.reads.push_back({});
        }
        script.reads.push_back(c.echo);
    }

    const std::uint16_t idSent = console.dlg.mbapTransactionNo();
    console.dlg.onWrite();
    console.checkTransactionEnded();
    console.checkPortsClosed();
    console.checkLinkState();
    Check(console.log().empty(), "a write wrote the log");

    const int errors = console.boxes(MessageIcon::Error);
    Check(errors == (Accepted(c, idSent) ? 0 : 1), "the write's verdict on the echo is wrong");
    for (std::size_t k = static_cast<std::size_t>(std::max(Count(c), 0)); k < kValueRows; ++k) {
        // Values beyond the count are cleared once the request is built, and only then.
        if (errors == 0) {
            Check(s.m_values[k] == "0", "a value beyond the count was kept");
        }
    }
}

// WriteEcho on every cut of the echo, each in a block of exactly its size.
void CheckEchoRoutine(const WriteCase& c, std::span<const std::uint8_t> echo)
{
    WriteRequest request;
    request.dataType = c.type;
    request.protocol = c.protocol;
    request.slaveId = c.slaveId;
    request.startRegister = c.startRegister;
    request.registerCount = Count(c);
    for (std::size_t k = 0; k < kValueRows; ++k) {
        request.values[k] = c.values[k];
    }
    for (std::size_t k = 0; k <= std::min<std::size_t>(echo.size(), 8); ++k) {
        const ExactInput piece(echo.data(), k);
        for (const LinkKind link : {LinkKind::Serial, LinkKind::Tcp}) {
            const bool passed = !WriteEcho(piece.bytes(), request, link).has_value();
            Check(passed == (k >= 6 && EchoOk(c, piece.bytes())), "WriteEcho judged wrongly");
        }
    }

    // The request's own first six bytes are a correct echo whenever the settings are in range.
    std::array<std::uint8_t, 32> out{};
    const std::size_t length = RegisterWriteRequest(out, request);
    const bool inRange =
        c.startRegister >= 1 && request.registerCount >= 1 && request.registerCount <= 10;
    if (!inRange) {
        return;
    }
    Check(length == (c.type == SingleHoldingRegister
                         ? 6u
                         : 7u + 2u * static_cast<std::size_t>(request.registerCount)),
          "RegisterWriteRequest has the wrong length");
    const ExactInput own(out.data(), 6);
    Check(!WriteEcho(own.bytes(), request, LinkKind::Serial).has_value(),
          "the request's own echo was refused");
}

} // namespace

} // namespace quarin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quarin::fuzz;
    const ExactInput input(data, size);
    Reader in(input.bytes());
    const WriteCase c = ReadCase(in);
    CheckEchoRoutine(c, in.rest());
    RunConsoleWrite(c);
    return 0;
}
