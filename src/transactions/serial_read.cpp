#include <array>
#include <utility>

#include "console/failure_detail.h"
#include "console/master_dlg.h"
#include "console/scope_exit.h"
#include "links/link_texts.h"
#include "links/serial_line.h"
#include "messages/format_text.h"
#include "messages/framing.h"
#include "messages/read_pdu.h"
#include "transactions/transaction_texts.h"

namespace quarin {

namespace {

constexpr std::size_t kSerialBufferSize = 512;
constexpr std::size_t kIdentificationReplyLength = 512;

// Bytes a reply must have: the whole frame for register reads; identification replies are read
// for as long as the time-out allows.
std::size_t expectedReadLength(const ConsoleSettings& s)
{
    const std::size_t n = static_cast<std::size_t>(s.m_registerCount);
    const bool ascii = s.m_protocol == ModbusAscii;
    switch (s.m_dataType) {
    case ScatteredRead:
        return ascii ? 4 * n + 15 : 2 * n + 7;
    case DeviceIdentification:
        return kIdentificationReplyLength;
    default:
        return ascii ? 4 * n + 11 : 2 * n + 5;
    }
}

} // namespace

void CMasterDlg::SerialRead()
{
    setBusyCursor(true);
    ScopeExit cursor([this] { setBusyCursor(false); });

    ConsoleSettings s;
    // Once the console halts the record is out of reach, and a default copy is not the
    // operator's to act on.
    if (!changeRecord([&] {
            m_settings.m_values = zeroTexts();
            m_stats.lastMs = 0;
            s = m_settings;
        })) {
        endTransaction();
        return;
    }
    // Ends an exit that shows its own box: the console refreshed, the console handed back.
    auto endWithBox = [&](const char* text, std::string detail = {}) {
        showMessage(text, MessageIcon::Error, std::move(detail));
        sendUpdateConsole(false);
        endTransaction();
    };

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
    if (s.m_timeoutMs < 1000 || s.m_timeoutMs > 60000) {
        endWithBox(kTimeoutRange);
        return;
    }

    std::unique_ptr<SerialPort> port = m_platform.serial.open(s.m_port);
    if (!port) {
        endWithBox(kUnableToCapturePort, captureFailureDetail(s.m_port));
        return;
    }
    port->purge();
    if (!port->configure(LineSettingsFor(s.m_baudRate, s.m_parity, s.m_protocol))) {
        port->close();
        endWithBox(kUnableToInitializePort);
        return;
    }
    SerialLineNote() = Rs485Detail(port->rs485());
    ScopeExit forgetLineNote([] { SerialLineNote().clear(); });
    port->raiseDtr();
    if (s.m_preSendDelayMs > 0) {
        m_platform.clock.sleepMs(s.m_preSendDelayMs);
    }

    const TimeStamp start = m_platform.clock.now();
    ReadRequest request{
        s.m_dataType, s.m_protocol, s.m_slaveId, s.m_startRegister, s.m_registerCount};
    if (scattered) {
        request.transmissionNo = ++m_scatterTransactionNo;
    }
    std::array<std::uint8_t, kSerialBufferSize> tx{};
    std::array<std::uint8_t, kSerialBufferSize> rx{};
    const std::size_t message = BuildReadRequest(tx, request);
    const std::size_t frameLength =
        s.m_protocol == ModbusAscii ? AsciiEncode(tx, message) : AppendCrc(tx, message);

    const std::span<const std::uint8_t> frame(tx.data(), frameLength);
    const IoResult sent = port->write(frame, s.m_timeoutMs);
    traceSent(s, start, frame, sent.count);
    if (!sent.ok || sent.count != frameLength) {
        port->clearErrors();
        port->close();
        endWithBox(kUnableToTx);
        return;
    }
    if (s.m_wiring == TwoWireEcho) {
        const IoResult echo = port->read(std::span(rx).first(frameLength), s.m_timeoutMs);
        traceEcho(std::span(rx).first(echo.count));
    }

    const std::size_t expected = expectedReadLength(s);
    const IoResult reply = port->read(std::span(rx).first(expected), s.m_timeoutMs);
    traceReceived(std::span(rx).first(reply.count), !reply.ok);
    if (!reply.ok) {
        port->clearErrors();
        port->close();
        endWithBox(kUnableToRx);
        return;
    }

    // Timed failures: the time is recorded before the port is closed.
    auto timedFailure = [&](const std::string& text, bool clear) {
        recordTransactionTime(start, m_platform.clock.now());
        if (clear) {
            port->clearErrors();
        }
        port->close();
        reportFailure(text, Failure);
    };
    std::size_t count = reply.count;
    // Classified on the bytes as received: under ASCII the second character is a hex digit, so an
    // exception reply shows as a fragment.
    const bool exception = count >= 3 && (rx[1] & 0x80) != 0;
    const bool identification = s.m_dataType == DeviceIdentification;
    if (count == 0) {
        timedFailure(kNoResponse, true);
        return;
    }
    if ((identification || count != expected) && exception) {
        timedFailure(ExceptionText(rx[2]), true);
        return;
    }
    if (!identification && count != expected) {
        timedFailure(kFragment, true);
        return;
    }

    const bool ascii = s.m_protocol == ModbusAscii;
    if (ascii) {
        count = AsciiDecode(rx, count);
    }
    // An identification reply must hold the fields the checks read (up to the object count at
    // byte 7) and its check value before the check value is computed. One cut short is judged by
    // the checked fields that did arrive, so an ASCII exception reply, which the test above cannot
    // see, fails its function code; with those fields right it is a fragment.
    const std::size_t checkBytes = ascii ? 1 : 2;
    if (identification && count < 8 + checkBytes) {
        constexpr std::size_t kCheckedFields = 3; // slave address, function code, MEI type
        if (count >= kCheckedFields + checkBytes) {
            const std::span<const std::uint8_t> fields(rx.data(), count - checkBytes);
            if (const std::optional<std::string> failure =
                    CheckReadReply(fields, request, LinkKind::Serial)) {
                port->close();
                reportFailure(*failure, Failure);
                return;
            }
        }
        timedFailure(kFragment, false);
        return;
    }
    const std::span<const std::uint8_t> received(rx.data(), count);
    if (ascii ? !AsciiFrameOk(received) : !BinaryFrameOk(received)) {
        timedFailure(kCrcMismatch, false);
        return;
    }
    const std::span<const std::uint8_t> pdu = received.first(count - checkBytes);
    if (const std::optional<std::string> failure = CheckReadReply(pdu, request, LinkKind::Serial)) {
        port->close();
        reportFailure(*failure, Failure);
        return;
    }

    if (identification) {
        showMessage(IdentificationText(pdu), MessageIcon::Information);
    } else {
        // The display mode and (below) the protocol as they stand now: the operator may have
        // changed either while the reply was on its way.
        changeRecord([&] {
            ValueTexts values = zeroTexts();
            ExtractValues(pdu, request, m_settings.m_displayMode, values);
            m_settings.m_values = values;
        });
    }
    recordTransactionTime(start, m_platform.clock.now());
    port->close();
    onWindow([this] {
        if (m_settings.m_protocol == Modbus) {
            m_labelsJbusForm = true;
            showModbusLabels();
        }
    });
    m_platform.clock.sleepMs(25);
    endTransaction();
}

} // namespace quarin
