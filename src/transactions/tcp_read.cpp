#include <array>

#include "console/master_dlg.h"
#include "console/scope_exit.h"
#include "links/link_texts.h"
#include "messages/format_text.h"
#include "messages/mbap_header.h"
#include "messages/read_pdu.h"
#include "transactions/transaction_texts.h"

namespace quarin {

namespace {

// The identification fields the checks read: the MEI type at byte 8 and the object count at 13.
constexpr std::size_t kMinIdentificationFrame = 14;

} // namespace

void CMasterDlg::TcpRead()
{
    setBusyCursor(true);
    ScopeExit cursor([this] { setBusyCursor(false); });

    ConsoleSettings s;
    // Once the console halts the record is out of reach, and a default copy is not the
    // operator's to act on.
    if (!changeRecord([&] {
            m_settings.m_values = zeroTexts();
            m_stats.lastMs = 0;
            s = m_settings;
        })) {
        endTransaction();
        return;
    }
    auto end = [&] {
        sendUpdateConsole(false);
        endTransaction();
    };
    auto endWithBox = [&](const std::string& text) {
        showMessage(text, MessageIcon::Error);
        end();
    };

    if (s.m_address.empty()) {
        endWithBox(kNoAddress);
        return;
    }
    if (s.m_timeoutMs < 1000 || s.m_timeoutMs > 60000) {
        endWithBox(kTimeoutRange);
        return;
    }
    // One reply frame holds at most 125 values (124 for a scattered read, whose request must also
    // fit a frame); the quantity byte carries only the low 8 bits. Refused with the serial read's
    // texts, without its other effects.
    const bool scattered = s.m_dataType == ScatteredRead;
    if (s.m_dataType != DeviceIdentification &&
        (s.m_registerCount < 1 || s.m_registerCount > (scattered ? 100 : 125))) {
        endWithBox(scattered ? kCountRange100 : kCountRange125);
        return;
    }

    int connectError = 0;
    switch (openTcpLink(s.m_address, connectError)) {
    case LinkOpen::Ready:
        break;
    case LinkOpen::Reported:
        end();
        return;
    case LinkOpen::ConnectFailed:
        reportFailure(formatText(kConnectError, connectError), LinkFailure);
        return;
    }

    const TimeStamp start = m_platform.clock.now();
    ReadRequest request{
        s.m_dataType, s.m_protocol, s.m_slaveId, s.m_startRegister, s.m_registerCount};
    if (scattered) {
        request.transmissionNo = ++m_scatterTransactionNo;
    }
    std::array<std::uint8_t, kMaxTcpReply> frame{};
    const std::size_t length = 6 + BuildReadRequest(std::span(frame).subspan(6), request);
    const std::uint16_t idSent = MbapHeader(frame, length, m_mbapTransactionNo, s.m_slaveId);

    const int waitLimit = s.m_timeoutMs / 1000;
    std::string failure;
    const bool sent = sendTcpRequest(std::span(frame).first(length), waitLimit, failure);
    traceSent(s, start, std::span(frame).first(length), sent ? length : 0);
    if (!sent) {
        reportFailure(failure, LinkFailure);
        return;
    }
    std::array<std::uint8_t, kMaxTcpReply> reply{};
    const std::optional<std::size_t> received = receiveTcpReply(reply, waitLimit, failure);
    if (!received) {
        reportFailure(failure, LinkFailure);
        return;
    }
    recordTransactionTime(start, m_platform.clock.now());

    const std::size_t total = *received;
    const bool exception = (reply[7] & 0x80) != 0;
    // A frame of length byte 2 ends at byte 7 and carries no exception code.
    const int exceptionCode = total > 8 ? reply[8] : 0;
    const int n = s.m_registerCount;
    if (s.m_dataType == DeviceIdentification) {
        if (exception) {
            reportFailure(formatText(kExceptionReceived, exceptionCode), Failure);
            return;
        }
    } else if (total != static_cast<std::size_t>(scattered ? 2 * n + 11 : 2 * n + 9)) {
        if (exception) {
            reportFailure(formatText(kExceptionReceived, exceptionCode), Failure);
        } else {
            reportFailure(formatText(kRecvRequestError, m_platform.sockets.lastError()),
                          LinkFailure);
        }
        return;
    }
    if (s.m_closeAfterReply != 0) {
        closeTcpLink();
    }
    if (!TransactionIdMatches(reply, idSent)) {
        endWithBox(formatText(kBadTransactionId, s.m_slaveId));
        return;
    }
    const std::span<const std::uint8_t> pdu = std::span(reply).subspan(6, total - 6);
    if (const std::optional<std::string> check = CheckReadReply(pdu, request, LinkKind::Tcp)) {
        reportFailure(*check, Failure);
        return;
    }
    if (s.m_dataType == DeviceIdentification) {
        // The length of an identification reply is not checked up front, so the identifier and
        // the field checks come first; one whose fields pass but that ends before the object
        // count is refused like a reply of the wrong length.
        if (total < kMinIdentificationFrame) {
            reportFailure(formatText(kRecvRequestError, m_platform.sockets.lastError()),
                          LinkFailure);
            return;
        }
        showMessage(IdentificationText(pdu), MessageIcon::Information);
    } else {
        ValueTexts values = zeroTexts();
        ExtractValues(pdu, request, s.m_displayMode, values);
        changeRecord([&] { m_settings.m_values = values; });
    }
    if (s.m_protocol == Modbus) {
        onWindow([this] {
            m_labelsJbusForm = true;
            showModbusLabels();
        });
    }
    end();
}

} // namespace quarin
