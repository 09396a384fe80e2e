#include <array>

#include "console/failure_detail.h"
#include "console/master_dlg.h"
#include "console/scope_exit.h"
#include "links/link_texts.h"
#include "transactions/transaction_texts.h"

namespace quarin {

namespace {

constexpr std::size_t kSerialBufferSize = 512;
constexpr std::size_t kIdentificationReplyLength = 512;

// Bytes a reply must have: the whole frame for register reads; identification replies are read
// for as long as the time-out allows.
std::size_t expectedReadLength(const ConsoleSettings& s, SerialFraming framing)
{
    const std::size_t n = static_cast<std::size_t>(s.m_registerCount);
    switch (s.m_dataType) {
    case ScatteredRead:
        return framing.frameLength(2 * n + 5);
    case DeviceIdentification:
        return kIdentificationReplyLength;
    default:
        return framing.frameLength(2 * n + 3);
    }
}

} // namespace

void CMasterDlg::SerialRead()
{
    const BusyCursor cursor(*this);
    ConsoleSettings s;
    if (!beginRead(s)) {
        return;
    }
    const bool scattered = s.m_dataType == ScatteredRead;
    const int maxCount = scattered ? 100 : 125;
    if (s.m_registerCount < 1 || s.m_registerCount > maxCount) {
        showMessage(scattered ? kCountRange100 : kCountRange125, MessageIcon::Error);
        changeRecord([&] {
            m_settings.m_registerCount = maxCount;
            if (!scattered) {
                m_settings.m_sampleMode = Manual;
            }
        });
        endTransaction();
        return;
    }
    if (timeoutRefused(s)) {
        endTransaction();
        return;
    }
    std::unique_ptr<SerialPort> port = openSerialPort(s, PortClosedAtBox);
    if (!port) {
        endRead();
        return;
    }
    ScopeExit forgetLineNote([] { SerialLineNote().clear(); });

    const TimeStamp start = m_platform.clock.now();
    const ReadRequest request = readRequestFor(s);
    const SerialFraming framing = framingFor(s);
    std::array<std::uint8_t, kSerialBufferSize> tx{};
    std::array<std::uint8_t, kSerialBufferSize> rx{};
    const std::size_t frameLength = framing.encode(tx, BuildReadRequest(tx, request));
    const std::span<const std::uint8_t> frame(tx.data(), frameLength);
    const IoResult sent = sendSerial(*port, s, start, frame);
    if (!sent.ok || sent.count != frameLength) {
        serialFailure(
            *port, Fault(TransmitFault, 0, kUnableToTx), ClearLineErrors, PortClosedAtBox);
        endRead();
        return;
    }
    if (s.m_wiring == TwoWireEcho) {
        takeEcho(*port, s, rx, frameLength);
    }
    const std::size_t expected = expectedReadLength(s, framing);
    const IoResult reply = receiveSerial(*port, s, rx, expected);
    if (!reply.ok) {
        serialFailure(
            *port, Fault(PortReadFault, 0, kUnableToRx), ClearLineErrors, PortClosedAtBox);
        endRead();
        return;
    }
    judgeSerialReply(*port, request, framing, start, std::span(rx).first(reply.count), expected);
}

// The time is recorded before the port is closed.
void CMasterDlg::timedReadFailure(SerialPort& port,
                                  TimeStamp start,
                                  const Fault& fault,
                                  LineErrors errors)
{
    recordTransactionTime(start, m_platform.clock.now());
    if (errors == ClearLineErrors) {
        port.clearErrors();
    }
    port.close();
    reportFailure(fault, Failure);
}

// Every way out ends the transaction.
void CMasterDlg::judgeSerialReply(SerialPort& port,
                                  const ReadRequest& request,
                                  SerialFraming framing,
                                  TimeStamp start,
                                  std::span<std::uint8_t> rx,
                                  std::size_t expected)
{
    auto checkFailed = [&](std::span<const std::uint8_t> fields) {
        const std::optional<std::string> failure =
            CheckReadReply(fields, request, LinkKind::Serial);
        if (failure) {
            port.close();
            reportFailure(Fault(ReplyCheckFault, 0, *failure), Failure);
        }
        return failure.has_value();
    };
    // Classified on the bytes as received: under ASCII the second character is a hex digit, so an
    // exception reply shows as a fragment.
    const std::optional<std::uint8_t> exception = ExceptionCode(rx);
    const bool identification = request.dataType == DeviceIdentification;
    if (rx.empty()) {
        timedReadFailure(port, start, Fault(NoReplyFault, 0, kNoResponse), ClearLineErrors);
        return;
    }
    if ((identification || rx.size() != expected) && exception) {
        timedReadFailure(port, start, ExceptionReplyFault(*exception), ClearLineErrors);
        return;
    }
    if (!identification && rx.size() != expected) {
        timedReadFailure(port, start, Fault(FragmentFault, 0, kFragment), ClearLineErrors);
        return;
    }
    const std::size_t count = framing.decode(rx, rx.size());
    // An identification reply must hold the fields the checks read (up to the object count at
    // byte 7) and its check value before the check value is computed. One cut short is judged by
    // the checked fields that did arrive, so an ASCII exception reply, which the test above cannot
    // see, fails its function code; with those fields right it is a fragment.
    const std::size_t checkBytes = framing.checkBytes();
    if (identification && count < 8 + checkBytes) {
        constexpr std::size_t kCheckedFields = 3; // slave address, function code, MEI type
        if (count >= kCheckedFields + checkBytes && checkFailed(rx.first(count - checkBytes))) {
            return;
        }
        timedReadFailure(port, start, Fault(FragmentFault, 0, kFragment), KeepLineErrors);
        return;
    }
    if (!framing.verify(rx.first(count))) {
        timedReadFailure(port, start, Fault(CheckValueFault, 0, kCrcMismatch), KeepLineErrors);
        return;
    }
    const std::span<const std::uint8_t> pdu = rx.first(count - checkBytes);
    if (checkFailed(pdu)) {
        return;
    }
    showReadReply(pdu, request);
    endSerialSuccess(port, start);
    endTransaction();
}

} // namespace quarin
