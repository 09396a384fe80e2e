#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quarin {

// Plain enumerations numbered from 0: the settings file stores these numbers, and an edited file
// may hold any int, so each has int as its underlying type.
enum DataType : int
{
    HoldingRegister,
    InputRegister,
    SingleHoldingRegister,
    ScatteredRead,
    DeviceIdentification
};

enum ProtocolVariant : int
{
    Modbus,
    Jbus,
    ModbusAscii
};

enum SampleMode : int
{
    Manual,
    Scheduled,
    ScheduledWithLogging
};

enum WiringMode : int
{
    FourWireNoEcho,
    TwoWireEcho
};

enum DisplayMode : int
{
    Decimal,
    Hex
};

inline constexpr int kValueRows = 10;
inline constexpr char kDefaultAddress[] = "254.254.254.254";

using ValueTexts = std::array<std::string, kValueRows>;

inline ValueTexts zeroTexts()
{
    ValueTexts texts;
    texts.fill("0");
    return texts;
}

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
