#include "persistence/settings_file.h"

#include <cstring>

#include "console/master_dlg.h"
#include "messages/format_text.h"
#include "messages/value_text.h"
#include "persistence/persistence_texts.h"

namespace quarin {

std::vector<std::string> ReadSettingsLines(std::string_view file)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (lines.size() < kSettingsLines && pos < file.size()) {
        const std::size_t end = file.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            lines.emplace_back(file.substr(pos));
            break;
        }
        lines.emplace_back(file.substr(pos, end - pos));
        // After a CR the next byte is taken for the LF, whatever it is.
        pos = end + (file[end] == '\r' ? 2 : 1);
    }
    return lines;
}

std::string SettingsFileText(const ConsoleSettings& s)
{
    const int numbers[] = {s.m_port,
                           s.m_baudRate,
                           s.m_dataType,
                           s.m_slaveId,
                           s.m_startRegister,
                           s.m_registerCount,
                           s.m_protocol,
                           s.m_parity};
    std::string text;
    for (int value : numbers) {
        text += formatText("%d\r\n", value);
    }
    text += s.m_address + "\r\n";
    for (int value : {static_cast<int>(s.m_wiring),
                      s.m_timeoutMs,
                      s.m_sampleRateMs,
                      s.m_closeAfterReply,
                      s.m_preSendDelayMs}) {
        text += formatText("%d\r\n", value);
    }
    return text;
}

void CMasterDlg::applyProtocolLine(int protocol)
{
    if (protocol == Modbus) {
        showModbusLabels();
    } else if (protocol == Jbus) {
        showJbusLabels();
    } else {
        selectAscii();
    }
}

bool CMasterDlg::loadSettings()
{
    const std::optional<std::string> file = m_platform.files.readAll(kSettingsFileName);
    if (!file) {
        return true;
    }
    const std::vector<std::string> lines = ReadSettingsLines(*file);
    ConsoleSettings& s = m_settings;
    // Each line's rules run as soon as it is read, so a later line overrides an earlier rule.
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& text = lines[i];
        const int value = LeadingDecimal(text);
        switch (i + 1) {
        case 1:
            s.m_port = value;
            showTransfer();
            applyPortRules();
            break;
        case 2:
            s.m_baudRate = value;
            break;
        case 3:
            // A data type outside the list has no request: the default stands in for it.
            s.m_dataType = value >= HoldingRegister && value <= DeviceIdentification
                               ? static_cast<DataType>(value)
                               : HoldingRegister;
            showTransfer();
            applyDataTypeRules();
            break;
        case 4:
            s.m_slaveId = value;
            showTransfer();
            break;
        case 5:
            s.m_startRegister = value;
            showTransfer();
            refreshLabels();
            break;
        case 6:
            s.m_registerCount = value;
            showTransfer();
            refreshLabels();
            break;
        case 7:
            s.m_protocol = static_cast<ProtocolVariant>(value);
            showTransfer();
            applyProtocolLine(value);
            break;
        case 8:
            s.m_parity = value;
            break;
        case 9:
            s.m_address = text;
            break;
        case 10:
            s.m_wiring = static_cast<WiringMode>(value);
            break;
        case 11:
            s.m_timeoutMs = value;
            break;
        case 12:
            s.m_sampleRateMs = value;
            break;
        case 13:
            s.m_closeAfterReply = value;
            break;
        case 14:
            s.m_preSendDelayMs = value;
            break;
        default:
            break;
        }
    }
    if (lines.size() < kSettingsLines) {
        m_view.messageBox(kIncompatibleIni, MessageIcon::Error);
        m_platform.files.remove(kSettingsFileName);
        return false;
    }
    return true;
}

void CMasterDlg::saveSettings()
{
    saveTransfer();
    if (!m_platform.files.replace(kSettingsFileName, SettingsFileText(m_settings))) {
        m_view.messageBox(kSettingsNotSaved, MessageIcon::Error);
    }
}

} // namespace quarin
