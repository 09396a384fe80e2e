#include <array>

#include "console/failure_detail.h"
#include "console/master_dlg.h"
#include "console/scope_exit.h"
#include "links/link_texts.h"
#include "messages/format_text.h"
#include "transactions/transaction_texts.h"
#include "transactions/write_validation.h"

namespace quarin {

namespace {

constexpr std::size_t kWriteBufferSize = 256;
constexpr std::size_t kEchoLength = 6; // slave, function, register, value or quantity

// The ASCII reply's line feed is left unread.
std::size_t echoFrameLength(SerialFraming framing)
{
    return framing.frameLength(kEchoLength) - (framing.ascii() ? 1 : 0);
}

} // namespace

void CMasterDlg::SerialWrite()
{
    ConsoleSettings s;
    WriteRequest request;
    if (!prepareWrite(NumberedLabels, s, request) || timeoutRefused(s)) {
        return;
    }
    // Unlike the read, the port stays open while the box is shown, except after a reply of the
    // wrong length.
    std::unique_ptr<SerialPort> port = openSerialPort(s, PortOpenAtBox);
    if (!port) {
        return;
    }
    ScopeExit forgetLineNote([] { SerialLineNote().clear(); });

    const TimeStamp start = m_platform.clock.now();
    std::array<std::uint8_t, kWriteBufferSize> tx{};
    std::array<std::uint8_t, kWriteBufferSize> rx{};
    const std::size_t message = RegisterWriteRequest(tx, request);
    clearUnusedValues(request.registerCount);
    const SerialFraming framing = framingFor(s);
    const std::size_t frameLength = framing.encode(tx, message);
    const IoResult sent = sendSerial(*port, s, start, std::span(tx).first(frameLength));
    if (!sent.ok) {
        serialFailure(*port, Fault(TransmitFault, 0, kUnableToTx), ClearLineErrors, PortOpenAtBox);
        return;
    }
    const bool broadcast = s.m_slaveId == 0;
    // On a line that echoes, the request itself comes back first, and a function 06 request is
    // byte for byte a correct echo: without taking it off the line, a write to a dead slave would
    // pass.
    if (s.m_wiring == TwoWireEcho && !broadcast) {
        takeEcho(*port, s, rx, frameLength);
    }
    if (!broadcast) {
        const IoResult reply = receiveSerial(*port, s, rx, echoFrameLength(framing));
        if (!reply.ok) {
            serialFailure(
                *port, Fault(PortReadFault, 0, kUnableToRx), ClearLineErrors, PortOpenAtBox);
            return;
        }
        if (!judgeSerialEcho(*port, request, framing, start, rx, reply.count)) {
            return;
        }
    }
    endSerialSuccess(*port, start);
}

// False when the echo failed, its box shown and the port closed.
bool CMasterDlg::judgeSerialEcho(SerialPort& port,
                                 const WriteRequest& request,
                                 SerialFraming framing,
                                 TimeStamp start,
                                 std::span<std::uint8_t> rx,
                                 std::size_t count)
{
    if (count != echoFrameLength(framing)) {
        recordTransactionTime(start, m_platform.clock.now());
        port.clearErrors();
        port.close();
        const std::span<const std::uint8_t> received = rx.first(count);
        if (count == 0) {
            showMessage(Fault(NoReplyFault, 0, kWriteNoResponse), MessageIcon::Error);
        } else if (const std::optional<std::uint8_t> code = ExceptionCode(received)) {
            showMessage(Fault(ExceptionFault, *code, formatText(kWriteException, int{*code})),
                        MessageIcon::Error);
        } else {
            showMessage(Fault(FragmentFault, 0, kWriteIncomplete), MessageIcon::Error);
        }
        return false;
    }
    const std::span<const std::uint8_t> decoded = rx.first(framing.decode(rx, count));
    if (!framing.verify(decoded)) {
        recordTransactionTime(start, m_platform.clock.now());
        serialFailure(port, Fault(CheckValueFault, 0, kCrcMismatch), KeepLineErrors, PortOpenAtBox);
        return false;
    }
    if (const std::optional<std::string> failure =
            WriteEcho(decoded.first(kEchoLength), request, LinkKind::Serial)) {
        serialFailure(port, Fault(ReplyCheckFault, 0, *failure), KeepLineErrors, PortOpenAtBox);
        return false;
    }
    return true;
}

} // namespace quarin
