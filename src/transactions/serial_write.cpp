#include <array>

#include "console/failure_detail.h"
#include "console/master_dlg.h"
#include "console/scope_exit.h"
#include "links/link_texts.h"
#include "links/serial_line.h"
#include "messages/format_text.h"
#include "messages/framing.h"
#include "messages/write_pdu.h"
#include "transactions/transaction_texts.h"
#include "transactions/write_validation.h"

namespace quarin {

namespace {

constexpr std::size_t kWriteBufferSize = 256;

} // namespace

void CMasterDlg::SerialWrite()
{
    ConsoleSettings s;
    onWindow([&] { s = m_settings; });
    // The window offers Write for the two holding-register types only.
    if (!WritableType(s.m_dataType)) {
        return;
    }
    setBusyCursor(true);
    ScopeExit cursor([this] { setBusyCursor(false); });
    WriteRequest request;
    if (!prepareWrite(true, s, request)) {
        return;
    }
    if (s.m_timeoutMs < 1000 || s.m_timeoutMs > 60000) {
        showMessage(kTimeoutRange, MessageIcon::Error);
        sendUpdateConsole(false);
        return;
    }

    std::unique_ptr<SerialPort> port = m_platform.serial.open(s.m_port);
    if (!port) {
        showMessage(kUnableToCapturePort, MessageIcon::Error, captureFailureDetail(s.m_port));
        return;
    }
    // Unlike the read, the port stays open while the box is shown, except after a reply of the
    // wrong length.
    auto failWithPortOpen = [&](const std::string& text, bool clear) {
        if (clear) {
            port->clearErrors();
        }
        showMessage(text, MessageIcon::Error);
        port->close();
    };
    port->purge();
    if (!port->configure(LineSettingsFor(s.m_baudRate, s.m_parity, s.m_protocol))) {
        failWithPortOpen(kUnableToInitializePort, false);
        return;
    }
    SerialLineNote() = Rs485Detail(port->rs485());
    ScopeExit forgetLineNote([] { SerialLineNote().clear(); });
    port->raiseDtr();
    if (s.m_preSendDelayMs > 0) {
        m_platform.clock.sleepMs(s.m_preSendDelayMs);
    }

    const TimeStamp start = m_platform.clock.now();
    std::array<std::uint8_t, kWriteBufferSize> tx{};
    std::array<std::uint8_t, kWriteBufferSize> rx{};
    const std::size_t message = RegisterWriteRequest(tx, request);
    onWindow([&] {
        for (std::size_t k = static_cast<std::size_t>(request.registerCount); k < kValueRows; ++k) {
            m_settings.m_values[k].assign(1, '0'); // not = "0": g++ 12 -O2 -Wrestrict
        }
    });
    const bool ascii = s.m_protocol == ModbusAscii;
    const std::size_t frameLength = ascii ? AsciiEncode(tx, message) : AppendCrc(tx, message);
    const std::span<const std::uint8_t> frame(tx.data(), frameLength);
    const IoResult sent = port->write(frame, s.m_timeoutMs);
    traceSent(s, start, frame, sent.count);
    if (!sent.ok) {
        failWithPortOpen(kUnableToTx, true);
        return;
    }
    const bool broadcast = s.m_slaveId == 0;
    // On a line that echoes, the request itself comes back first, and a function 06 request is
    // byte for byte a correct echo: without taking it off the line, a write to a dead slave would
    // pass.
    if (s.m_wiring == TwoWireEcho && !broadcast) {
        const IoResult echo = port->read(std::span(rx).first(frameLength), s.m_timeoutMs);
        traceEcho(std::span(rx).first(echo.count));
    }

    if (!broadcast) {
        // The ASCII reply has 17 characters; its line feed is left unread.
        const std::size_t expected = ascii ? 16 : 8;
        const IoResult reply = port->read(std::span(rx).first(expected), s.m_timeoutMs);
        traceReceived(std::span(rx).first(reply.count), !reply.ok);
        if (!reply.ok) {
            failWithPortOpen(kUnableToRx, true);
            return;
        }
        if (reply.count != expected) {
            recordTransactionTime(start, m_platform.clock.now());
            port->clearErrors();
            port->close();
            if (reply.count == 0) {
                showMessage(kWriteNoResponse, MessageIcon::Error);
            } else if (reply.count >= 3 && (rx[1] & 0x80) != 0) {
                showMessage(formatText(kWriteException, rx[2]), MessageIcon::Error);
            } else {
                showMessage(kWriteIncomplete, MessageIcon::Error);
            }
            return;
        }
        std::size_t count = reply.count;
        if (ascii) {
            count = AsciiDecode(rx, count);
        }
        const std::span<const std::uint8_t> received(rx.data(), count);
        if (ascii ? !AsciiFrameOk(received) : !BinaryFrameOk(received)) {
            recordTransactionTime(start, m_platform.clock.now());
            failWithPortOpen(kCrcMismatch, false);
            return;
        }
        if (const std::optional<std::string> failure =
                WriteEcho(received.first(6), request, LinkKind::Serial)) {
            failWithPortOpen(*failure, false);
            return;
        }
    }

    recordTransactionTime(start, m_platform.clock.now());
    port->close();
    if (s.m_protocol == Modbus) {
        onWindow([this] {
            m_labelsJbusForm = true;
            showModbusLabels();
        });
    }
    m_platform.clock.sleepMs(25);
}

} // namespace quarin
