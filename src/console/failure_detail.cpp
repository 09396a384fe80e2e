#include "console/failure_detail.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "console/port_tooltip.h"
#include "messages/format_text.h"
#include "messages/mbap_header.h"

namespace quarin {

namespace {

struct ExceptionEntry
{
    int code;
    const char* name;
    const char* advice;
};

// clang-format off
constexpr ExceptionEntry kExceptions[] = {
    {1, "Illegal function",
     "The slave does not serve this function: choose another Data Type, or check in the slave's "
     "manual which functions it answers."},
    {2, "Illegal data address",
     "The slave has no register at an address of this request. Check Starting Register and # of "
     "Registers against the slave's register map, and the protocol: Modbus sends the register "
     "number less one, Jbus the number itself (the register labels' tooltips show both)."},
    {3, "Illegal data value",
     "The slave refuses a field of the request: most often the number of registers, or a value "
     "outside what the register accepts."},
    {4, "Slave device failure",
     "The slave failed while it carried out the request; its own diagnostics say why."},
    {5, "Acknowledge",
     "The slave has accepted a long request and is still working on it; read again later."},
    {6, "Slave device busy",
     "The slave is busy with something else: read again later, or lengthen the sample rate."},
    {7, "Negative acknowledge",
     "The slave cannot carry out this request in its present state."},
    {8, "Memory parity error",
     "The slave found a parity error in its own memory; it needs service."},
    {10, "Gateway path unavailable",
     "The gateway has no path to the unit addressed: check the Slave ID against the gateway's "
     "routing table."},
    {11, "Gateway target device failed to respond",
     "The gateway had no answer from the device behind it: check that device's Slave ID, its "
     "line settings, wiring and power."},
};

// clang-format on

struct ErrnoEntry
{
    int error;
    const char* name;
};

// Linux gives EAGAIN and EWOULDBLOCK one number; the first entry names it.
constexpr ErrnoEntry kErrnos[] = {
    {EPERM, "EPERM"},
    {ENOENT, "ENOENT"},
    {EINTR, "EINTR"},
    {EIO, "EIO"},
    {ENXIO, "ENXIO"},
    {EBADF, "EBADF"},
    {EAGAIN, "EAGAIN"},
    {EWOULDBLOCK, "EWOULDBLOCK"},
    {ENOMEM, "ENOMEM"},
    {EACCES, "EACCES"},
    {EBUSY, "EBUSY"},
    {ENODEV, "ENODEV"},
    {ENOTDIR, "ENOTDIR"},
    {EISDIR, "EISDIR"},
    {EINVAL, "EINVAL"},
    {ENFILE, "ENFILE"},
    {EMFILE, "EMFILE"},
    {ENOTTY, "ENOTTY"},
    {ENOSPC, "ENOSPC"},
    {EROFS, "EROFS"},
    {EPIPE, "EPIPE"},
    {ENAMETOOLONG, "ENAMETOOLONG"},
    {ELOOP, "ELOOP"},
    {ENOTSOCK, "ENOTSOCK"},
    {EAFNOSUPPORT, "EAFNOSUPPORT"},
    {EADDRINUSE, "EADDRINUSE"},
    {EADDRNOTAVAIL, "EADDRNOTAVAIL"},
    {ENETDOWN, "ENETDOWN"},
    {ENETUNREACH, "ENETUNREACH"},
    {ENETRESET, "ENETRESET"},
    {ECONNABORTED, "ECONNABORTED"},
    {ECONNRESET, "ECONNRESET"},
    {ENOBUFS, "ENOBUFS"},
    {EISCONN, "EISCONN"},
    {ENOTCONN, "ENOTCONN"},
    {ETIMEDOUT, "ETIMEDOUT"},
    {ECONNREFUSED, "ECONNREFUSED"},
    {EHOSTUNREACH, "EHOSTUNREACH"},
    {EALREADY, "EALREADY"},
    {EINPROGRESS, "EINPROGRESS"},
    {EPROTO, "EPROTO"},
};

std::string exceptionDetail(int code)
{
    for (const ExceptionEntry& entry : kExceptions) {
        if (entry.code == code) {
            return formatText("Exception %d: %s.\n%s", code, entry.name, entry.advice);
        }
    }
    return formatText("Exception %d is not one the Modbus standard names; the slave's manual may "
                      "say what it means.",
                      code);
}

// What each socket step's error most often means.
std::string socketAdvice(FaultKind kind, int error)
{
    if (kind == WaitReadableFault || kind == WaitWritableFault) {
        return formatText("A wait that runs out of time sets no error of its own: the number is "
                          "the last socket error of this thread, 0 when there was none. Most "
                          "often the slave did not answer within the time-out: check the "
                          "address, that the slave is on, and that it serves Modbus TCP on port "
                          "%u; lengthen Timeout in ms for a slow gateway.",
                          unsigned{kModbusTcpPort});
    }
    if (kind == ReplyLengthFault) {
        return "The reply did not have the length this request calls for; the number is the last "
               "socket error of this thread, not the reply's. A frame trace (see the README) "
               "shows what came.";
    }
    switch (error) {
    case ECONNREFUSED:
        return formatText("Nothing accepts connections on port %u at that address: check the "
                          "address and that the slave's Modbus TCP server is on.",
                          unsigned{kModbusTcpPort});
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return "The address cannot be reached: check the address, the cable, and that this "
               "computer is on the slave's network (ip route).";
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
        return "The slave dropped the connection. Many slaves allow few connections at a time or "
               "close idle ones; the next transaction connects anew.";
    default:
        return {};
    }
}

std::string socketDetail(FaultKind kind, int error)
{
    std::string detail = formatText("Error %d", error);
    if (const char* name = ErrnoName(error)) {
        detail += formatText(" = %s (%s)", name, std::strerror(error));
    }
    detail += '.';
    if (const std::string advice = socketAdvice(kind, error); !advice.empty()) {
        detail += '\n' + advice;
    }
    return detail;
}

constexpr char kSerialNoReply[] =
    "Nothing came back within the time-out. Check that Slave ID, Baud: and Parity: match the "
    "slave's, the wiring (A and B swapped?), and Communications Wiring: a line that echoes needs "
    "the two-wire choice, one that does not the four-wire one.";
constexpr char kSerialDamaged[] =
    "What came back was cut short or damaged. Check Baud:, Parity: and the protocol against the "
    "slave's, the line's termination and noise; a two-wire choice on a line without echo takes "
    "the reply for the echo. A frame trace (see the README) shows the bytes.";
constexpr char kPortSettingsAdvice[] =
    "The driver refused the line settings: some adapters support neither every baud rate nor "
    "no parity with two stop bits; try another Baud: or Parity:.";
constexpr char kTransmitAdvice[] =
    "The adapter did not take the frame: it may have been unplugged, or its output is stalled "
    "by flow control another program left on.";
constexpr char kPortReadAdvice[] =
    "Reading the port failed: the adapter may have been unplugged. Plug it in and read again.";
constexpr char kResolveAdvice[] =
    "The name did not resolve: check its spelling and the name service (getent hosts <name>), "
    "or enter the dotted address.";
constexpr char kClosedAdvice[] =
    "The slave closed the connection instead of answering: it may allow few connections at a "
    "time, or refuse this unit id.";

} // namespace

const char* ErrnoName(int error)
{
    for (const ErrnoEntry& entry : kErrnos) {
        if (entry.error == error) {
            return entry.name;
        }
    }
    return nullptr;
}

std::string ErrnoText(int error)
{
    const char* name = ErrnoName(error);
    return formatText(
        "errno %d %s (%s)", error, name != nullptr ? name : "?", std::strerror(error));
}

std::string FailureDetail(const Fault& fault)
{
    switch (fault.kind) {
    case ExceptionFault:
        return exceptionDetail(fault.code);
    case ConnectFault:
    case WaitWritableFault:
    case SendFault:
    case WaitReadableFault:
    case ReceiveFault:
    case ReplyLengthFault:
        return socketDetail(fault.kind, fault.code);
    case PortSettingsFault:
        return kPortSettingsAdvice;
    case TransmitFault:
        return kTransmitAdvice;
    case PortReadFault:
        return kPortReadAdvice;
    case NoReplyFault:
        return kSerialNoReply;
    case FragmentFault:
    case CheckValueFault:
        return kSerialDamaged;
    case ResolveFault:
        return kResolveAdvice;
    case ClosedFault:
        return kClosedAdvice;
    case StatedFault:
    case ReplyCheckFault:
    case PortCaptureFault: // its detail comes with its box
    case SocketLibraryFault:
    case HeaderFault:
        return {};
    }
    return {};
}

std::string CaptureFailureDetail(std::string_view comName, const PortIdentity& port, int error)
{
    std::string detail(comName);
    if (port.path.empty()) {
        return detail + " names no device.";
    }
    detail += " opens " + port.path;
    if (!port.device.empty() && port.device != port.path) {
        detail += " = " + port.device;
    } else if (!port.linkTarget.empty()) {
        detail += " -> " + port.linkTarget;
    }
    detail += ", which failed with " + ErrnoText(error) + ".\n";

    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        if (!port.linkTarget.empty() && !port.exists) {
            detail += "The link leads nowhere: " + port.linkTarget + " does not exist. ";
        }
        detail += "Plug the adapter in (ls /dev/serial/by-id lists the ones there), or point a "
                  "link in the working folder at the device: ln -sf /dev/serial/by-id/<name> " +
                  std::string(comName) + ".";
        break;
    case EACCES:
    case EPERM:
        if (port.listedInGroup && !port.inGroupNow) {
            detail += "You are in group " + port.group +
                      " but this session began before you were added: log out and in again.";
        } else if (!port.group.empty()) {
            detail += "The device belongs to group " + port.group + ": sudo usermod -aG " +
                      port.group + " $USER, then log out and in again.";
        } else {
            detail += "This user may not open the device.";
        }
        break;
    case EBUSY:
    case EWOULDBLOCK:
    default: {
        std::vector<PortHolder> others;
        bool self = false;
        for (const PortHolder& holder : port.holders) {
            if (holder.self) {
                self = true;
            } else {
                others.push_back(holder);
            }
        }
        if (!others.empty()) {
            detail += "Another program has the port open: " + HolderList(others) +
                      ". Close the port there, or choose another.";
        } else if (self) {
            detail += "This program itself still has it open: a transaction that did not come "
                      "back holds it. Restart the program.";
        } else if (error == EBUSY || error == EWOULDBLOCK) {
            detail += port.holdersComplete
                          ? "No process has it open now: it has been let go since; read again."
                          : "It is held by a process of another user: sudo fuser -v " +
                                (port.device.empty() ? port.path : port.device) + " names it.";
        }
        break;
    }
    }
    if (detail.back() == '\n') {
        detail.pop_back();
    }
    return detail;
}

std::string Rs485Detail(const std::optional<Rs485Mode>& mode)
{
    if (!mode) {
        return {};
    }
    const auto level = [](bool high) { return high ? "high" : "low"; };
    std::string text = formatText("The kernel drives this port's RS-485 direction: RTS %s while "
                                  "sending and %s after, %d ms before sending and %d ms after.",
                                  level(mode->rtsOnSend),
                                  level(mode->rtsAfterSend),
                                  mode->delayBeforeSendMs,
                                  mode->delayAfterSendMs);
    if (mode->receiveDuringSend) {
        text += " It receives while sending, so the frame itself comes back as an echo.";
    }
    return text;
}

std::string& SerialLineNote()
{
    thread_local std::string note;
    return note;
}

} // namespace quarin
