#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transactions/transaction_checks.h"

namespace quarin::test {

namespace {

constexpr char kNoResponse[] = "Timeout waiting on slave device to respond";
constexpr char kIncomplete[] =
    "Timeout waiting on slave device to send a complete/correct response";
constexpr char kWriteFunction[] = "Slave device responded with wrong response function code";
constexpr char kStartEcho[] =
    "Start register from slave device does not match what was requested to be written";
constexpr char kValueEcho[] =
    "Reply data from slave device does not match what was requested to be written";
constexpr char kQuantityEcho[] =
    "Reply number of registers from slave device does not match what was requested to be written";

std::string valueRange(const char* ordinal)
{
    return std::string(ordinal) + " value must be in the range from -32768 to 65535";
}

// COM1, a time-out of 1500 ms, one holding register from register 1 of slave 1, value 1.
void serialConsole(FakeConsole& c)
{
    serialAt1500(c);
    c.type(ControlId::Value, "1", 0);
}

const Bytes kEcho = withCrc("01 10 00 00 00 01");

struct Outcome
{
    std::uint32_t lastMs; // 0: untimed
    bool portOpened;
    int clears;
    bool closedAtBox; // the port was closed before the box went up
};

constexpr Outcome kNotOpened{0, false, 0, true};
constexpr Outcome kUntimed{0, true, 0, false};
constexpr Outcome kPortFailed{0, true, 1, false};
constexpr Outcome kTimedOut{1500, true, 1, true};
constexpr Outcome kBadCheck{3, true, 0, false};

using FailureRow = FailureRowOf<Outcome>;

std::vector<FailureRow> failureRows()
{
    return {
        {"start register 0", typing(ControlId::StartRegister, "0"), kStart, kNotOpened},
        {"start register 65536", typing(ControlId::StartRegister, "65536"), kStart, kNotOpened},
        {"start register before a bad value",
         both(typing(ControlId::StartRegister, "0"), typingValues({"70000"})),
         kStart,
         kNotOpened},
        {"count 0", typing(ControlId::RegisterCount, "0"), kCount10, kNotOpened},
        {"count 11", typing(ControlId::RegisterCount, "11"), kCount10, kNotOpened},
        {"first value -32769", typingValues({"-32769"}), valueRange("First"), kNotOpened},
        {"first value 65536", typingValues({"65536"}), valueRange("First"), kNotOpened},
        {"twenty digits", typingValues({"99999999999999999999"}), valueRange("First"), kNotOpened},
        {"twenty digits below zero",
         typingValues({"-99999999999999999999"}),
         valueRange("First"),
         kNotOpened},
        {"second value",
         both(typing(ControlId::RegisterCount, "2"), typingValues({"1", "-40000"})),
         valueRange("Second"),
         kNotOpened},
        {"ninth value",
         both(typing(ControlId::RegisterCount, "10"),
              typingValues({"1", "2", "3", "4", "5", "6", "7", "8", "70000", "99999"})),
         valueRange("Nineth"),
         kNotOpened},
        {"tenth value",
         both(typing(ControlId::RegisterCount, "10"),
              typingValues({"1", "2", "3", "4", "5", "6", "7", "8", "9", "65536"})),
         valueRange("Tenth"),
         kNotOpened},
        {"timeout 999", typing(ControlId::Timeout, "999"), kTimeout, kNotOpened},
        {"timeout 60001", typing(ControlId::Timeout, "60001"), kTimeout, kNotOpened},
        {"port held elsewhere", portHeldElsewhere, kCapture, kNotOpened},
        {"line settings refused", lineSettingsRefused, kInit, kUntimed},
        {"write fails", writeFails, kTx, kPortFailed},
        {"read fails", firstReadFails, kRx, kPortFailed},
        {"no reply", [](FakeConsole& c) { c.reads({}); }, kNoResponse, kTimedOut},
        {"exception",
         replying(withCrc("01 90 02")),
         "Exception response form slave device - type 2",
         kTimedOut},
        {"exception code above 127",
         replying(withCrc("01 90 FF")),
         "Exception response form slave device - type 255",
         kTimedOut},
        {"incomplete", replying(Bytes(kEcho.begin(), kEcho.begin() + 7)), kIncomplete, kTimedOut},
        {"ASCII exception", inAscii(replying(asciiFrame("01 90 02"))), kIncomplete, kTimedOut},
        // A line that echoes and a slave that says nothing: the echo is not taken for the reply.
        {"silent slave on an echoing line",
         [](FakeConsole& c) {
             c.select(ControlId::Wiring, TwoWireEcho);
             c.reads({withCrc("01 10 00 00 00 01 02 00 01")});
         },
         kNoResponse,
         {3 + 1500, true, 1, true}},
        {"bad CRC", replying(hexBytes("01 10 00 00 00 01 00 00")), kCrc, kBadCheck},
        {"bad LRC",
         inAscii(replying(textBytes(":011000000001EF\r\n"))), // EE would be right
         kCrc,
         kBadCheck},
        {"other slave answers", replying(withCrc("02 10 00 00 00 01")), kSlaveId, kUntimed},
        {"slave 300 answered from 44",
         both(typing(ControlId::SlaveId, "300"), replying(withCrc("2C 10 00 00 00 01"))),
         kSlaveId,
         kUntimed},
        {"function", replying(withCrc("01 06 00 00 00 01")), kWriteFunction, kUntimed},
        {"exception of the full length",
         replying(withCrc("01 90 02 00 00 00")),
         kWriteFunction,
         kUntimed},
        {"start register", replying(withCrc("01 10 00 01 00 01")), kStartEcho, kUntimed},
        {"Jbus start register echoed less one",
         [](FakeConsole& c) {
             c.select(ControlId::Protocol, Jbus);
             c.type(ControlId::StartRegister, "100");
             c.reads({withCrc("01 10 00 63 00 01")});
         },
         kStartEcho,
         kUntimed},
        {"single register value",
         [](FakeConsole& c) {
             c.dataType(SingleHoldingRegister);
             c.values({"3"});
             c.reads({withCrc("01 06 00 00 00 04")});
         },
         kValueEcho,
         kUntimed},
        {"quantity with both bytes compared",
         [](FakeConsole& c) {
             c.type(ControlId::RegisterCount, "3");
             c.values({"1", "2", "3"});
             c.reads({withCrc("01 10 00 00 01 03")});
         },
         kQuantityEcho,
         kUntimed},
    };
}

} // namespace

TEST(SerialWriteFailures, EachFailureShowsItsBoxWithThePortClosedOnlyAfterAShortReply)
{
    for (const FailureRow& row : failureRows()) {
        for (SampleMode mode : {Manual, ScheduledWithLogging}) {
            SCOPED_TRACE(std::string(row.name) + (mode == Manual ? "" : ", logging mode"));
            FakeConsole c;
            serialConsole(c);
            c.select(ControlId::SampleMode, mode);
            row.setup(c);
            bool closedAtBox = true;
            watchPortAtBox(c, closedAtBox);
            c.write();

            // The write's own box in every sample mode; never logged or counted.
            ASSERT_NO_FATAL_FAILURE(expectOneErrorBox(c, row.text));
            EXPECT_EQ(c.dlg.stats().errorCount, 0u);
            EXPECT_EQ(c.dlg.stats().transactionCount, 0u);
            EXPECT_FALSE(c.dlg.scheduleRunning());
            EXPECT_EQ(closedAtBox, row.after.closedAtBox);
            EXPECT_EQ(c.dlg.stats().lastMs, row.after.lastMs);
            expectIdle(c);
            EXPECT_GE(c.view.maxBusyDepth(), 1);
            ASSERT_NO_FATAL_FAILURE(
                expectPortAfterFailure(c, row.after.portOpened, row.after.clears));
            // Settings are never changed by a failure.
            EXPECT_EQ(c.dlg.settings().m_sampleMode, mode);
        }
    }
}

TEST(SerialWriteFailures, WhatTheScreenShowsAfterEachKindOfFailure)
{
    struct Row
    {
        const char* name;
        std::function<void(FakeConsole&)> setup;
        const char* time;
        std::vector<std::string> labels;
    };

    // A first write from register 1 leaves time 3 and Modbus labels on the screen; the second
    // one, of two registers from register 7, fails.
    const std::vector<std::string> before = {"400001", "0", "0", "0", "0", "0", "0", "0", "0", "0"};
    const Row rows[] = {
        {"untimed echo failure", replying(withCrc("02 10 00 06 00 02")), "3", before},
        {"untimed value failure", typingValues({"1", "70000"}), "3", before},
        {"timeout out of range",
         typing(ControlId::Timeout, "999"),
         "0",
         {"7", "8", "0", "0", "0", "0", "0", "0", "0", "0"}},
        {"timed failure",
         [](FakeConsole& c) { c.reads({}); },
         "1500",
         {"7", "8", "0", "0", "0", "0", "0", "0", "0", "0"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        serialConsole(c);
        c.reads({kEcho});
        c.write();
        ASSERT_TRUE(c.view.boxTexts().empty());
        ASSERT_EQ(c.view.text(ControlId::TransactionTime), "3");

        c.type(ControlId::StartRegister, "7");
        c.type(ControlId::RegisterCount, "2");
        c.values({"1", "2"});
        c.reads({withCrc("01 10 00 06 00 02")});
        row.setup(c);
        c.write();
        ASSERT_EQ(c.view.boxTexts().size(), 1u);
        EXPECT_EQ(c.view.text(ControlId::TransactionTime), row.time);
        EXPECT_EQ(c.shownLabels(), row.labels);
    }
}

TEST(SerialWriteFailures, ADataTypeWithoutWritesDoesNothing)
{
    for (DataType type : {InputRegister, ScatteredRead, DeviceIdentification}) {
        SCOPED_TRACE(type);
        FakeConsole c;
        serialConsole(c);
        c.dataType(type);
        c.write();
        EXPECT_TRUE(c.view.boxTexts().empty());
        EXPECT_TRUE(c.fp.serial.opened.empty());
        EXPECT_EQ(c.view.maxBusyDepth(), 0);
        EXPECT_FALSE(c.dlg.busy());
    }
}

// ---------------------------------------------------------------------------------------------
// Successful writes

namespace {

struct SuccessRow
{
    const char* name;
    std::function<void(FakeConsole&)> setup;
    Bytes request;
    Bytes echo;
};

} // namespace

TEST(SerialWriteSuccess, SendsTheFrameAndAcceptsTheEcho)
{
    const SuccessRow rows[] = {
        {"three registers from 100",
         [](FakeConsole& c) {
             c.type(ControlId::StartRegister, "100");
             c.type(ControlId::RegisterCount, "3");
             c.values({"1", "-1", "40000"});
         },
         hexBytes("01 10 00 63 00 03 06 00 01 FF FF 9C 40 40 25"),
         hexBytes("01 10 00 63 00 03 70 16")},
        {"Jbus sends the register number",
         [](FakeConsole& c) {
             c.select(ControlId::Protocol, Jbus);
             c.type(ControlId::StartRegister, "100");
             c.type(ControlId::RegisterCount, "3");
             c.values({"1", "-1", "40000"});
         },
         withCrc("01 10 00 64 00 03 06 00 01 FF FF 9C 40"),
         withCrc("01 10 00 64 00 03")},
        {"single register",
         [](FakeConsole& c) {
             c.dataType(SingleHoldingRegister);
             c.type(ControlId::SlaveId, "17");
             c.type(ControlId::StartRegister, "2");
             c.values({"3"});
         },
         hexBytes("11 06 00 01 00 03 9A 9B"),
         hexBytes("11 06 00 01 00 03 9A 9B")},
        {"ASCII single register",
         [](FakeConsole& c) {
             c.dlg.selectAscii();
             c.dataType(SingleHoldingRegister);
             c.select(ControlId::DisplayMode, Hex);
             c.values({"1234"});
         },
         textBytes(":010600001234B3\r\n"),
         textBytes(":010600001234B3\r\n")},
        {"ASCII three registers",
         [](FakeConsole& c) {
             c.dlg.selectAscii();
             c.type(ControlId::RegisterCount, "3");
             c.values({"1", "2", "3"});
         },
         asciiFrame("01 10 00 00 00 03 06 00 01 00 02 00 03"),
         asciiFrame("01 10 00 00 00 03")},
        {"ten registers",
         both(typing(ControlId::RegisterCount, "10"),
              typingValues({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"})),
         withCrc("01 10 00 00 00 0A 14 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09 00 "
                 "0A"),
         withCrc("01 10 00 00 00 0A")},
        {"start register 65535",
         typing(ControlId::StartRegister, "65535"),
         withCrc("01 10 FF FE 00 01 02 00 01"),
         withCrc("01 10 FF FE 00 01")},
        {"single register of -1 echoed as FFFF",
         ofType(SingleHoldingRegister, typingValues({"-1"})),
         withCrc("01 06 00 00 FF FF"),
         withCrc("01 06 00 00 FF FF")},
        {"single register of 65535",
         ofType(SingleHoldingRegister, typingValues({"65535"})),
         withCrc("01 06 00 00 FF FF"),
         withCrc("01 06 00 00 FF FF")},
        {"single register of Hex FFFF",
         [](FakeConsole& c) {
             c.dataType(SingleHoldingRegister);
             c.select(ControlId::DisplayMode, Hex);
             c.values({"FFFF"});
         },
         withCrc("01 06 00 00 FF FF"),
         withCrc("01 06 00 00 FF FF")},
        {"echo on a two-wire line",
         [](FakeConsole& c) { c.select(ControlId::Wiring, TwoWireEcho); },
         withCrc("01 10 00 00 00 01 02 00 01"),
         kEcho},
    };
    for (const SuccessRow& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        serialConsole(c);
        row.setup(c);
        const bool twoWire = c.view.index(ControlId::Wiring) == TwoWireEcho;
        c.reads(twoWire ? std::vector<Bytes>{row.request, row.echo} : std::vector<Bytes>{row.echo});
        c.write();

        EXPECT_TRUE(c.view.boxTexts().empty()) << c.view.boxTexts().front();
        ASSERT_NO_FATAL_FAILURE(expectSerialSentOnce(c, row.request));
        const SerialLog& port = *c.fp.serial.last();
        const std::size_t replyLength = row.echo.size() == 17 ? 16 : 8;
        const std::vector<std::size_t> readSizes =
            twoWire ? std::vector<std::size_t>{row.request.size(), replyLength}
                    : std::vector<std::size_t>{replyLength};
        EXPECT_EQ(port.readSizes, readSizes);
        EXPECT_TRUE(port.closed);
        EXPECT_EQ(port.clearErrors, 0);
        EXPECT_TRUE(port.dtr);
        expectTime(c, twoWire ? 6u : 3u);
        EXPECT_EQ(c.fp.clock.sleeps(), std::vector<int>{25});
        expectIdle(c);
    }
}

TEST(SerialWriteSuccess, ValueTextsAreReadInTheDisplayMode)
{
    struct Row
    {
        DisplayMode mode;
        const char* text;
        const char* sent;
    };

    const Row rows[] = {
        {Decimal, "65535", "FF FF"},
        {Decimal, "-32768", "80 00"},
        {Decimal, "32768", "80 00"},
        {Decimal, "-1", "FF FF"},
        {Decimal, "abc", "00 00"},
        {Decimal, "12abc", "00 0C"},
        {Decimal, "  +7", "00 07"},
        {Decimal, "", "00 00"},
        {Decimal, "0x10", "00 00"},
        {Hex, "FFFF", "FF FF"},
        {Hex, "ffff", "FF FF"},
        {Hex, "10000", "00 00"},
        {Hex, "12345", "23 45"},
        {Hex, "0x7fff", "7F FF"},
        {Hex, "8000", "80 00"},
        {Hex, "-1", "FF FF"},
        {Hex, "zz", "00 00"},
        {Hex, "FFFFFFFFFF", "FF FF"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.mode == Hex ? "hex " : "decimal ") + "'" + row.text + "'");
        FakeConsole c;
        serialConsole(c);
        c.dataType(SingleHoldingRegister);
        c.select(ControlId::DisplayMode, row.mode);
        c.values({row.text});
        const Bytes request = withCrc("01 06 00 00 " + std::string(row.sent));
        c.reads({request});
        c.write();
        EXPECT_TRUE(c.view.boxTexts().empty()) << c.view.boxTexts().front();
        ASSERT_EQ(c.fp.serial.opened.size(), 1u);
        EXPECT_EQ(toHex(c.fp.serial.last()->writes.at(0)), toHex(request));
        // The text itself stays as typed.
        EXPECT_EQ(c.view.text(ControlId::Value, 0), row.text);
    }
}

TEST(SerialWriteSuccess, OnlyTheSuccessOfTheSendIsExamined)
{
    FakeConsole c;
    serialConsole(c);
    c.fp.serial.script.writeCount = 3;
    c.reads({kEcho});
    c.write();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.dlg.stats().lastMs, 3u);
}

TEST(SerialWriteSuccess, ValuesBeyondTheCountAreNeitherCheckedNorSentAndShowZero)
{
    FakeConsole c;
    serialConsole(c);
    c.type(ControlId::RegisterCount, "3");
    c.values({"1", "2", "3", "70000", "abc", "-99999", "7", "8", "9", "10"});
    c.reads({withCrc("01 10 00 00 00 03")});
    c.write();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(toHex(c.fp.serial.last()->writes.at(0)),
              toHex(withCrc("01 10 00 00 00 03 06 00 01 00 02 00 03")));
    EXPECT_EQ(c.shownValues(),
              (std::vector<std::string>{"1", "2", "3", "0", "0", "0", "0", "0", "0", "0"}));
}

TEST(SerialWriteSuccess, ABroadcastReadsNothing)
{
    for (WiringMode wiring : {FourWireNoEcho, TwoWireEcho}) {
        SCOPED_TRACE(wiring);
        FakeConsole c;
        serialConsole(c);
        c.select(ControlId::Wiring, wiring);
        c.type(ControlId::SlaveId, "0");
        c.type(ControlId::StartRegister, "5");
        c.write();
        EXPECT_TRUE(c.view.boxTexts().empty());
        ASSERT_EQ(c.fp.serial.opened.size(), 1u);
        EXPECT_EQ(toHex(c.fp.serial.last()->writes.at(0)),
                  toHex(withCrc("00 10 00 04 00 01 02 00 01")));
        EXPECT_TRUE(c.fp.serial.last()->readSizes.empty());
        EXPECT_EQ(c.dlg.stats().lastMs, 0u);
        EXPECT_EQ(c.shownLabels()[0], "400005");
    }
}

TEST(SerialWriteSuccess, PreSendDelayComesBeforeTheStartStamp)
{
    FakeConsole c;
    serialConsole(c);
    c.dlg.settings().m_preSendDelayMs = 40;
    c.reads({kEcho});
    c.write();
    EXPECT_EQ(c.fp.clock.sleeps(), (std::vector<int>{40, 25}));
    EXPECT_EQ(c.dlg.stats().lastMs, 3u);
}

TEST(SerialWriteSuccess, ConfiguresTheLineLikeTheRead)
{
    FakeConsole c;
    serialConsole(c);
    c.dlg.selectAscii();
    c.select(ControlId::Baud, 2);
    c.reads({asciiFrame("01 10 00 00 00 01")});
    c.write();
    EXPECT_TRUE(c.view.boxTexts().empty());
    const SerialLog& port = *c.fp.serial.last();
    EXPECT_EQ(port.line.baudRate, 4800);
    EXPECT_EQ(port.line.dataBits, 7);
    EXPECT_TRUE(port.line.evenParity);
    EXPECT_EQ(port.line.stopBits, 1);
    EXPECT_TRUE(port.purged);
}

TEST(SerialWriteLabels, AfterASuccessOnlyModbusRewritesTheLabels)
{
    struct Row
    {
        const char* name;
        std::function<void(FakeConsole&)> protocol;
        Bytes echo;
        std::vector<std::string> labels;
    };

    const Row rows[] = {
        {"Modbus",
         [](FakeConsole&) {},
         withCrc("01 10 00 06 00 02"),
         {"400007", "400008", "0", "0", "0", "0", "0", "0", "0", "0"}},
        {"Jbus",
         [](FakeConsole& c) {
             c.select(ControlId::Protocol, Jbus);
             c.dlg.showJbusLabels();
         },
         withCrc("01 10 00 07 00 02"),
         {"7", "8", "0", "0", "0", "0", "0", "0", "0", "0"}},
        {"ASCII",
         [](FakeConsole& c) { c.dlg.selectAscii(); },
         asciiFrame("01 10 00 06 00 02"),
         {"7", "8", "0", "0", "0", "0", "0", "0", "0", "0"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        serialConsole(c);
        row.protocol(c);
        c.type(ControlId::StartRegister, "7");
        c.type(ControlId::RegisterCount, "2");
        c.values({"1", "2"});
        c.reads({row.echo});
        c.write();
        EXPECT_TRUE(c.view.boxTexts().empty()) << c.view.boxTexts().front();
        EXPECT_EQ(c.shownLabels(), row.labels);
        EXPECT_EQ(c.recordLabels(), row.labels);
    }
}

} // namespace quarin::test
