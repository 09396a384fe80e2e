#pragma once

namespace quarin {

inline constexpr char kEnterInteger[] = "Please enter an integer.";
inline constexpr char kSampleRateRange[] = "Sample rate value must be in the range from 1 to 60000";
inline constexpr char kLoggingStopped[] =
    "***** Logging Stopped, Error Count = %d, Transaction Count = %d *****";

} // namespace quarin
