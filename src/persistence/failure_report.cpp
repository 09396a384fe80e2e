#include "persistence/failure_report.h"

#include <cstring>

#include "console/master_dlg.h"
#include "messages/format_text.h"
#include "persistence/persistence_texts.h"

namespace quarin {

std::string
BuildLogLine(std::string_view timeText, const ConsoleSettings& settings, std::string_view text)
{
    std::string line(timeText);
    line += " - ";
    if (!settings.serial()) {
        // The address goes in whole and as data: it may hold '%', and an edited settings file can
        // put a NUL into it, at which "%s" would cut it.
        const std::string_view prefix = kSlaveIpPrefix;
        const std::size_t hole = prefix.find("%s");
        line += prefix.substr(0, hole);
        line += settings.m_address;
        line += prefix.substr(hole + 2);
    }
    line += formatText(kSlaveIdPrefix, settings.m_slaveId);
    line += text;
    return line;
}

bool CMasterDlg::appendLog(const std::string& line)
{
    const int error = m_platform.files.appendLocked(kLogFileName, line + "\r\n");
    if (error == 0) {
        return true;
    }
    // An unattended run must not stop on a box per line: say it once per run, without waiting.
    onWindow([&] {
        if (!m_logFailureShown) {
            m_logFailureShown = true;
            m_view.showNotice(formatText(kLogNotWritten, std::strerror(error)));
        }
    });
    return false;
}

void CMasterDlg::reportFailure(const Fault& fault, ReportKind kind)
{
    const std::string& text = fault.text;
    // After the halt nothing reaches the console, the link or the log.
    auto letGo = [&] {
        if (kind != Notice) {
            endTransaction();
        }
    };
    if (halted()) {
        letGo();
        return;
    }
    std::string line;
    SampleMode mode = Manual;
    const bool reached = onWindow([&] {
        line = BuildLogLine(m_platform.clock.localTimeText(), m_settings, text);
        mode = m_settings.m_sampleMode;
        if (kind != Notice) {
            noteFailure(text);
        }
        if (mode == ScheduledWithLogging && kind != Notice) {
            ++m_stats.errorCount;
            // Shown at once: every transfer reads the displays back, and a stale one would undo
            // the count.
            showTransfer();
        }
    });
    // The halt may also land while the record is read.
    if (!reached || halted()) {
        letGo();
        return;
    }
    if (mode == ScheduledWithLogging) {
        appendLog(line);
    } else {
        // The box shows the log line; its detail is the fault's.
        showMessage(Fault(fault.kind, fault.code, line), MessageIcon::Error);
    }
    if (mode == Scheduled) {
        onWindow([this] { onStop(); });
    }
    if (kind == LinkFailure) {
        closeTcpLink();
    }
    if (kind != Notice) {
        endTransaction();
    }
    sendUpdateConsole();
}

void CMasterDlg::viewLog()
{
    m_platform.programs.start({"xdg-open", kLogFileName}, false);
}

} // namespace quarin
