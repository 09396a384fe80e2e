#include "transactions/write_validation.h"

#include "console/master_dlg.h"
#include "messages/format_text.h"
#include "messages/value_text.h"
#include "transactions/transaction_texts.h"

namespace quarin {

bool WritableType(DataType type)
{
    return type == HoldingRegister || type == SingleHoldingRegister;
}

std::optional<std::string> ValidateWrite(const ConsoleSettings& s,
                                         WriteLabels labelRows,
                                         WriteRequest& request,
                                         ValueTexts& labels)
{
    std::array<std::int32_t, kValueRows> values{};
    for (std::size_t k = 0; k < kValueRows; ++k) {
        values[k] = ParseWriteValue(s.m_values[k], s.m_displayMode == Hex);
    }
    labels = zeroTexts();
    if (s.m_startRegister < 1 || s.m_startRegister > 65535) {
        return kStartRegisterRange;
    }
    if (s.m_dataType == HoldingRegister && (s.m_registerCount < 1 || s.m_registerCount > 10)) {
        return kCountRange10;
    }
    const int n = s.m_dataType == SingleHoldingRegister ? 1 : s.m_registerCount;
    for (int k = 1; k <= kValueRows && k <= n; ++k) {
        const std::size_t i = static_cast<std::size_t>(k - 1);
        if (labelRows == NumberedLabels) {
            labels[i] = formatText("%d", s.m_startRegister + k - 1);
        }
        if (values[i] < -32768 || values[i] > 65535) {
            return formatText(kValueRange, kOrdinals[i]);
        }
    }
    request = WriteRequest{s.m_dataType, s.m_protocol, s.m_slaveId, s.m_startRegister, n, values};
    return std::nullopt;
}

// The opening both writes share: the controls copied in, the values parsed and checked, the labels
// and the time as the checks left them. False when a check failed and its box has been shown.
bool CMasterDlg::prepareWrite(WriteLabels labelRows, ConsoleSettings& s, WriteRequest& request)
{
    onWindow([&] {
        saveTransfer();
        s = m_settings;
    });
    ValueTexts labels;
    const std::optional<std::string> invalid = ValidateWrite(s, labelRows, request, labels);
    onWindow([&] {
        m_registerLabels = labels;
        m_stats.lastMs = 0;
    });
    if (invalid) {
        showMessage(*invalid, MessageIcon::Error);
        return false;
    }
    return true;
}

} // namespace quarin
