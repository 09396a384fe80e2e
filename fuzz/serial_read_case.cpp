#include "serial_read_case.h"

#include <algorithm>
#include <optional>

#include "harness.h"

namespace quarin::fuzz {

namespace {

enum PortFault
{
    NoFault,
    OpenFails,
    ConfigureFails,
    WriteFails,
    ShortWrite,
    ReplyReadFails
};

struct SerialCase
{
    DataType type = HoldingRegister;
    int count = 1;
    ProtocolVariant protocol = Modbus;
    bool hex = false;
    bool twoWire = false;
    SampleMode mode = Manual;
    int slaveId = 1;
    int startRegister = 1;
    int timeoutMs = 1000;
    int fault = NoFault;
    int preSendDelayMs = 0;
    Bytes reply;
};

std::size_t ExpectedLength(const SerialCase& c)
{
    const std::size_t n = static_cast<std::size_t>(c.count);
    const bool ascii = c.protocol == ModbusAscii;
    switch (c.type) {
    case ScatteredRead:
        return ascii ? 4 * n + 15 : 2 * n + 7;
    case DeviceIdentification:
        return 512;
    default:
        return ascii ? 4 * n + 11 : 2 * n + 5;
    }
}

bool CountInRange(const SerialCase& c)
{
    return c.count >= 1 && c.count <= (c.type == ScatteredRead ? 100 : 125);
}

// What the read must make of the bytes the port returned.
std::optional<bool>
Accepted(const SerialCase& c, std::span<const std::uint8_t> received, std::uint8_t transNo)
{
    if (!CountInRange(c) || c.timeoutMs < 1000 || c.timeoutMs > 60000 || c.fault != NoFault) {
        return false;
    }
    if (FunctionOf(c.type) == 0) {
        return std::nullopt; // no request of its own; only that it ends in order is judged
    }
    const bool ident = c.type == DeviceIdentification;
    const bool ascii = c.protocol == ModbusAscii;
    if (received.empty() || (!ident && received.size() != ExpectedLength(c))) {
        return false;
    }
    if (ident && received.size() >= 3 && (received[1] & 0x80u) != 0) {
        return false; // an exception reply, recognised on the bytes as received
    }
    const Bytes bytes = ascii ? DecodeAsciiChars(received) : toBytes(received);
    const std::size_t checkBytes = ascii ? 1 : 2;
    if (bytes.size() < (ident ? 8 : 1) + checkBytes) {
        return false;
    }
    const std::size_t n = bytes.size();
    const std::span<const std::uint8_t> message(bytes.data(), n - checkBytes);
    const bool frameOk =
        ascii ? bytes[n - 1] == referenceLrc(message)
              : referenceCrc16(message) == (unsigned{bytes[n - 1]} << 8 | bytes[n - 2]);
    return frameOk && ReadFieldsOk(message, c.type, c.slaveId, c.count, transNo);
}

SerialCase ReadCase(Reader& in, bool ascii)
{
    SerialCase c;
    // 5 stands for the -1 a settings file leaves when its index is outside the list.
    const int type = in.byte() % 6;
    c.type = static_cast<DataType>(type == 5 ? -1 : type);
    c.count = in.byte() & 0x7F;
    const std::uint8_t flags = in.byte();
    c.protocol = ascii ? ModbusAscii : (flags & 0x01u) != 0 ? Jbus : Modbus;
    c.hex = (flags & 0x02u) != 0;
    c.twoWire = (flags & 0x04u) != 0;
    const int mode = (flags >> 3) & 3;
    // The console offers no schedule for identification reads.
    c.mode = mode == 3 || c.type == DeviceIdentification ? Manual : static_cast<SampleMode>(mode);
    const bool frame = (flags & 0x20u) != 0;
    c.slaveId = in.byte() + ((flags & 0x40u) != 0 ? 256 : 0);
    c.startRegister = in.word();
    const std::uint8_t link = in.byte();
    c.timeoutMs = TimeoutChoice(link);
    c.fault = (link >> 2) & 7;
    c.preSendDelayMs = (link & 0x20u) != 0 ? 50 : 0;
    if (c.fault > ReplyReadFails) {
        c.fault = NoFault;
    }
    const std::span<const std::uint8_t> rest = in.rest();
    c.reply = !frame ? toBytes(rest) : ascii ? asciiFrame(rest) : withCrc(rest);
    return c;
}

} // namespace

void RunSerialReadCase(std::span<const std::uint8_t> input, bool ascii)
{
    Reader in(input);
    const SerialCase c = ReadCase(in, ascii);

    Console console;
    ConsoleSettings& s = console.dlg.settings();
    s.m_port = 1;
    s.m_dataType = c.type;
    s.m_registerCount = c.count;
    s.m_protocol = c.protocol;
    s.m_displayMode = c.hex ? Hex : Decimal;
    s.m_wiring = c.twoWire ? TwoWireEcho : FourWireNoEcho;
    s.m_slaveId = c.slaveId;
    s.m_startRegister = c.startRegister;
    s.m_timeoutMs = c.timeoutMs;
    s.m_preSendDelayMs = c.preSendDelayMs;
    console.dlg.showTransfer();

    test::SerialScript& script = console.fp.serial.script;
    script.openFails = c.fault == OpenFails;
    script.configureFails = c.fault == ConfigureFails;
    script.writeFails = c.fault == WriteFails;
    if (c.fault == ShortWrite) {
        script.writeCount = 1;
    }
    const int replyRead = c.twoWire ? 1 : 0;
    if (c.fault == ReplyReadFails) {
        script.failRead = replyRead;
    }
    if (c.twoWire) {
        script.reads.push_back({}); // the echo: nothing comes back, which is not examined
    }
    script.reads.push_back(c.reply);

    console.read(c.mode);

    console.checkTransactionEnded();
    console.checkPortsClosed();
    console.checkLog();

    // The port hands over at most the expected length.
    const std::size_t got = std::min(c.reply.size(), ExpectedLength(c));
    const std::span<const std::uint8_t> received(c.reply.data(), got);
    const std::optional<bool> verdict = Accepted(c, received, console.dlg.scatterTransactionNo());
    const int errors =
        console.boxes(MessageIcon::Error) + static_cast<int>(console.dlg.stats().errorCount);
    if (!verdict) {
        Check(errors <= 1, "a serial read reported more than one failure");
        return;
    }
    if (!*verdict) {
        Check(errors == 1, "a refused serial read did not report exactly one failure");
        return;
    }
    Check(errors == 0, "a correct serial reply was refused");
    if (c.type == DeviceIdentification) {
        Check(console.boxes(MessageIcon::Information) == 1, "no identification box");
        return;
    }
    const Bytes bytes = ascii ? DecodeAsciiChars(received) : toBytes(received);
    const std::size_t first = c.type == ScatteredRead ? 5 : 3;
    const std::size_t shown = static_cast<std::size_t>(std::min(c.count, kValueRows));
    for (std::size_t k = 0; k < kValueRows; ++k) {
        const std::string expected =
            k < shown ? ValueText(WordAt(bytes, first + 2 * k), c.hex) : std::string("0");
        Check(console.dlg.settings().m_values[k] == expected, "a register value is shown wrong");
    }
}

} // namespace quarin::fuzz
