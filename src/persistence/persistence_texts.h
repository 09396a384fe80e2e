#pragma once

namespace quarin {

inline constexpr char kSettingsFileName[] = "Quarin.ini";
inline constexpr char kLogFileName[] = "Quarin.log";
inline constexpr char kIncompatibleIni[] =
    "Incompatible ini file detected.\nQuarin will close and "
    "delete Quarin.ini file.\nDefaults will be used next time.";
inline constexpr char kSlaveIpPrefix[] = "Slave IP = %s - ";
inline constexpr char kSlaveIdPrefix[] = "Slave ID = %d - ";

// Our own: the log could not be written. Shown once per run, never per line.
inline constexpr char kLogNotWritten[] =
    "Quarin.log could not be written (%s). Failures are still counted on the console.";
inline constexpr char kSettingsNotSaved[] =
    "Quarin.ini could not be saved; the settings of this run are not kept.";

} // namespace quarin
