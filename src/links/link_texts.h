#pragma once

namespace quarin {

// Serial line.
inline constexpr char kUnableToCapturePort[] = "Unable to capture Port";
inline constexpr char kUnableToInitializePort[] = "Unable to initialize Port";
inline constexpr char kUnableToTx[] = "Unable to TX message";
inline constexpr char kUnableToRx[] = "Unable to RX message";

// TCP link.
inline constexpr char kUnableToInitializeWinsock[] = "Unable to initialize WinSock";
inline constexpr char kCouldNotResolve[] =
    "Could not resolve the current IP address for the device";
inline constexpr char kConnectError[] =
    "Winsock error occurred during connect attempt on socket - error = %d";
inline constexpr char kSelectWriteError[] =
    "Winsock error occurred during select of socket for writability - error = %d";
inline constexpr char kSendError[] = "Winsock error occurred during send request - error = %d";
inline constexpr char kSelectReadError[] =
    "Winsock error occurred during select of socket for readability - error = %d";
inline constexpr char kRecvOperationError[] =
    "Winsock error occurred during socket recv operation - error = %d";

} // namespace quarin
