#pragma once

#include <string>
#include <utility>

namespace quarin {

// Which failure a text reports, carried beside it so that what follows from it (a box's detail)
// never reads the text back.
enum FaultKind
{
    StatedFault,      // the text says all there is: a refused setting, a notice
    ReplyCheckFault,  // a field of the reply does not match the request
    ExceptionFault,   // code: the exception code the slave sent
    PortCaptureFault, // code: errno of the open
    PortSettingsFault,
    TransmitFault,
    PortReadFault,
    NoReplyFault,
    FragmentFault,   // cut short, or not the reply expected
    CheckValueFault, // the CRC or LRC does not match
    // The TCP link. code: errno of the step, or the thread's last socket error.
    SocketLibraryFault,
    ResolveFault,
    ConnectFault,
    WaitWritableFault,
    SendFault,
    WaitReadableFault,
    ReceiveFault,
    ReplyLengthFault, // the reply's length is not the request's
    HeaderFault,
    ClosedFault // the slave closed the connection instead of answering
};

struct Fault
{
    Fault() = default;

    // A text alone states its failure.
    Fault(std::string stated) : text(std::move(stated)) {}

    Fault(const char* stated) : text(stated) {}

    Fault(FaultKind faultKind, int faultCode, std::string faultText)
        : kind(faultKind), code(faultCode), text(std::move(faultText))
    {}

    FaultKind kind = StatedFault;
    int code = 0;
    std::string text;
};

} // namespace quarin
