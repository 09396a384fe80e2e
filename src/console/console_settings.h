#pragma once

#include <cstdint>
#include <string>

#include "messages/settings_types.h"

namespace quarin {

inline constexpr char kDefaultAddress[] = "254.254.254.254";

// Everything the operator sets; the controls are a view of it.
struct ConsoleSettings
{
    int m_port = 0;
    int m_baudRate = 5;
    DataType m_dataType = HoldingRegister;
    int m_slaveId = 1;
    int m_startRegister = 1;
    int m_registerCount = 1;
    int m_heldRegisterCount = 0;
    ProtocolVariant m_protocol = Modbus;
    int m_parity = 0;
    std::string m_address = kDefaultAddress;
    WiringMode m_wiring = FourWireNoEcho;
    int m_timeoutMs = 20000;
    int m_sampleRateMs = 1;
    int m_closeAfterReply = 0;
    int m_preSendDelayMs = 0;
    SampleMode m_sampleMode = Manual;
    DisplayMode m_displayMode = Decimal;
    ValueTexts m_values = zeroTexts();

    bool serial() const { return m_port != 0; }
};

// All unsigned 32-bit, so differences and comparisons wrap and compare as the console shows them.
struct TransactionStats
{
    std::uint32_t lastMs = 0;
    std::uint32_t minMs = 4294967295u;
    std::uint32_t maxMs = 0;
    std::uint32_t shownMinMs = 0;
    std::uint32_t shownMaxMs = 0;
    std::uint32_t errorCount = 0;
    std::uint32_t transactionCount = 0;
};

// The register labels of the left-hand column.
inline ValueTexts initialLabels()
{
    ValueTexts labels = zeroTexts();
    labels[0] = "400001";
    return labels;
}

} // namespace quarin
