// The steps the four transactions share.
#include "console/failure_detail.h"
#include "console/master_dlg.h"
#include "links/link_texts.h"
#include "links/serial_line.h"
#include "transactions/transaction_texts.h"

namespace quarin {

namespace {

constexpr int kMinTimeoutMs = 1000;
constexpr int kMaxTimeoutMs = 60000;
// The line rests this long after a serial transaction that succeeded.
constexpr int kSettleMs = 25;

} // namespace

bool CMasterDlg::beginRead(ConsoleSettings& s)
{
    // Once the console halts the record is out of reach, and a default copy is not the
    // operator's to act on.
    if (changeRecord([&] {
            m_settings.m_values = zeroTexts();
            m_stats.lastMs = 0;
            s = m_settings;
        })) {
        return true;
    }
    endTransaction();
    return false;
}

// The end of a read that has shown its own box: the console refreshed, the console handed back.
void CMasterDlg::endRead()
{
    sendUpdateConsole();
    endTransaction();
}

bool CMasterDlg::timeoutRefused(const ConsoleSettings& s)
{
    if (s.m_timeoutMs >= kMinTimeoutMs && s.m_timeoutMs <= kMaxTimeoutMs) {
        return false;
    }
    showMessage(kTimeoutRange, MessageIcon::Error);
    sendUpdateConsole();
    return true;
}

bool CMasterDlg::addressMissing(const ConsoleSettings& s)
{
    if (!s.m_address.empty()) {
        return false;
    }
    showMessage(kNoAddress, MessageIcon::Error);
    return true;
}

ReadRequest CMasterDlg::readRequestFor(const ConsoleSettings& s)
{
    ReadRequest request{
        s.m_dataType, s.m_protocol, s.m_slaveId, s.m_startRegister, s.m_registerCount};
    if (s.m_dataType == ScatteredRead) {
        request.transmissionNo = ++m_scatterTransactionNo;
    }
    return request;
}

void CMasterDlg::showReadReply(std::span<const std::uint8_t> pdu, const ReadRequest& request)
{
    if (request.dataType == DeviceIdentification) {
        showMessage(IdentificationText(pdu), MessageIcon::Information);
        return;
    }
    // The display mode as it stands now: the operator may have changed it while the reply was on
    // its way.
    changeRecord([&] {
        ValueTexts values = zeroTexts();
        ExtractValues(pdu, request, m_settings.m_displayMode, values);
        m_settings.m_values = values;
    });
}

void CMasterDlg::clearUnusedValues(int registerCount)
{
    onWindow([&] { ZeroRowsFrom(m_settings.m_values, static_cast<std::size_t>(registerCount)); });
}

void CMasterDlg::resetModbusLabels(LabelReset when)
{
    // The protocol as it stands now, like the display mode of the values.
    onWindow([&] {
        if (when == ResetAlways || m_settings.m_protocol == Modbus) {
            m_labelsJbusForm = true;
            showModbusLabels();
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Serial line

SerialFraming CMasterDlg::framingFor(const ConsoleSettings& s)
{
    return SerialFraming(s.m_protocol == ModbusAscii ? AsciiFrame : BinaryFrame);
}

// The port captured and configured, its DTR raised and the pre-send delay waited; null when it
// could not be captured or configured, its box shown.
std::unique_ptr<SerialPort> CMasterDlg::openSerialPort(const ConsoleSettings& s, PortAtBox order)
{
    std::unique_ptr<SerialPort> port = m_platform.serial.open(s.m_port);
    if (!port) {
        showMessage(
            Fault(PortCaptureFault, m_platform.serial.lastOpenError(), kUnableToCapturePort),
            MessageIcon::Error,
            captureFailureDetail(s.m_port));
        return nullptr;
    }
    port->purge();
    if (!port->configure(LineSettingsFor(s.m_baudRate, s.m_parity, s.m_protocol))) {
        serialFailure(
            *port, Fault(PortSettingsFault, 0, kUnableToInitializePort), KeepLineErrors, order);
        return nullptr;
    }
    SerialLineNote() = Rs485Detail(port->rs485());
    port->raiseDtr();
    if (s.m_preSendDelayMs > 0) {
        m_platform.clock.sleepMs(s.m_preSendDelayMs);
    }
    return port;
}

IoResult CMasterDlg::sendSerial(SerialPort& port,
                                const ConsoleSettings& s,
                                TimeStamp start,
                                std::span<const std::uint8_t> frame)
{
    const IoResult sent = port.write(frame, s.m_timeoutMs);
    traceSent(s, start, frame, sent.count);
    return sent;
}

void CMasterDlg::takeEcho(SerialPort& port,
                          const ConsoleSettings& s,
                          std::span<std::uint8_t> rx,
                          std::size_t length)
{
    const IoResult echo = port.read(rx.first(length), s.m_timeoutMs);
    traceEcho(rx.first(echo.count));
}

IoResult CMasterDlg::receiveSerial(SerialPort& port,
                                   const ConsoleSettings& s,
                                   std::span<std::uint8_t> rx,
                                   std::size_t expected)
{
    const IoResult reply = port.read(rx.first(expected), s.m_timeoutMs);
    traceReceived(rx.first(reply.count), !reply.ok);
    return reply;
}

void CMasterDlg::serialFailure(SerialPort& port,
                               const Fault& fault,
                               LineErrors errors,
                               PortAtBox order)
{
    if (errors == ClearLineErrors) {
        port.clearErrors();
    }
    if (order == PortClosedAtBox) {
        port.close();
    }
    showMessage(fault, MessageIcon::Error);
    if (order == PortOpenAtBox) {
        port.close();
    }
}

void CMasterDlg::endSerialSuccess(SerialPort& port, TimeStamp start)
{
    recordTransactionTime(start, m_platform.clock.now());
    port.close();
    resetModbusLabels(ResetUnderModbus);
    m_platform.clock.sleepMs(kSettleMs);
}

// ---------------------------------------------------------------------------------------------
// TCP link

bool CMasterDlg::sendTcpFrame(const ConsoleSettings& s,
                              TimeStamp start,
                              std::span<const std::uint8_t> frame,
                              Fault& failure)
{
    const bool sent = sendTcpRequest(frame, s.m_timeoutMs / 1000, failure);
    traceSent(s, start, frame, sent ? frame.size() : 0);
    return sent;
}

} // namespace quarin
