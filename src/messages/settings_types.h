#pragma once

#include <array>
#include <string>

namespace quarin {

// The parts of the operator's settings that requests and replies are built from; the console's
// record is made of them.

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

using ValueTexts = std::array<std::string, kValueRows>;

inline ValueTexts zeroTexts()
{
    ValueTexts texts;
    texts.fill("0");
    return texts;
}

} // namespace quarin
