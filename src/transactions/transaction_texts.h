#pragma once

namespace quarin {

inline constexpr char kCountRange100[] = "Number of registers must be in the range from 1 to 100";
inline constexpr char kCountRange125[] = "Number of registers must be in the range from 1 to 125";
inline constexpr char kCountRange10[] = "Number of registers must be in the range from 1 to 10";
inline constexpr char kTimeoutRange[] = "Timeout value must be in the range from 1000 to 60000";
inline constexpr char kStartRegisterRange[] = "Start Register must be in the range from 1 to 65535";
inline constexpr char kValueRange[] = "%s value must be in the range from -32768 to 65535";
inline constexpr const char* kOrdinals[] = {
    "First", "Second", "Third", "Fourth", "Fifth", "Sixth", "Seventh", "Eighth", "Nineth", "Tenth"};

// Serial read.
inline constexpr char kNoResponse[] = "Timeout waiting on a response";
inline constexpr char kFragment[] =
    "Fragment received, timeout waiting on a complete/correct response";

// TCP read.
inline constexpr char kNoAddress[] = "There must be a valid TCP/IP Address or URL entered";
inline constexpr char kRecvRequestError[] =
    "Winsock error occurred during recv request of socket - error = %d";
inline constexpr char kBadTransactionId[] = "Slave ID %d - Response has invalid transaction number";

// Serial write.
inline constexpr char kWriteNoResponse[] = "Timeout waiting on slave device to respond";
inline constexpr char kWriteIncomplete[] =
    "Timeout waiting on slave device to send a complete/correct response";

// TCP write: every failure from the connection attempt on carries this prefix.
inline constexpr char kSlavePrefix[] = "Slave ID %d - ";
inline constexpr char kSocketClosedDuringRecv[] = "Socket has been closed during recv operation";

} // namespace quarin
