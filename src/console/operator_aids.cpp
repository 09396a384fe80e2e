#include <cstring>

#include "console/failure_detail.h"
#include "console/master_dlg.h"
#include "console/port_tooltip.h"
#include "console/register_reference.h"
#include "messages/format_text.h"

namespace quarin {

namespace {

std::string comName(int portIndex)
{
    return formatText("COM%d", portIndex);
}

} // namespace

std::string CMasterDlg::portToolTip(int portIndex) const
{
    const std::string path = m_platform.serial.devicePath(portIndex);
    if (path.empty()) {
        return {};
    }
    if (m_portProbe == nullptr) {
        return comName(portIndex) + " opens " + path;
    }
    return PortToolTip(comName(portIndex), m_portProbe->identify(path));
}

std::string CMasterDlg::captureFailureDetail(int portIndex) const
{
    // Read before anything else can open a port and change it.
    const int error = m_platform.serial.lastOpenError();
    const std::string path = m_platform.serial.devicePath(portIndex);
    PortIdentity port;
    port.path = path;
    if (m_portProbe != nullptr && !path.empty()) {
        port = m_portProbe->identify(path);
    }
    return CaptureFailureDetail(comName(portIndex), port, error);
}

std::string CMasterDlg::registerLabelToolTip(int row) const
{
    if (row < 0 || row >= kValueRows) {
        return {};
    }
    return RegisterCrossReference(m_registerLabels[static_cast<std::size_t>(row)],
                                  row,
                                  m_labelsJbusForm,
                                  m_settings.m_dataType);
}

void CMasterDlg::toggleFrameTrace()
{
    const bool on = !m_trace.enabled();
    m_trace.setEnabled(on);
    m_traceFailureShown = false;
    m_view.showInformation(on ? kTraceOn : kTraceOff);
}

void CMasterDlg::traceSent(const ConsoleSettings& s,
                           TimeStamp start,
                           std::span<const std::uint8_t> frame,
                           std::size_t left)
{
    if (!m_trace.enabled()) {
        return;
    }
    const std::string link =
        s.serial() ? comName(s.m_port) : s.m_address + formatText(":%u", unsigned{m_tcpPort});
    m_trace.sent(link, start, frame, left);
}

void CMasterDlg::traceEcho(std::span<const std::uint8_t> bytes)
{
    if (m_trace.recording()) {
        m_trace.echo(m_platform.clock.now(), bytes);
    }
}

void CMasterDlg::traceReceived(std::span<const std::uint8_t> bytes, bool failed)
{
    if (m_trace.recording()) {
        m_trace.received(m_platform.clock.now(), bytes, failed);
    }
}

void CMasterDlg::flushTrace()
{
    if (!m_trace.recording()) {
        return;
    }
    const std::string lines = m_trace.take();
    // A halted transaction leaves no trace, as it leaves no log line.
    if (halted() || lines.empty()) {
        return;
    }
    const int error = m_platform.files.appendLocked(kTraceFileName, lines);
    if (error == 0) {
        return;
    }
    onWindow([&] {
        if (!m_traceFailureShown) {
            m_traceFailureShown = true;
            m_view.showNotice(formatText(kTraceNotWritten, std::strerror(error)));
        }
    });
}

} // namespace quarin
