#include <array>

#include "console/master_dlg.h"
#include "messages/format_text.h"
#include "transactions/transaction_texts.h"

namespace quarin {

namespace {

// The identification fields the checks read: the MEI type at byte 8 and the object count at 13.
constexpr std::size_t kMinIdentificationFrame = 14;

} // namespace

void CMasterDlg::TcpRead()
{
    const BusyCursor cursor(*this);
    ConsoleSettings s;
    if (!beginRead(s)) {
        return;
    }
    if (addressMissing(s)) {
        endRead();
        return;
    }
    if (timeoutRefused(s)) {
        endTransaction();
        return;
    }
    // One reply frame holds at most 125 values (124 for a scattered read, whose request must also
    // fit a frame); the quantity byte carries only the low 8 bits. Refused with the serial read's
    // texts, without its other effects.
    const bool scattered = s.m_dataType == ScatteredRead;
    if (s.m_dataType != DeviceIdentification &&
        (s.m_registerCount < 1 || s.m_registerCount > (scattered ? 100 : 125))) {
        showMessage(scattered ? kCountRange100 : kCountRange125, MessageIcon::Error);
        endRead();
        return;
    }
    if (std::optional<Fault> connectFailure; !openTcpLink(s.m_address, connectFailure)) {
        if (connectFailure) {
            reportFailure(*connectFailure, LinkFailure);
        } else {
            endRead();
        }
        return;
    }

    const TimeStamp start = m_platform.clock.now();
    const ReadRequest request = readRequestFor(s);
    std::array<std::uint8_t, kMaxTcpReply> frame{};
    const std::size_t length = 6 + BuildReadRequest(std::span(frame).subspan(6), request);
    const std::uint16_t idSent = MbapHeader(frame, length, m_mbapTransactionNo, s.m_slaveId);
    Fault failure;
    if (!sendTcpFrame(s, start, std::span(frame).first(length), failure)) {
        reportFailure(failure, LinkFailure);
        return;
    }
    std::array<std::uint8_t, kMaxTcpReply> reply{};
    const std::optional<std::size_t> received =
        receiveTcpReply(reply, s.m_timeoutMs / 1000, failure);
    if (!received) {
        reportFailure(failure, LinkFailure);
        return;
    }
    recordTransactionTime(start, m_platform.clock.now());
    judgeTcpReply(s, request, idSent, std::span(reply).first(*received));
}

// Every way out ends the transaction.
void CMasterDlg::judgeTcpReply(const ConsoleSettings& s,
                               const ReadRequest& request,
                               std::uint16_t idSent,
                               std::span<const std::uint8_t> reply)
{
    const std::span<const std::uint8_t> pdu = reply.subspan(6);
    const bool exception = IsExceptionReply(pdu);
    const bool identification = s.m_dataType == DeviceIdentification;
    const std::size_t n = static_cast<std::size_t>(s.m_registerCount);
    const bool lengthRight =
        reply.size() == (s.m_dataType == ScatteredRead ? 2 * n + 11 : 2 * n + 9);
    if ((identification || !lengthRight) && exception) {
        // A frame of length byte 2 ends at byte 7 and carries no exception code.
        reportFailure(ExceptionReplyFault(ExceptionCode(pdu).value_or(0)), Failure);
        return;
    }
    auto wrongLength = [&] {
        const int error = m_platform.sockets.lastError();
        reportFailure(Fault(ReplyLengthFault, error, formatText(kRecvRequestError, error)),
                      LinkFailure);
    };
    if (!identification && !lengthRight) {
        wrongLength();
        return;
    }
    if (s.m_closeAfterReply != 0) {
        closeTcpLink();
    }
    if (!TransactionIdMatches(reply, idSent)) {
        showMessage(Fault(ReplyCheckFault, 0, formatText(kBadTransactionId, s.m_slaveId)),
                    MessageIcon::Error);
        endRead();
        return;
    }
    if (const std::optional<std::string> check = CheckReadReply(pdu, request, LinkKind::Tcp)) {
        reportFailure(Fault(ReplyCheckFault, 0, *check), Failure);
        return;
    }
    // The length of an identification reply is not checked up front, so the identifier and the
    // field checks come first; one whose fields pass but that ends before the object count is
    // refused like a reply of the wrong length.
    if (identification && reply.size() < kMinIdentificationFrame) {
        wrongLength();
        return;
    }
    showReadReply(pdu, request);
    resetModbusLabels(ResetUnderModbus);
    endRead();
}

} // namespace quarin
