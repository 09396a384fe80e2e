#include <array>

#include "console/master_dlg.h"
#include "links/link_texts.h"
#include "messages/format_text.h"
#include "transactions/transaction_texts.h"
#include "transactions/write_validation.h"

namespace quarin {

namespace {

constexpr std::size_t kWriteReceiveSize = 256;
constexpr std::size_t kEchoFrameLength = 12;

} // namespace

void CMasterDlg::TcpWrite()
{
    ConsoleSettings s;
    WriteRequest request;
    if (!prepareWrite(ZeroLabels, s, request) || addressMissing(s) || timeoutRefused(s)) {
        return;
    }
    if (std::optional<Fault> connectFailure; !openTcpLink(s.m_address, connectFailure)) {
        if (connectFailure) {
            tcpWriteFailure(s, *connectFailure, CloseLink);
        }
        return;
    }

    const TimeStamp start = m_platform.clock.now();
    std::array<std::uint8_t, kWriteReceiveSize> frame{};
    const std::size_t length = 6 + RegisterWriteRequest(std::span(frame).subspan(6), request);
    clearUnusedValues(request.registerCount);
    const std::uint16_t idSent = MbapHeader(frame, length, m_mbapTransactionNo, s.m_slaveId);
    Fault failure;
    if (!sendTcpFrame(s, start, std::span(frame).first(length), failure)) {
        tcpWriteFailure(s, failure, CloseLink);
        return;
    }
    if (s.m_slaveId != 0 && !judgeTcpEcho(s, request, start, idSent)) {
        return;
    }
    recordTransactionTime(start, m_platform.clock.now());
    resetModbusLabels(ResetAlways);
}

// From the connection attempt on, every text names the slave.
void CMasterDlg::tcpWriteFailure(const ConsoleSettings& s,
                                 const Fault& fault,
                                 LinkAfterFailure link)
{
    showMessage(Fault(fault.kind, fault.code, formatText(kSlavePrefix, s.m_slaveId) + fault.text),
                MessageIcon::Error);
    if (link == CloseLink) {
        closeTcpLink();
    }
}

// False when the echo failed and its box has been shown.
bool CMasterDlg::judgeTcpEcho(const ConsoleSettings& s,
                              const WriteRequest& request,
                              TimeStamp start,
                              std::uint16_t idSent)
{
    // The whole echo must come in this one receive; the header's length is not used.
    SocketApi& sockets = m_platform.sockets;
    std::array<std::uint8_t, kWriteReceiveSize> reply{};
    const Transfer got = sockets.receiveWithin(m_socket, reply, s.m_timeoutMs / 1000);
    if (got.waitFailed) {
        traceReceived({}, true);
        const int error = sockets.lastError();
        tcpWriteFailure(
            s, Fault(WaitReadableFault, error, formatText(kSelectReadError, error)), CloseLink);
        return false;
    }
    const std::size_t received = got.bytes > 0 ? static_cast<std::size_t>(got.bytes) : 0;
    traceReceived(std::span(reply).first(received), got.bytes < 0);
    if (got.bytes != static_cast<long>(kEchoFrameLength)) {
        recordTransactionTime(start, m_platform.clock.now());
        const std::span<const std::uint8_t> pdu =
            std::span(reply).subspan(6, received > 6 ? received - 6 : 0);
        if (got.bytes == 0) {
            tcpWriteFailure(s, Fault(ClosedFault, 0, kSocketClosedDuringRecv), CloseLink);
        } else if (const std::optional<std::uint8_t> code = ExceptionCode(pdu)) {
            tcpWriteFailure(s, ExceptionReplyFault(*code), KeepLink);
        } else {
            const int error = sockets.lastError();
            tcpWriteFailure(
                s, Fault(ReplyLengthFault, error, formatText(kRecvRequestError, error)), CloseLink);
        }
        return false;
    }
    if (s.m_closeAfterReply != 0) {
        closeTcpLink();
    }
    if (!TransactionIdMatches(reply, idSent)) {
        showMessage(Fault(ReplyCheckFault, 0, formatText(kBadTransactionId, s.m_slaveId)),
                    MessageIcon::Error);
        return false;
    }
    if (const std::optional<std::string> check =
            WriteEcho(std::span(reply).subspan(6, 6), request, LinkKind::Tcp)) {
        showMessage(Fault(ReplyCheckFault, 0, *check), MessageIcon::Error);
        return false;
    }
    return true;
}

} // namespace quarin
