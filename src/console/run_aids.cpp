// The tooltips of the value and time fields, and the run record they read.
#include "console/master_dlg.h"
#include "console/register_reference.h"
#include "messages/value_views.h"

namespace quarin {

void CMasterDlg::noteFailure(std::string_view text)
{
    if (m_runEntryOpen) {
        m_run.failLast(text);
        return;
    }
    m_run.add(m_platform.clock.now(), std::nullopt, text);
    m_runEntryOpen = true;
}

std::string CMasterDlg::valueToolTip(int row) const
{
    // The register of a row, as its label names it: none for a row beyond the count.
    const auto reg = [this](int at, std::string& name) -> std::optional<std::uint16_t> {
        if (at < 0 || at >= kValueRows) {
            return std::nullopt;
        }
        const std::string& label = m_registerLabels[static_cast<std::size_t>(at)];
        if (RegisterCrossReference(label, at, m_labelsJbusForm, m_settings.m_dataType).empty()) {
            return std::nullopt;
        }
        name = m_labelsJbusForm ? "Jbus " + label : label;
        return ParseRegisterText(m_view.text(ControlId::Value, at),
                                 m_settings.m_displayMode == Hex);
    };
    std::string name;
    const std::optional<std::uint16_t> value = reg(row, name);
    if (!value) {
        return {};
    }
    std::string text = RegisterViews(name, *value);
    std::string nextName;
    if (const std::optional<std::uint16_t> next = reg(row + 1, nextName)) {
        text += '\n' + PairViews(name, nextName, *value, *next);
    }
    return text;
}

std::string CMasterDlg::timesToolTip() const
{
    return RunSummaryText(Summarise(m_run, m_summaryScratch));
}

} // namespace quarin
