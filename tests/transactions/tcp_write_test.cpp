#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transactions/transaction_checks.h"

namespace quarin::test {

namespace {

std::string slave1(const std::string& text)
{
    return "Slave ID 1 - " + text;
}

std::string recvRequest(int error)
{
    return slave1(winsockText("recv request of socket", error));
}

// TCP/IP to the address, value 1, and a slave that echoes.
void tcpConsole(FakeConsole& c, const std::string& address = "127.0.0.1")
{
    tcpAt1500(c, address);
    c.type(ControlId::Value, "1", 0);
}

void repair(FakeConsole& c)
{
    repairSockets(c.fp.sockets);
    c.type(ControlId::Address, "127.0.0.1");
    c.type(ControlId::Timeout, "1500");
    c.type(ControlId::SlaveId, "1");
    c.type(ControlId::StartRegister, "1");
    c.type(ControlId::RegisterCount, "1");
    c.dataType(HoldingRegister);
    c.values({"1", "0", "0", "0", "0", "0", "0", "0", "0", "0"});
}

struct Outcome
{
    std::uint32_t lastMs; // 0: untimed
    bool connected;       // the link afterwards
};

constexpr Outcome kKept{0, true};
constexpr Outcome kDropped{0, false};
constexpr Outcome kTimedKept{2, true};
constexpr Outcome kTimedDropped{2, false};

using FailureRow = FailureRowOf<Outcome>;

// Each row is the second write: the first one has opened the link and taken identifier 1.
std::vector<FailureRow> failureRows()
{
    return {
        {"start register 0", typing(ControlId::StartRegister, "0"), kStart, kKept},
        {"start register before the address",
         both(typing(ControlId::StartRegister, "0"), typing(ControlId::Address, "")),
         kStart,
         kKept},
        {"count 11", typing(ControlId::RegisterCount, "11"), kCount10, kKept},
        {"first value",
         typingValues({"-32769"}),
         "First value must be in the range from -32768 to 65535",
         kKept},
        {"ninth value",
         both(typing(ControlId::RegisterCount, "9"),
              typingValues({"1", "2", "3", "4", "5", "6", "7", "8", "65536"})),
         "Nineth value must be in the range from -32768 to 65535",
         kKept},
        {"empty address", typing(ControlId::Address, ""), kNoAddress, kKept},
        {"timeout 999", typing(ControlId::Timeout, "999"), kTimeout, kKept},
        {"timeout 60001", typing(ControlId::Timeout, "60001"), kTimeout, kKept},
        {"socket library will not start",
         [](FakeConsole& c) {
             c.type(ControlId::Address, "127.0.0.2");
             c.fp.sockets.startupFails = true;
         },
         kWinsock,
         kDropped},
        {"unknown host", typing(ControlId::Address, "plc-1"), kResolve, kDropped},
        {"connection refused",
         [](FakeConsole& c) {
             c.type(ControlId::Address, "127.0.0.2");
             c.fp.sockets.connectError = 111;
         },
         slave1("Winsock error occurred during connect attempt on socket - error = 111"),
         kDropped},
        {"never writable",
         [](FakeConsole& c) { c.fp.sockets.writableTimesOut = true; },
         slave1("Winsock error occurred during select of socket for writability - error = 0"),
         kDropped},
        {"send fails",
         [](FakeConsole& c) { c.fp.sockets.sendError = 32; },
         slave1("Winsock error occurred during send request - error = 32"),
         kDropped},
        {"partial send",
         [](FakeConsole& c) { c.fp.sockets.sendCount = 11; },
         slave1("Winsock error occurred during send request - error = 0"),
         kDropped},
        {"no reply",
         answering({silence()}),
         slave1("Winsock error occurred during select of socket for readability - error = 0"),
         kDropped},
        {"slave closes",
         answering({closeStep()}),
         slave1("Socket has been closed during recv operation"),
         kTimedDropped},
        {"receive fails", answering({failStep(104)}), recvRequest(104), kTimedDropped},
        {"echo in two pieces",
         answering({data("00 02 00 00 00 06 01"), data("10 00 00 00 01")}),
         recvRequest(0),
         kTimedDropped},
        {"too long",
         answering("00 02 00 00 00 07 01 10 00 00 00 01 00"),
         recvRequest(0),
         kTimedDropped},
        {"exception of nine bytes",
         answering("00 02 00 00 00 03 01 90 02"),
         slave1("Exception response received - type 2"),
         kTimedKept},
        {"exception code above 127",
         answering("00 02 00 00 00 03 01 90 FE"),
         slave1("Exception response received - type 254"),
         kTimedKept},
        {"exception flag in eight bytes",
         answering("00 02 00 00 00 02 01 90"),
         recvRequest(0),
         kTimedDropped},
        {"transaction identifier",
         answering("00 01 00 00 00 06 01 10 00 00 00 01"),
         slave1("Response has invalid transaction number"),
         kKept},
        {"unit identifier",
         answering("00 02 00 00 00 06 02 10 00 00 00 01"),
         slave1("Slave ID in reponse does not match what was sent"),
         kKept},
        {"slave 300 answered from 44",
         both(typing(ControlId::SlaveId, "300"), answering("00 02 00 00 00 06 2C 10 00 00 00 01")),
         "Slave ID 300 - Slave ID in reponse does not match what was sent",
         kKept},
        {"function",
         answering("00 02 00 00 00 06 01 06 00 00 00 01"),
         slave1("Response has wrong function code"),
         kKept},
        {"exception of the full length",
         answering("00 02 00 00 00 06 01 90 02 00 00 00"),
         slave1("Response has wrong function code"),
         kKept},
        {"start register",
         answering("00 02 00 00 00 06 01 10 00 01 00 01"),
         slave1("Start register does not match what was requested to be written"),
         kKept},
        {"single register value",
         [](FakeConsole& c) {
             c.dataType(SingleHoldingRegister);
             c.values({"3"});
             c.replyWith("00 02 00 00 00 06 01 06 00 00 00 04");
         },
         slave1("Reply data does not match what was requested to be written"),
         kKept},
        {"quantity with both bytes compared",
         [](FakeConsole& c) {
             c.type(ControlId::RegisterCount, "3");
             c.values({"1", "2", "3"});
             c.replyWith("00 02 00 00 00 06 01 10 00 00 01 03");
         },
         slave1("Reply number of registers does not match what was requested to be written"),
         kKept},
    };
}

} // namespace

TEST(TcpWriteFailures, EachFailureShowsItsOwnBoxAndKeepsOrDropsTheLink)
{
    for (const FailureRow& row : failureRows()) {
        for (SampleMode mode : {Manual, ScheduledWithLogging}) {
            SCOPED_TRACE(std::string(row.name) + (mode == Manual ? "" : ", logging mode"));
            FakeConsole c;
            tcpConsole(c);
            c.select(ControlId::SampleMode, mode);
            c.write();
            ASSERT_TRUE(c.view.boxTexts().empty());
            ASSERT_TRUE(c.dlg.connected());

            row.setup(c);
            c.write();
            ASSERT_NO_FATAL_FAILURE(expectOneErrorBox(c, row.text));
            EXPECT_EQ(c.dlg.stats().errorCount, 0u);
            EXPECT_FALSE(c.dlg.scheduleRunning());
            EXPECT_EQ(c.dlg.stats().lastMs, row.after.lastMs);
            EXPECT_EQ(c.dlg.connected(), row.after.connected);
            EXPECT_EQ(c.fp.sockets.open, row.after.connected ? 1 : 0);
            EXPECT_EQ(c.fp.sockets.cleanups, c.fp.sockets.startups - (row.after.connected ? 1 : 0));
            expectIdle(c);
            EXPECT_TRUE(c.fp.clock.sleeps().empty());
            expectNextConnectsOnlyAfterADrop(c, row.after.connected, [](FakeConsole& d) {
                repair(d);
                d.write();
            });
        }
    }
}

TEST(TcpWriteFailures, WhatTheScreenShowsAfterEachKindOfFailure)
{
    struct Row
    {
        const char* name;
        std::function<void(FakeConsole&)> setup;
        const char* time;
        bool labelsKept;
    };

    const Row rows[] = {
        {"refused echo", answering("00 02 00 00 00 06 01 10 00 07 00 01"), "2", true},
        {"refused value", typingValues({"1", "-40000"}), "2", true},
        {"timeout out of range", typing(ControlId::Timeout, "999"), "0", false},
        {"reply of the wrong length", answering({closeStep()}), "2", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpConsole(c);
        c.type(ControlId::StartRegister, "7");
        c.type(ControlId::RegisterCount, "2");
        c.values({"1", "2"});
        c.write();
        ASSERT_TRUE(c.view.boxTexts().empty());
        const std::vector<std::string> before = c.shownLabels();
        ASSERT_EQ(before[0], "400007");
        ASSERT_EQ(before[1], "400008");

        c.fp.clock.advance(1); // so the time of a timed failure differs from the first one
        row.setup(c);
        c.write();
        ASSERT_EQ(c.view.boxTexts().size(), 1u);
        EXPECT_EQ(c.view.text(ControlId::TransactionTime), row.time);
        EXPECT_EQ(c.shownLabels(), row.labelsKept ? before : allZero());
    }
}

TEST(TcpWriteFailures, ADataTypeWithoutWritesDoesNothing)
{
    for (DataType type : {InputRegister, ScatteredRead, DeviceIdentification}) {
        SCOPED_TRACE(type);
        FakeConsole c;
        tcpConsole(c);
        c.dataType(type);
        c.write();
        EXPECT_TRUE(c.view.boxTexts().empty());
        EXPECT_TRUE(c.fp.sockets.connects.empty());
        EXPECT_EQ(c.dlg.mbapTransactionNo(), 1);
        EXPECT_EQ(c.view.maxBusyDepth(), 0);
        EXPECT_FALSE(c.dlg.busy());
    }
}

// ---------------------------------------------------------------------------------------------
// Successful writes

TEST(TcpWriteSuccess, SendsTheFrameAndAcceptsTheEcho)
{
    struct Row
    {
        const char* name;
        std::function<void(FakeConsole&)> setup;
        const char* request;
    };

    const Row rows[] = {
        {"three registers from 100",
         [](FakeConsole& c) {
             c.type(ControlId::StartRegister, "100");
             c.type(ControlId::RegisterCount, "3");
             c.values({"1", "-1", "40000"});
         },
         "00 01 00 00 00 0D 01 10 00 63 00 03 06 00 01 FF FF 9C 40"},
        {"one register", [](FakeConsole&) {}, "00 01 00 00 00 09 01 10 00 00 00 01 02 00 01"},
        {"single register",
         [](FakeConsole& c) {
             c.dataType(SingleHoldingRegister);
             c.type(ControlId::SlaveId, "17");
             c.type(ControlId::StartRegister, "2");
             c.values({"3"});
         },
         "00 01 00 00 00 06 11 06 00 01 00 03"},
        {"single register in hex",
         [](FakeConsole& c) {
             c.dataType(SingleHoldingRegister);
             c.select(ControlId::DisplayMode, Hex);
             c.values({"FFFF"});
         },
         "00 01 00 00 00 06 01 06 00 00 FF FF"},
        {"ten registers",
         both(typing(ControlId::RegisterCount, "10"),
              typingValues({"1", "2", "3", "4", "5", "6", "7", "8", "9", "-32768"})),
         "00 01 00 00 00 1B 01 10 00 00 00 0A 14 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 "
         "00 09 80 00"},
        {"start register 65535",
         typing(ControlId::StartRegister, "65535"),
         "00 01 00 00 00 09 01 10 FF FE 00 01 02 00 01"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpConsole(c);
        row.setup(c);
        c.write();
        EXPECT_TRUE(c.view.boxTexts().empty()) << c.view.boxTexts().front();
        ASSERT_NO_FATAL_FAILURE(expectTcpSentOnce(c, row.request));
        expectTime(c, 2u);
        EXPECT_TRUE(c.dlg.connected());
        EXPECT_TRUE(c.fp.clock.sleeps().empty()) << "no pause after a TCP write";
        expectIdle(c);
    }
}

TEST(TcpWriteSuccess, ValuesBeyondTheCountShowZeroAndTheLabelsTakeModbusForm)
{
    FakeConsole c;
    tcpConsole(c);
    c.type(ControlId::StartRegister, "7");
    c.type(ControlId::RegisterCount, "2");
    c.values({"5", "6", "70000", "x", "7", "8", "9", "10", "11", "12"});
    c.write();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.shownValues(),
              (std::vector<std::string>{"5", "6", "0", "0", "0", "0", "0", "0", "0", "0"}));
    EXPECT_EQ(
        c.shownLabels(),
        (std::vector<std::string>{"400007", "400008", "0", "0", "0", "0", "0", "0", "0", "0"}));
}

TEST(TcpWriteSuccess, ABroadcastSendsAndReadsNothing)
{
    FakeConsole c;
    tcpConsole(c);
    c.type(ControlId::SlaveId, "0");
    c.type(ControlId::StartRegister, "5");
    c.fp.sockets.slave = nullptr;
    c.write();
    EXPECT_TRUE(c.view.boxTexts().empty());
    ASSERT_NO_FATAL_FAILURE(expectTcpSentOnce(c, "00 01 00 00 00 09 00 10 00 04 00 01 02 00 01"));
    EXPECT_EQ(c.fp.sockets.waitSeconds, std::vector<int>{1}) << "the write wait only";
    EXPECT_EQ(c.dlg.stats().lastMs, 0u);
    EXPECT_EQ(c.shownLabels()[0], "400005");
    EXPECT_TRUE(c.dlg.connected());
}

TEST(TcpWriteSuccess, WritesShareTheConnectionAndTakeConsecutiveIdentifiers)
{
    FakeConsole c;
    tcpConsole(c);
    c.write();
    c.write();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.fp.sockets.connects.size(), 1u);
    ASSERT_EQ(c.fp.sockets.sent.size(), 2u);
    EXPECT_EQ(requestId(c.fp.sockets.sent[0]), 1);
    EXPECT_EQ(requestId(c.fp.sockets.sent[1]), 2);
}

TEST(TcpWriteSuccess, IdentifiersAreComparedUnsignedAndWrapAfter65535)
{
    FakeConsole c;
    tcpConsole(c);
    const std::vector<int> probes = {0x0080, 0xFF00, 0xFFFF, 0x10000};
    std::vector<std::uint16_t> accepted;
    for (int n = 1; n <= probes.back(); ++n) {
        const bool probe = std::find(probes.begin(), probes.end(), n) != probes.end();
        // Failed sends use identifiers up at the least cost.
        if (probe) {
            c.fp.sockets.sendError.reset();
        } else {
            c.fp.sockets.sendError = 32;
        }
        c.write();
        if (probe) {
            const std::uint16_t id = requestId(c.fp.sockets.sent.back());
            ASSERT_EQ(id, n & 0xFFFF);
            if (c.view.boxTexts().empty()) {
                accepted.push_back(id);
            }
        }
        c.view.clearBoxes();
    }
    EXPECT_EQ(accepted, (std::vector<std::uint16_t>{0x0080, 0xFF00, 0xFFFF, 0x0000}));
    EXPECT_EQ(c.dlg.mbapTransactionNo(), 1);
}

TEST(TcpWriteSuccess, CloseAfterReplyClosesOnAnyTwelveByteReply)
{
    struct Row
    {
        const char* name;
        std::vector<SocketStep> reply;
        bool closed;
    };

    const Row rows[] = {
        {"accepted", {data("00 01 00 00 00 06 01 10 00 00 00 01")}, true},
        {"refused identifier", {data("00 07 00 00 00 06 01 10 00 00 00 01")}, true},
        {"refused unit", {data("00 01 00 00 00 06 02 10 00 00 00 01")}, true},
        {"exception", {data("00 01 00 00 00 03 01 90 02")}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpConsole(c, "localhost");
        c.fp.sockets.hosts["localhost"] = {"127.0.0.1"};
        c.dlg.settings().m_closeAfterReply = 1;
        c.replyWith(row.reply);
        c.write();
        EXPECT_EQ(c.dlg.connected(), !row.closed);
        c.write();
        EXPECT_EQ(c.fp.sockets.connects.size(), row.closed ? 2u : 1u);
        EXPECT_EQ(c.fp.programs.started.size(), row.closed ? 2u : 1u);
        EXPECT_EQ(c.fp.clock.sleeps(), std::vector<int>(row.closed ? 2 : 1, 1000));
    }
}

} // namespace quarin::test
