#include <array>

#include "console/master_dlg.h"
#include "console/scope_exit.h"
#include "links/link_texts.h"
#include "messages/format_text.h"
#include "messages/mbap_header.h"
#include "messages/write_pdu.h"
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
    onWindow([&] { s = m_settings; });
    if (!WritableType(s.m_dataType)) {
        return;
    }
    setBusyCursor(true);
    ScopeExit cursor([this] { setBusyCursor(false); });
    WriteRequest request;
    if (!prepareWrite(false, s, request)) {
        return;
    }
    if (s.m_address.empty()) {
        showMessage(kNoAddress, MessageIcon::Error);
        return;
    }
    if (s.m_timeoutMs < 1000 || s.m_timeoutMs > 60000) {
        showMessage(kTimeoutRange, MessageIcon::Error);
        sendUpdateConsole(false);
        return;
    }

    // From the connection attempt on, every text names the slave.
    const std::string prefix = formatText(kSlavePrefix, s.m_slaveId);
    auto fail = [&](const std::string& text, bool closeLink) {
        showMessage(prefix + text, MessageIcon::Error);
        if (closeLink) {
            closeTcpLink();
        }
    };

    int connectError = 0;
    switch (openTcpLink(s.m_address, connectError)) {
    case LinkOpen::Ready:
        break;
    case LinkOpen::Reported:
        return;
    case LinkOpen::ConnectFailed:
        fail(formatText(kConnectError, connectError), true);
        return;
    }

    const TimeStamp start = m_platform.clock.now();
    std::array<std::uint8_t, kWriteReceiveSize> frame{};
    const std::size_t length = 6 + RegisterWriteRequest(std::span(frame).subspan(6), request);
    onWindow([&] {
        for (std::size_t k = static_cast<std::size_t>(request.registerCount); k < kValueRows; ++k) {
            m_settings.m_values[k].assign(1, '0'); // not = "0": g++ 12 -O2 -Wrestrict
        }
    });
    const std::uint16_t idSent = MbapHeader(frame, length, m_mbapTransactionNo, s.m_slaveId);

    const int waitLimit = s.m_timeoutMs / 1000;
    SocketApi& sockets = m_platform.sockets;
    std::string failure;
    const bool sent = sendTcpRequest(std::span(frame).first(length), waitLimit, failure);
    traceSent(s, start, std::span(frame).first(length), sent ? length : 0);
    if (!sent) {
        fail(failure, true);
        return;
    }

    if (s.m_slaveId != 0) {
        // The whole echo must come in this one receive; the header's length is not used.
        std::array<std::uint8_t, kWriteReceiveSize> reply{};
        const Transfer got = sockets.receiveWithin(m_socket, reply, waitLimit);
        if (got.waitFailed) {
            traceReceived({}, true);
            fail(formatText(kSelectReadError, sockets.lastError()), true);
            return;
        }
        const long received = got.bytes;
        traceReceived(std::span(reply).first(received > 0 ? static_cast<std::size_t>(received) : 0),
                      received < 0);
        if (received != static_cast<long>(kEchoFrameLength)) {
            recordTransactionTime(start, m_platform.clock.now());
            if (received == 0) {
                fail(kSocketClosedDuringRecv, true);
            } else if (received >= 9 && (reply[7] & 0x80) != 0) {
                fail(formatText(kExceptionReceived, reply[8]), false);
            } else {
                fail(formatText(kRecvRequestError, sockets.lastError()), true);
            }
            return;
        }
        if (s.m_closeAfterReply != 0) {
            closeTcpLink();
        }
        if (!TransactionIdMatches(reply, idSent)) {
            showMessage(formatText(kBadTransactionId, s.m_slaveId), MessageIcon::Error);
            return;
        }
        if (const std::optional<std::string> check =
                WriteEcho(std::span(reply).subspan(6, 6), request, LinkKind::Tcp)) {
            showMessage(*check, MessageIcon::Error);
            return;
        }
    }

    recordTransactionTime(start, m_platform.clock.now());
    onWindow([this] {
        m_labelsJbusForm = true;
        showModbusLabels();
    });
}

} // namespace quarin
