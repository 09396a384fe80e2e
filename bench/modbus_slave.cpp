#include "modbus_slave.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <modbus/modbus-rtu.h>
#include <modbus/modbus-tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_common.h"

namespace quarin::bench {

namespace {

constexpr int kRegisters = 65536;
constexpr int kInputOffset = 1000;

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

std::unique_ptr<ModbusSlave>
ModbusSlave::tcp(const std::string& address, std::uint16_t port, int cpu, std::string& error)
{
    std::unique_ptr<ModbusSlave> slave(new ModbusSlave);
    slave->m_tcp = true;
    slave->m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (slave->m_listener < 0) {
        error = systemError("socket");
        return nullptr;
    }
    const int yes = 1;
    setsockopt(slave->m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &bound.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return nullptr;
    }
    socklen_t length = sizeof bound;
    if (bind(slave->m_listener, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        listen(slave->m_listener, 16) != 0 ||
        getsockname(slave->m_listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        error = systemError("listen on " + address + ":" + std::to_string(port));
        return nullptr;
    }
    slave->m_port = ntohs(bound.sin_port);
    // The address only matters to a client context; this one never connects.
    slave->m_ctx = modbus_new_tcp(address.c_str(), slave->m_port);
    if (!slave->start(cpu, error)) {
        return nullptr;
    }
    return slave;
}

std::unique_ptr<ModbusSlave>
ModbusSlave::rtu(std::vector<int> masterFds, int cpu, std::string& error)
{
    std::unique_ptr<ModbusSlave> slave(new ModbusSlave);
    // Never connected: each pty master is handed to the context as its descriptor.
    slave->m_ctx = modbus_new_rtu("/dev/null", 38400, 'N', 8, 1);
    if (slave->m_ctx != nullptr) {
        modbus_set_slave(slave->m_ctx, 1);
    }
    for (const int fd : masterFds) {
        slave->m_channels.push_back({fd, slave->m_nextChannel++});
    }
    if (!slave->start(cpu, error)) {
        return nullptr;
    }
    return slave;
}

bool ModbusSlave::start(int cpu, std::string& error)
{
    if (m_ctx == nullptr) {
        error = "libmodbus context: " + std::string(modbus_strerror(errno));
        return false;
    }
    m_mapping = modbus_mapping_new(0, 0, kRegisters, kRegisters);
    if (m_mapping == nullptr) {
        error = "no memory for the registers";
        return false;
    }
    for (int k = 0; k < kRegisters; ++k) {
        m_mapping->tab_registers[k] = static_cast<std::uint16_t>(k);
        m_mapping->tab_input_registers[k] = static_cast<std::uint16_t>(k + kInputOffset);
    }
    m_wake = eventfd(0, EFD_CLOEXEC);
    if (m_wake < 0) {
        error = systemError("eventfd");
        return false;
    }
    m_records.resize(m_channels.size());
    m_thread = std::thread([this, cpu] { serve(cpu); });
    return true;
}

ModbusSlave::~ModbusSlave()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        if (write(m_wake, &one, sizeof one) < 0) {
            std::perror("slave wake");
        }
        m_thread.join();
    }
    if (m_tcp) {
        for (const Channel& channel : m_channels) {
            close(channel.fd);
        }
    }
    if (m_listener >= 0) {
        close(m_listener);
    }
    if (m_wake >= 0) {
        close(m_wake);
    }
    if (m_ctx != nullptr) {
        modbus_set_socket(m_ctx, -1);
        modbus_free(m_ctx);
    }
    if (m_mapping != nullptr) {
        modbus_mapping_free(m_mapping);
    }
}

void ModbusSlave::serve(int cpu)
{
    pinThread(cpu);
    std::vector<std::uint8_t> query(MODBUS_TCP_MAX_ADU_LENGTH);
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({{m_wake, POLLIN, 0}, {m_listener, POLLIN, 0}});
        for (const Channel& channel : m_channels) {
            fds.push_back({channel.fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        const std::int64_t woke = nowNs();
        if (fds[0].revents != 0) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                std::lock_guard lock(m_mutex);
                m_channels.push_back({client, m_nextChannel++});
                m_records.emplace_back();
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const Channel channel = m_channels[i - 2];
            modbus_set_socket(m_ctx, channel.fd);
            const int rc = modbus_receive(m_ctx, query.data());
            if (rc > 0) {
                if (const int delay = m_replyDelayUs.load(); delay > 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(delay));
                }
                if (modbus_reply(m_ctx, query.data(), rc, m_mapping) >= 0) {
                    record(channel.id, {woke, nowNs()});
                    continue;
                }
            } else if (rc == 0 || errno == EINTR) {
                continue;
            }
            ++m_failures;
            if (m_tcp) {
                // Closed by the client, or unreadable: forget the connection.
                close(channel.fd);
                std::lock_guard lock(m_mutex);
                std::erase_if(m_channels, [&](const Channel& c) { return c.fd == channel.fd; });
                break;
            }
            modbus_flush(m_ctx);
        }
    }
}

void ModbusSlave::record(int channel, SlaveExchange exchange)
{
    std::lock_guard lock(m_mutex);
    m_records[static_cast<std::size_t>(channel)].push_back(exchange);
}

std::size_t ModbusSlave::count(int channel) const
{
    std::lock_guard lock(m_mutex);
    const auto c = static_cast<std::size_t>(channel);
    return c < m_records.size() ? m_records[c].size() : 0;
}

bool ModbusSlave::waitForCount(int channel, std::size_t wanted, int timeoutMs) const
{
    const std::int64_t deadline = nowNs() + std::int64_t{timeoutMs} * 1000000;
    while (count(channel) < wanted) {
        if (nowNs() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<SlaveExchange> ModbusSlave::exchanges(int channel) const
{
    std::lock_guard lock(m_mutex);
    const auto c = static_cast<std::size_t>(channel);
    return c < m_records.size() ? m_records[c] : std::vector<SlaveExchange>{};
}

} // namespace quarin::bench
