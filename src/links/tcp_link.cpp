#include "console/master_dlg.h"
#include "console/scope_exit.h"
#include "links/ipv4_text.h"
#include "links/link_texts.h"
#include "messages/format_text.h"
#include "messages/mbap_header.h"

namespace quarin {

namespace {

constexpr char kArpProgram[] = "/usr/sbin/arp";

} // namespace

bool CMasterDlg::openTcpLink(const std::string& address, std::optional<Fault>& connectFailure)
{
    SocketApi& sockets = m_platform.sockets;
    if (halted() && !m_view.onWindowThread()) {
        return false;
    }
    if (m_connected && address == m_connectedAddress) {
        return true;
    }
    // Remembered before anything can fail: a failed attempt still names the link.
    m_connectedAddress = address;
    closeTcpLink();
    if (!sockets.startup()) {
        showMessage(Fault(SocketLibraryFault, 0, kUnableToInitializeWinsock), MessageIcon::Error);
        return false;
    }
    m_socketLibraryHeld = true;

    std::string dotted = address;
    if (IsHostName(address)) {
        std::optional<std::string> first = sockets.resolve(address);
        if (first) {
            // Drop a stale neighbour entry so a replaced device is found at once. Best effort:
            // skipped where the tool is absent, never waited for, its outcome ignored.
            if (m_platform.programs.exists(kArpProgram)) {
                m_platform.programs.start({kArpProgram, "-d", *first}, true);
            }
            m_platform.clock.sleepMs(1000);
            first = sockets.resolve(address);
        }
        if (!first) {
            closeTcpLink();
            showMessage(Fault(ResolveFault, 0, kCouldNotResolve), MessageIcon::Error);
            return false;
        }
        dotted = *first;
    }

    m_socket = sockets.connect(InetAddr(dotted), m_tcpPort);
    if (m_socket == kNoSocket) {
        const int error = sockets.lastError();
        connectFailure = Fault(ConnectFault, error, formatText(kConnectError, error));
        return false;
    }
    m_connected = true;
    return true;
}

bool CMasterDlg::sendTcpRequest(std::span<const std::uint8_t> frame, int waitLimit, Fault& failure)
{
    SocketApi& sockets = m_platform.sockets;
    // Whatever is already waiting (a reply to a broadcast, junk behind a frame) is dropped first:
    // it would otherwise be read as the reply to this request.
    const Transfer sent = sockets.sendFresh(m_socket, frame, waitLimit);
    if (sent.waitFailed) {
        const int error = sockets.lastError();
        failure = Fault(WaitWritableFault, error, formatText(kSelectWriteError, error));
        return false;
    }
    if (sent.bytes < 0 || static_cast<std::size_t>(sent.bytes) != frame.size()) {
        const int error = sockets.lastError();
        failure = Fault(SendFault, error, formatText(kSendError, error));
        return false;
    }
    return true;
}

std::optional<std::size_t>
CMasterDlg::receiveTcpReply(std::span<std::uint8_t> buffer, int waitLimit, Fault& failure)
{
    SocketApi& sockets = m_platform.sockets;
    std::size_t received = 0;
    bool failed = true;
    // Whatever arrived, on every way out.
    ScopeExit trace([&] { traceReceived(buffer.first(received), failed); });
    // Nothing, or a failure: the step's text.
    auto receive = [&](std::span<std::uint8_t> into) {
        const Transfer got = sockets.receiveWithin(m_socket, into, waitLimit);
        if (got.bytes <= 0) {
            const int error = sockets.lastError();
            failure = got.waitFailed
                          ? Fault(WaitReadableFault, error, formatText(kSelectReadError, error))
                          : Fault(ReceiveFault, error, formatText(kRecvOperationError, error));
            return false;
        }
        received += static_cast<std::size_t>(got.bytes);
        return true;
    };
    if (buffer.size() < kMaxTcpReply || !receive(buffer.first(6))) {
        return std::nullopt;
    }
    const HeaderCheck header = CheckMbapHeader(buffer.first(received));
    if (header.failure != nullptr) {
        failed = false;
        failure = Fault(HeaderFault, 0, header.failure);
        return std::nullopt;
    }
    const std::size_t total = 6 + header.length;
    while (received < total) {
        if (!receive(buffer.subspan(received, total - received))) {
            return std::nullopt;
        }
    }
    failed = false;
    return total;
}

void CMasterDlg::closeTcpLink()
{
    // A halted worker leaves the link as it is; the window's end closes it once no worker is out.
    if (halted() && !m_view.onWindowThread()) {
        return;
    }
    if (m_socket != kNoSocket) {
        m_platform.sockets.close(m_socket);
        m_socket = kNoSocket;
    }
    if (m_socketLibraryHeld) {
        m_platform.sockets.cleanup();
        m_socketLibraryHeld = false;
    }
    m_connected = false;
}

} // namespace quarin
