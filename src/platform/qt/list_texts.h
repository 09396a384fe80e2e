#pragma once

// The entries of the console's drop-down lists and radio groups, in index order. The index is
// the setting, so the order is part of the settings file format.

namespace quarin::qt {

inline constexpr const char* kPortEntries[] = {
    "TCP/IP",
    "COM1",
    "COM2",
    "COM3",
    "COM4",
    "COM5",
    "COM6",
    "COM7",
    "COM8",
    "COM9",
    "COM10",
    "COM11",
    "COM12",
    "COM13",
    "COM14",
    "COM15",
    "COM16",
};

inline constexpr const char* kBaudEntries[] = {"1200", "2400", "4800", "9600", "19200", "38400"};

inline constexpr const char* kParityEntries[] = {"Even", "None"};

inline constexpr const char* kWiringEntries[] = {
    "Wiring with No Echo (4-wire)",
    "Wiring with Echo (2-wire)",
};

inline constexpr const char* kSampleModeEntries[] = {
    "Manual",
    "Scheduled",
    "Scheduled with Logging (Automated)",
};

inline constexpr const char* kDataTypeEntries[] = {
    "Holding Register (R03 / W16)",
    "Input Register (R04)",
    "Single Holding Register (R03 / W06)",
    "Scattered Register Read (R100 [04])",
    "Read Device Identification (R43 [14])",
};

inline constexpr char kWindowTitle[] = "Generic Modbus/Jbus Quarin";
inline constexpr char kMessageBoxTitle[] = "Quarin";
inline constexpr char kAboutTitle[] = "About Generic Modbus/Jbus Quarin";
inline constexpr char kAboutLine[] = "Generic Modbus/Jbus Quarin Version 4.7";
inline constexpr char kAboutOk[] = "OK";

} // namespace quarin::qt
