#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <modbus/modbus.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quarin::bench {

// One request as the slave saw it: when its bytes were there to read, and when the write carrying
// the reply's last byte had returned. Both in nowNs().
struct SlaveExchange
{
    std::int64_t arrivedNs = 0;
    std::int64_t repliedNs = 0;
};

// A libmodbus slave on a thread of its own, serving TCP connections on one listener or the master
// ends of ptys. Every connection (in the order they were accepted) or pty is a channel, with the
// record of its exchanges. Holding register k holds k, input register k holds k + 1000, as the
// test peers do.
class ModbusSlave
{
public:
    // Listens on address:port (port 0: one the system picks).
    static std::unique_ptr<ModbusSlave>
    tcp(const std::string& address, std::uint16_t port, int cpu, std::string& error);
    // Serves slave ID 1 on each master fd; channel i is masterFds[i].
    static std::unique_ptr<ModbusSlave>
    rtu(std::vector<int> masterFds, int cpu, std::string& error);

    ~ModbusSlave();
    ModbusSlave(const ModbusSlave&) = delete;
    ModbusSlave& operator=(const ModbusSlave&) = delete;

    std::uint16_t port() const { return m_port; }

    // How long the slave sits on each request before it replies, as a slow device would.
    void setReplyDelayUs(int us) { m_replyDelayUs.store(us); }

    std::size_t count(int channel) const;
    // Waits until the channel has at least `count` exchanges; false at the time-out.
    bool waitForCount(int channel, std::size_t count, int timeoutMs) const;
    std::vector<SlaveExchange> exchanges(int channel) const;

    // Requests libmodbus could not read or answer.
    long failures() const { return m_failures.load(); }

private:
    struct Channel
    {
        int fd = -1;
        int id = 0;
    };

    ModbusSlave() = default;
    bool start(int cpu, std::string& error);
    void serve(int cpu);
    void record(int channel, SlaveExchange exchange);

    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_mapping = nullptr;
    bool m_tcp = false;
    int m_listener = -1;
    int m_wake = -1;
    std::uint16_t m_port = 0;
    std::vector<Channel> m_channels;
    int m_nextChannel = 0;
    std::atomic<int> m_replyDelayUs{0};
    std::atomic<long> m_failures{0};

    mutable std::mutex m_mutex;
    std::vector<std::vector<SlaveExchange>> m_records;

    std::thread m_thread;
};

} // namespace quarin::bench
