#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace quarin::bench {

// What the slave does to the reply it is about to send. Each fails the master's checks at once:
// the reply still has the length the master waits for, or tells its own length.
enum Fault : int
{
    NoFault,
    ExceptionReply,     // function code | 0x80, exception code 2 (TCP: the header says 3 bytes)
    BadCrc,             // serial: the CRC's high byte flipped
    WrongSlaveId,       // slave address / unit identifier one higher
    WrongTransactionId, // TCP: the header's identifier one higher
    WrongCount,         // reads: byte count 2 too high; writes: echoed quantity or value off by one
    CloseAfterReply,    // TCP: the reply as it should be, then the connection closed
    kFaultKinds
};

const char* faultName(Fault fault);

// Modbus TCP on 127.0.0.1 and RTU on a pty's master end, served from a thread of its own. Holding
// register at wire address a holds a, input register a + 1000 (16 bits); writes are echoed and
// not stored. The fault applies to every request until it is changed, and is set by whoever runs
// the one transaction at a time.
class FaultySlave
{
public:
    FaultySlave() = default;
    ~FaultySlave();
    FaultySlave(const FaultySlave&) = delete;
    FaultySlave& operator=(const FaultySlave&) = delete;

    bool start(int ptyMaster, std::string& error);
    void stop();

    std::uint16_t port() const { return m_port; }

    void setFault(Fault fault) { m_fault.store(fault); }

    // TCP connections the slave holds open.
    int connections() const { return m_connections.load(); }

    long requests() const { return m_requests.load(); }

    // Requests it could not make sense of (bad CRC, unknown function, cut short).
    long malformed() const { return m_malformed.load(); }

    long served(Fault fault) const { return m_served[static_cast<std::size_t>(fault)].load(); }

private:
    struct Connection
    {
        int fd = -1;
        std::vector<std::uint8_t> pending;
    };

    void serve();
    // False when the connection is to be closed.
    bool serveTcp(Connection& connection);
    void serveRtu();
    // Slave address or unit identifier and PDU of the reply to `request` (the same, of the
    // request); empty when the request is not understood.
    std::vector<std::uint8_t> answer(std::span<const std::uint8_t> request, Fault fault);
    bool writeAll(int fd, std::span<const std::uint8_t> bytes);

    int m_listener = -1;
    int m_wake = -1;
    int m_pty = -1;
    std::uint16_t m_port = 0;
    std::vector<Connection> m_open;
    std::vector<std::uint8_t> m_rtuPending;
    std::atomic<int> m_fault{NoFault};
    std::atomic<int> m_connections{0};
    std::atomic<long> m_requests{0};
    std::atomic<long> m_malformed{0};
    std::array<std::atomic<long>, kFaultKinds> m_served{};
    std::thread m_thread;
};

} // namespace quarin::bench
