// Our requests and reply checks against libmodbus, an implementation nobody here wrote: each
// request goes through libmodbus's own receive and reply over a socket pair, so no thread,
// port or device is involved and every wait is bounded.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <modbus.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "messages/format_text.h"
#include "messages/framing.h"
#include "messages/mbap_header.h"
#include "messages/read_pdu.h"
#include "messages/write_pdu.h"
#include "transactions/transaction_texts.h"

namespace quarin {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kRegisters = 300;
constexpr int kWaitMs = 2000;

std::uint16_t HoldingContent(int address)
{
    return LowWord(0x8000 + 0x0101 * address); // high bit set: values must read as unsigned
}

std::uint16_t InputContent(int address)
{
    return LowWord(0x4000 + address);
}

struct ModbusDeleter
{
    void operator()(modbus_t* ctx) const { modbus_free(ctx); }
};

struct MappingDeleter
{
    void operator()(modbus_mapping_t* mapping) const { modbus_mapping_free(mapping); }
};

// One end for us, the other handed to libmodbus as its socket.
class SocketPair
{
public:
    SocketPair()
    {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            m_ours = fds[0];
            m_theirs = fds[1];
        }
    }

    ~SocketPair()
    {
        if (m_ours >= 0) {
            ::close(m_ours);
        }
        if (m_theirs >= 0) {
            ::close(m_theirs);
        }
    }

    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    bool ok() const { return m_ours >= 0 && m_theirs >= 0; }

    int theirs() const { return m_theirs; }

    bool send(const Bytes& bytes) const
    {
        return ::write(m_ours, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Up to `expected` bytes within the wait limit, then whatever else is already there, so a
    // reply of the wrong length shows as one.
    Bytes receive(std::size_t expected) const
    {
        Bytes bytes;
        std::array<std::uint8_t, 512> chunk{};
        int waitMs = kWaitMs;
        while (true) {
            pollfd pfd{m_ours, POLLIN, 0};
            if (::poll(&pfd, 1, bytes.size() < expected ? waitMs : 0) <= 0) {
                break;
            }
            const ssize_t got = ::read(m_ours, chunk.data(), chunk.size());
            if (got <= 0) {
                break;
            }
            bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
            waitMs = 200;
        }
        return bytes;
    }

private:
    int m_ours = -1;
    int m_theirs = -1;
};

// A libmodbus server of one framing, fed our bytes and replying into the pair.
class Peer
{
public:
    Peer(LinkKind link, int slaveId)
        : m_link(link),
          m_ctx(link == LinkKind::Serial ? modbus_new_rtu("/dev/null", 19200, 'E', 8, 1)
                                         : modbus_new_tcp("127.0.0.1", 1502)),
          m_mapping(modbus_mapping_new(0, 0, kRegisters, kRegisters))
    {
        if (!m_ctx || !m_mapping || !m_pair.ok()) {
            return;
        }
        for (int k = 0; k < kRegisters; ++k) {
            m_mapping->tab_registers[k] = HoldingContent(k);
            m_mapping->tab_input_registers[k] = InputContent(k);
        }
        modbus_set_slave(m_ctx.get(), slaveId);
        modbus_set_socket(m_ctx.get(), m_pair.theirs());
        modbus_set_indication_timeout(m_ctx.get(), 2, 0);
        modbus_set_byte_timeout(m_ctx.get(), 1, 0);
        m_ready = true;
    }

    bool ready() const { return m_ready; }

    modbus_mapping_t& mapping() { return *m_mapping; }

    // What libmodbus took the request to be: function, address, quantity or value.
    struct Seen
    {
        int function = -1;
        int address = -1;
        int fourth = -1;
    };

    // Sends our frame, lets libmodbus receive and answer it, and returns its reply frame.
    Bytes exchange(const Bytes& request, std::size_t expectedReply, Seen& seen)
    {
        std::array<std::uint8_t, MODBUS_TCP_MAX_ADU_LENGTH> indication{};
        if (!m_pair.send(request)) {
            ADD_FAILURE() << "write to the socket pair failed";
            return {};
        }
        const int length = modbus_receive(m_ctx.get(), indication.data());
        EXPECT_EQ(length, static_cast<int>(request.size()))
            << "libmodbus refused the request: " << modbus_strerror(errno);
        if (length <= 0) {
            return {};
        }
        const int header = modbus_get_header_length(m_ctx.get());
        const auto at = [&](int offset) { return indication[static_cast<std::size_t>(offset)]; };
        seen.function = at(header);
        seen.address = JoinWord(at(header + 1), at(header + 2));
        seen.fourth = JoinWord(at(header + 3), at(header + 4));
        if (modbus_reply(m_ctx.get(), indication.data(), length, m_mapping.get()) < 0) {
            ADD_FAILURE() << "libmodbus could not reply: " << modbus_strerror(errno);
            return {};
        }
        return m_pair.receive(expectedReply);
    }

    // Serial: the frame check, then the reply without its CRC. TCP: the header checks, then the
    // frame from the unit id on, as the transactions hand it over.
    Bytes unwrap(const Bytes& reply, std::uint16_t idSent) const
    {
        if (m_link == LinkKind::Serial) {
            EXPECT_TRUE(BinaryFrameOk(reply));
            return reply.size() < 2 ? Bytes{} : Bytes(reply.begin(), reply.end() - 2);
        }
        const HeaderCheck check =
            CheckMbapHeader(std::span(reply).first(std::min<std::size_t>(6, reply.size())));
        EXPECT_EQ(check.failure, nullptr);
        EXPECT_EQ(check.length + 6, reply.size());
        EXPECT_TRUE(TransactionIdMatches(reply, idSent));
        return reply.size() < 6 ? Bytes{} : Bytes(reply.begin() + 6, reply.end());
    }

private:
    LinkKind m_link;
    SocketPair m_pair;
    std::unique_ptr<modbus_t, ModbusDeleter> m_ctx;
    std::unique_ptr<modbus_mapping_t, MappingDeleter> m_mapping;
    bool m_ready = false;
};

// Our framing around a message (byte 0 and the PDU) built by `build` into the message area.
template <typename Build>
Bytes Frame(
    LinkKind link, int slaveId, std::uint16_t& transactionNo, std::uint16_t& idSent, Build build)
{
    Bytes frame(600);
    if (link == LinkKind::Serial) {
        const std::size_t m = build(std::span(frame));
        frame.resize(AppendCrc(frame, m));
        return frame;
    }
    const std::size_t m = build(std::span(frame).subspan(6));
    idSent = MbapHeader(frame, 6 + m, transactionNo, slaveId);
    frame.resize(6 + m);
    return frame;
}

std::string Name(LinkKind link)
{
    return link == LinkKind::Serial ? "RTU" : "TCP";
}

struct ReadCase
{
    DataType dataType;
    ProtocolVariant protocol;
    int slaveId;
    int startRegister;
    int count;
    int wireAddress; // as libmodbus must see it
};

TEST(LibmodbusFrames, ReadRequestsAreUnderstoodAndRepliesPass)
{
    // clang-format off
    const ReadCase cases[] = {
        {HoldingRegister,       Modbus, 1,   100, 3,   99},
        {HoldingRegister,       Jbus,   17,  100, 3,   100},
        {SingleHoldingRegister, Modbus, 247, 1,   1,   0},
        {InputRegister,         Modbus, 2,   10,  125, 9},
        {InputRegister,         Jbus,   2,   0,   12,  0},
    };
    // clang-format on
    std::uint16_t transactionNo = 65534; // crosses the wrap on the way
    for (const LinkKind link : {LinkKind::Serial, LinkKind::Tcp}) {
        for (const ReadCase& c : cases) {
            SCOPED_TRACE(Name(link) + " function " + std::to_string(ReadFunctionCode(c.dataType)) +
                         " start " + std::to_string(c.startRegister));
            Peer peer(link, c.slaveId);
            ASSERT_TRUE(peer.ready());
            ReadRequest request;
            request.dataType = c.dataType;
            request.protocol = c.protocol;
            request.slaveId = c.slaveId;
            request.startRegister = c.startRegister;
            request.registerCount = c.count;
            std::uint16_t idSent = 0;
            const Bytes frame =
                Frame(link, c.slaveId, transactionNo, idSent, [&](std::span<std::uint8_t> out) {
                    return BuildReadRequest(out, request);
                });
            const std::size_t n = static_cast<std::size_t>(c.count);
            const std::size_t expected = link == LinkKind::Serial ? 2 * n + 5 : 2 * n + 9;
            Peer::Seen seen;
            const Bytes reply = peer.exchange(frame, expected, seen);
            EXPECT_EQ(seen.function, ReadFunctionCode(c.dataType));
            EXPECT_EQ(seen.address, c.wireAddress);
            EXPECT_EQ(seen.fourth, c.count);
            ASSERT_EQ(reply.size(), expected);

            const Bytes message = peer.unwrap(reply, idSent);
            EXPECT_FALSE(CheckReadReply(message, request, link).has_value());
            ValueTexts values = zeroTexts();
            ExtractValues(message, request, Decimal, values);
            const bool input = c.dataType == InputRegister;
            for (int k = 0; k < std::min(c.count, kValueRows); ++k) {
                const int address = c.wireAddress + k;
                const std::uint16_t content =
                    input ? InputContent(address) : HoldingContent(address);
                EXPECT_EQ(values[static_cast<std::size_t>(k)], std::to_string(content)) << k;
            }
        }
    }
}

struct WriteCase
{
    DataType dataType;
    ProtocolVariant protocol;
    int slaveId;
    int startRegister;
    std::vector<std::int32_t> values;
    int wireAddress;
};

TEST(LibmodbusFrames, WriteRequestsAreStoredAndEchoesPass)
{
    // clang-format off
    const WriteCase cases[] = {
        {HoldingRegister,       Modbus, 1,  100, {1, -1, 40000},                  99},
        {HoldingRegister,       Jbus,   1,  100, {1, -1, 40000},                  100},
        {HoldingRegister,       Modbus, 5,  1,   {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0},
        {SingleHoldingRegister, Modbus, 17, 2,   {3},                             1},
        {SingleHoldingRegister, Jbus,   17, 2,   {-32768},                        2},
        {SingleHoldingRegister, Modbus, 9,  250, {65535},                         249},
    };
    // clang-format on
    std::uint16_t transactionNo = 1;
    for (const LinkKind link : {LinkKind::Serial, LinkKind::Tcp}) {
        for (const WriteCase& c : cases) {
            const bool single = c.dataType == SingleHoldingRegister;
            SCOPED_TRACE(Name(link) + (single ? " function 06" : " function 16") + " start " +
                         std::to_string(c.startRegister));
            Peer peer(link, c.slaveId);
            ASSERT_TRUE(peer.ready());
            WriteRequest request;
            request.dataType = c.dataType;
            request.protocol = c.protocol;
            request.slaveId = c.slaveId;
            request.startRegister = c.startRegister;
            request.registerCount = static_cast<int>(c.values.size());
            std::copy(c.values.begin(), c.values.end(), request.values.begin());
            std::uint16_t idSent = 0;
            const Bytes frame =
                Frame(link, c.slaveId, transactionNo, idSent, [&](std::span<std::uint8_t> out) {
                    return RegisterWriteRequest(out, request);
                });
            Peer::Seen seen;
            const Bytes reply = peer.exchange(frame, link == LinkKind::Serial ? 8 : 12, seen);
            EXPECT_EQ(seen.function, single ? 0x06 : 0x10);
            EXPECT_EQ(seen.address, c.wireAddress);
            EXPECT_EQ(seen.fourth, single ? LowWord(c.values[0]) : request.registerCount);
            ASSERT_EQ(reply.size(), link == LinkKind::Serial ? 8u : 12u);

            for (std::size_t k = 0; k < c.values.size(); ++k) {
                const auto address = static_cast<std::size_t>(c.wireAddress) + k;
                EXPECT_EQ(peer.mapping().tab_registers[address], LowWord(c.values[k])) << k;
            }
            EXPECT_EQ(peer.mapping()
                          .tab_registers[static_cast<std::size_t>(c.wireAddress) + c.values.size()],
                      HoldingContent(c.wireAddress + static_cast<int>(c.values.size())))
                << "wrote beyond the count";
            EXPECT_FALSE(WriteEcho(peer.unwrap(reply, idSent), request, link).has_value());
        }
    }
}

TEST(LibmodbusFrames, ExceptionRepliesAreRecognised)
{
    for (const LinkKind link : {LinkKind::Serial, LinkKind::Tcp}) {
        SCOPED_TRACE(Name(link));
        std::uint16_t transactionNo = 40;
        std::uint16_t idSent = 0;
        Peer::Seen seen;

        Peer reader(link, 3);
        ASSERT_TRUE(reader.ready());
        ReadRequest read;
        read.slaveId = 3;
        read.startRegister = kRegisters + 1; // one past the mapping: illegal data address
        read.registerCount = 2;
        const Bytes readReply = reader.exchange(
            Frame(link,
                  3,
                  transactionNo,
                  idSent,
                  [&](std::span<std::uint8_t> out) { return BuildReadRequest(out, read); }),
            link == LinkKind::Serial ? 9 : 13,
            seen);
        // Shorter than the reply asked for, which is how the transactions tell it apart.
        ASSERT_EQ(readReply.size(), link == LinkKind::Serial ? 5u : 9u);
        const Bytes readMessage = reader.unwrap(readReply, idSent);
        ASSERT_TRUE(IsExceptionReply(readMessage));
        EXPECT_EQ(ExceptionText(readMessage[2]), "Exception response received - type 2");

        Peer writer(link, 3);
        ASSERT_TRUE(writer.ready());
        WriteRequest write;
        write.dataType = SingleHoldingRegister;
        write.slaveId = 3;
        write.startRegister = kRegisters + 1;
        const Bytes writeReply = writer.exchange(
            Frame(link,
                  3,
                  transactionNo,
                  idSent,
                  [&](std::span<std::uint8_t> out) { return RegisterWriteRequest(out, write); }),
            link == LinkKind::Serial ? 8 : 12,
            seen);
        ASSERT_EQ(writeReply.size(), link == LinkKind::Serial ? 5u : 9u);
        const Bytes writeMessage = writer.unwrap(writeReply, idSent);
        ASSERT_TRUE(IsExceptionReply(writeMessage));
        EXPECT_EQ(writeMessage[1], 0x86);
        EXPECT_EQ(link == LinkKind::Serial
                      ? formatText(kWriteException, writeMessage[2])
                      : formatText(kSlavePrefix, 3) + ExceptionText(writeMessage[2]),
                  link == LinkKind::Serial ? "Exception response form slave device - type 2"
                                           : "Slave ID 3 - Exception response received - type 2");
    }
}

} // namespace
} // namespace quarin
