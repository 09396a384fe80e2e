#include "soak_slave.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/reference_crc.h"

namespace quarin::bench {

namespace {

constexpr std::uint16_t kInputOffset = 1000;
constexpr std::size_t kMbapLength = 6; // before the unit identifier
constexpr std::size_t kMaxFrame = 260;

std::uint16_t word(std::uint8_t high, std::uint8_t low)
{
    return static_cast<std::uint16_t>((high << 8) | low);
}

void pushWord(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// Bytes of a whole RTU request starting at `frame`, or 0 while too few have come to tell.
std::size_t rtuRequestLength(std::span<const std::uint8_t> frame)
{
    if (frame.size() < 2) {
        return 0;
    }
    switch (frame[1]) {
    case 0x03:
    case 0x04:
    case 0x06:
        return 8;
    case 0x10:
        return frame.size() < 7 ? 0 : 9u + frame[6];
    default:
        return kMaxFrame + 1; // not understood
    }
}

} // namespace

const char* faultName(Fault fault)
{
    switch (fault) {
    case NoFault:
        return "none";
    case ExceptionReply:
        return "exception reply";
    case BadCrc:
        return "wrong CRC";
    case WrongSlaveId:
        return "wrong slave id";
    case WrongTransactionId:
        return "wrong transaction id";
    case WrongCount:
        return "wrong byte count / echo field";
    case CloseAfterReply:
        return "closed after the reply";
    case kFaultKinds:
        break;
    }
    return "?";
}

FaultySlave::~FaultySlave()
{
    stop();
}

bool FaultySlave::start(int ptyMaster, std::string& error)
{
    m_pty = ptyMaster;
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    m_wake = eventfd(0, EFD_CLOEXEC);
    if (m_listener < 0 || m_wake < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof bound;
    if (bind(m_listener, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        listen(m_listener, 16) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        error = std::string("listen on 127.0.0.1: ") + std::strerror(errno);
        return false;
    }
    m_port = ntohs(bound.sin_port);
    m_thread = std::thread([this] { serve(); });
    return true;
}

void FaultySlave::stop()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        if (write(m_wake, &one, sizeof one) < 0) {
            std::perror("slave wake");
        }
        m_thread.join();
    }
    for (const Connection& c : m_open) {
        close(c.fd);
    }
    m_open.clear();
    m_connections.store(0);
    for (int* fd : {&m_listener, &m_wake}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void FaultySlave::serve()
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({{m_wake, POLLIN, 0}, {m_listener, POLLIN, 0}, {m_pty, POLLIN, 0}});
        for (const Connection& c : m_open) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            serveRtu();
        }
        // Back to front, so that closing one leaves the indices of the others as they were.
        for (std::size_t i = fds.size(); i-- > 3;) {
            if (fds[i].revents != 0 && !serveTcp(m_open[i - 3])) {
                close(m_open[i - 3].fd);
                m_open.erase(m_open.begin() + static_cast<std::ptrdiff_t>(i - 3));
                m_connections.fetch_sub(1);
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                m_open.push_back({client, {}});
                m_connections.fetch_add(1);
            }
        }
    }
}

bool FaultySlave::serveTcp(Connection& connection)
{
    std::uint8_t chunk[512];
    const ssize_t got = recv(connection.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        return false;
    }
    if (got < 0) {
        return true;
    }
    std::vector<std::uint8_t>& in = connection.pending;
    in.insert(in.end(), chunk, chunk + got);
    while (in.size() >= kMbapLength) {
        const std::size_t total = kMbapLength + word(in[4], in[5]);
        if (total > kMaxFrame || total < kMbapLength + 2) {
            ++m_malformed;
            return false;
        }
        if (in.size() < total) {
            return true;
        }
        const Fault fault = static_cast<Fault>(m_fault.load());
        const std::vector<std::uint8_t> body =
            answer(std::span(in).subspan(kMbapLength, total - kMbapLength), fault);
        if (body.empty()) {
            ++m_malformed;
            return false;
        }
        std::uint16_t tid = word(in[0], in[1]);
        if (fault == WrongTransactionId) {
            ++tid;
        }
        std::vector<std::uint8_t> reply;
        reply.reserve(kMbapLength + body.size());
        pushWord(reply, tid);
        pushWord(reply, 0);
        pushWord(reply, static_cast<std::uint16_t>(body.size()));
        reply.insert(reply.end(), body.begin(), body.end());
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(total));
        ++m_requests;
        ++m_served[static_cast<std::size_t>(fault)];
        if (!writeAll(connection.fd, reply) || fault == CloseAfterReply) {
            return false;
        }
    }
    return true;
}

void FaultySlave::serveRtu()
{
    std::uint8_t chunk[512];
    const ssize_t got = read(m_pty, chunk, sizeof chunk);
    if (got <= 0) {
        return;
    }
    std::vector<std::uint8_t>& in = m_rtuPending;
    in.insert(in.end(), chunk, chunk + got);
    for (;;) {
        const std::size_t length = rtuRequestLength(in);
        if (length == 0 || (length <= kMaxFrame && in.size() < length)) {
            return;
        }
        if (length > kMaxFrame || test::referenceCrc16(std::span(in).first(length)) !=
                                      0) { // a frame with its CRC sums to 0
            ++m_malformed;
            in.clear();
            return;
        }
        const Fault fault = static_cast<Fault>(m_fault.load());
        std::vector<std::uint8_t> reply = answer(std::span(in).first(length - 2), fault);
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(length));
        if (reply.empty()) {
            ++m_malformed;
            continue;
        }
        std::uint16_t crc = test::referenceCrc16(reply);
        if (fault == BadCrc) {
            crc = static_cast<std::uint16_t>(crc ^ 0xFF00u);
        }
        reply.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        reply.push_back(static_cast<std::uint8_t>(crc >> 8));
        ++m_requests;
        ++m_served[static_cast<std::size_t>(fault)];
        writeAll(m_pty, reply);
    }
}

std::vector<std::uint8_t> FaultySlave::answer(std::span<const std::uint8_t> request, Fault fault)
{
    if (request.size() < 6) {
        return {};
    }
    const std::uint8_t id = request[0];
    const std::uint8_t function = request[1];
    const std::uint16_t address = word(request[2], request[3]);
    const std::uint16_t quantity = word(request[4], request[5]);
    std::vector<std::uint8_t> reply{id, function};
    switch (function) {
    case 0x03:
    case 0x04:
        if (quantity < 1 || quantity > 125) {
            return {};
        }
        reply.push_back(static_cast<std::uint8_t>(2 * quantity));
        for (std::uint16_t k = 0; k < quantity; ++k) {
            const int value = address + k + (function == 0x04 ? kInputOffset : 0);
            pushWord(reply, static_cast<std::uint16_t>(value & 0xFFFF));
        }
        if (fault == WrongCount) {
            reply[2] = static_cast<std::uint8_t>(reply[2] + 2);
        }
        break;
    case 0x06:
    case 0x10:
        reply.assign(request.begin(), request.begin() + 6);
        if (fault == WrongCount) {
            reply[5] = static_cast<std::uint8_t>(reply[5] ^ 1);
        }
        break;
    default:
        return {};
    }
    if (fault == ExceptionReply) {
        reply = {id, static_cast<std::uint8_t>(function | 0x80), 0x02};
    }
    if (fault == WrongSlaveId) {
        reply[0] = static_cast<std::uint8_t>(id + 1);
    }
    return reply;
}

bool FaultySlave::writeAll(int fd, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = fd == m_pty
                              ? write(fd, bytes.data() + done, bytes.size() - done)
                              : send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace quarin::bench
