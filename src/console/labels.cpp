#include <algorithm>
#include <charconv>

#include "console/master_dlg.h"

namespace quarin {

namespace {

// What "%s%0*d" makes of a number that is not negative, without a format to parse: labels are
// written in every transaction.
void labelText(std::string& label, std::string_view prefix, int number, std::size_t width)
{
    char digits[16];
    const std::size_t length = static_cast<std::size_t>(
        std::to_chars(digits, digits + sizeof digits, number).ptr - digits);
    label.assign(prefix);
    if (length < width) {
        label.append(width - length, '0');
    }
    label.append(digits, length);
}

} // namespace

// Label i shows register s + i - 1, s being the start register's low 16 bits; the sum is not cut,
// so 65535 with three registers reads 465535, 465536, 465537.
void CMasterDlg::writeLabels(LabelForm form)
{
    const ConsoleSettings& s = m_settings;
    const int start = s.m_startRegister & 0xFFFF;
    const char* prefix = s.m_dataType == InputRegister ? "3" : "4";
    // The first label is numbered whatever the count.
    const int numbered = std::clamp(s.m_registerCount, 1, kValueRows);
    for (int i = 0; i < numbered; ++i) {
        std::string& label = m_registerLabels[static_cast<std::size_t>(i)];
        if (form == JbusLabels) {
            labelText(label, {}, start + i, 0);
        } else {
            labelText(label, prefix, start + i, 5);
        }
    }
    ZeroRowsFrom(m_registerLabels, static_cast<std::size_t>(numbered));
}

void CMasterDlg::showLabels(LabelForm form)
{
    saveTransfer();
    if (m_settings.serial()) {
        m_view.setEnabled(ControlId::Parity, true);
    }
    const bool jbusForm = form == JbusLabels;
    if (m_labelsJbusForm != jbusForm) {
        writeLabels(form);
        m_labelsJbusForm = jbusForm;
    }
    showTransfer();
}

void CMasterDlg::showModbusLabels()
{
    showLabels(ModbusLabels);
}

void CMasterDlg::showJbusLabels()
{
    showLabels(JbusLabels);
}

void CMasterDlg::refreshLabels()
{
    saveTransfer();
    showTransfer();
    if (m_settings.m_protocol == Jbus) {
        m_labelsJbusForm = false;
        showJbusLabels();
    } else {
        m_labelsJbusForm = true;
        showModbusLabels();
    }
}

void CMasterDlg::recordTransactionTime(TimeStamp start, TimeStamp end)
{
    const std::uint32_t t = ElapsedMs(start, end);
    onWindow([&] {
        m_stats.lastMs = t;
        if (t > m_stats.maxMs) {
            m_stats.maxMs = t;
            m_stats.shownMaxMs = t;
        }
        if (t < m_stats.minMs) {
            m_stats.minMs = t;
            m_stats.shownMinMs = t;
        }
        m_run.add(end, t);
        m_runEntryOpen = true;
        showTransfer();
    });
}

} // namespace quarin
