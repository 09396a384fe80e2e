#include "support/peer_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quarin::test {

SerialRig::SerialRig(int com, PtyCable::Line line)
    : cable(line), m_com(com), m_linked(dir.ok() && cable.ok() && cable.linkAsCom(dir.path(), com))
{}

testing::AssertionResult SerialRig::ready() const
{
    if (!dir.ok()) {
        return testing::AssertionFailure() << dir.error();
    }
    if (!cable.ok()) {
        return testing::AssertionFailure() << cable.error();
    }
    if (!m_linked) {
        return testing::AssertionFailure() << "no link COM" << m_com;
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult SerialRig::start(const std::vector<std::string>& argv)
{
    testing::AssertionResult result = ready();
    if (!result) {
        return result;
    }
    if (!slave.start(argv)) {
        return testing::AssertionFailure() << slave.error();
    }
    if (!slave.waitForLine("READY", kPeerStartTimeout)) {
        return testing::AssertionFailure() << "no READY from " << argv.front();
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult TcpRig::start(const std::vector<std::string>& argv)
{
    if (!dir.ok()) {
        return testing::AssertionFailure() << dir.error();
    }
    if (!slave.start(argv)) {
        return testing::AssertionFailure() << slave.error();
    }
    const auto port = slave.waitForPort(kPeerStartTimeout);
    if (!port) {
        return testing::AssertionFailure() << "no PORT from " << argv.front();
    }
    m_port = static_cast<std::uint16_t>(*port);
    return testing::AssertionSuccess();
}

namespace {

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

LoopbackPort::LoopbackPort() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (m_fd >= 0 && ::bind(m_fd, any, size) == 0 && ::getsockname(m_fd, any, &size) == 0) {
        m_port = ntohs(address.sin_port);
    }
}

bool LoopbackPort::listen(int backlog)
{
    return m_port != 0 && ::listen(m_fd, backlog) == 0;
}

int LoopbackPort::connectClient() const
{
    const sockaddr_in address = loopback(m_port);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client >= 0 &&
        ::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(client);
        return -1;
    }
    return client;
}

LoopbackPort::~LoopbackPort()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

} // namespace quarin::test
