#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "transactions/transaction_checks.h"

namespace quarin::test {

namespace {

constexpr char kNoResponse[] = "Timeout waiting on a response";
constexpr char kFragment[] = "Fragment received, timeout waiting on a complete/correct response";

// COM1, a time-out of 1500 ms, one holding register from register 1 of slave 1, and values on
// the screen that the read must replace.
void serialConsole(FakeConsole& c)
{
    serialAt1500(c);
    staleValues(c);
}

enum class Road
{
    Box,   // the transaction's own box, in every sample mode
    Report // reportFailure: a box in Manual, a log line and a count in the logging mode
};

struct Outcome
{
    Road road;
    std::uint32_t lastMs; // 0: untimed
    bool portOpened;
    int clears; // pending port errors cleared before the close
};

constexpr Outcome kNotOpened{Road::Box, 0, false, 0};
constexpr Outcome kLineRefused{Road::Box, 0, true, 0};
constexpr Outcome kPortFailed{Road::Box, 0, true, 1};
constexpr Outcome kTimedOut{Road::Report, 1500, true, 1};
constexpr Outcome kCutShort{Road::Report, 1500, true, 0};
constexpr Outcome kBadCheck{Road::Report, 3, true, 0};
constexpr Outcome kUntimed{Road::Report, 0, true, 0};

using FailureRow = FailureRowOf<Outcome>;

const Bytes kGoodReply = withCrc("01 03 02 00 0A");

std::vector<FailureRow> failureRows()
{
    auto bytesOf = [](Bytes bytes, std::size_t n) {
        return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n));
    };
    return {
        {"scattered count 0",
         ofType(ScatteredRead, typing(ControlId::RegisterCount, "0")),
         kCount100,
         kNotOpened},
        {"scattered count 101",
         ofType(ScatteredRead, typing(ControlId::RegisterCount, "101")),
         kCount100,
         kNotOpened},
        {"holding count 0", typing(ControlId::RegisterCount, "0"), kCount125, kNotOpened},
        {"input count 126",
         ofType(InputRegister, typing(ControlId::RegisterCount, "126")),
         kCount125,
         kNotOpened},
        {"identification count 126",
         ofType(DeviceIdentification, typing(ControlId::RegisterCount, "126")),
         kCount125,
         kNotOpened},
        {"timeout 999", typing(ControlId::Timeout, "999"), kTimeout, kNotOpened},
        {"timeout 60001", typing(ControlId::Timeout, "60001"), kTimeout, kNotOpened},
        {"port held elsewhere", portHeldElsewhere, kCapture, kNotOpened},
        {"line settings refused", lineSettingsRefused, kInit, kLineRefused},
        {"write fails", writeFails, kTx, kPortFailed},
        {"short write",
         [](FakeConsole& c) { c.fp.serial.script.writeCount = 7; },
         kTx,
         kPortFailed},
        {"reply read fails", firstReadFails, kRx, kPortFailed},
        {"no reply", [](FakeConsole& c) { c.reads({}); }, kNoResponse, kTimedOut},
        {"exception",
         replying(withCrc("01 83 02")),
         "Exception response received - type 2",
         kTimedOut},
        {"exception code above 127",
         replying(withCrc("01 83 FE")),
         "Exception response received - type 254",
         kTimedOut},
        {"fragment",
         [=](FakeConsole& c) { c.reads({bytesOf(kGoodReply, 4)}); },
         kFragment,
         kTimedOut},
        {"bad CRC", replying(hexBytes("01 03 02 00 0A 00 00")), kCrc, kBadCheck},
        {"bad LRC",
         inAscii(replying(textBytes(":010302000AF1\r\n"))), // F0 would be right
         kCrc,
         kBadCheck},
        {"other slave answers", replying(withCrc("02 03 02 00 0A")), kSlaveId, kUntimed},
        {"slave 300 answered from 44",
         both(typing(ControlId::SlaveId, "300"), replying(withCrc("2C 03 02 00 0A"))),
         kSlaveId,
         kUntimed},
        {"function", replying(withCrc("01 04 02 00 0A")), kFunction, kUntimed},
        {"byte count", replying(withCrc("01 03 04 00 0A")), kByteCount, kUntimed},
        {"sub-function",
         ofType(ScatteredRead, replying(withCrc("01 64 04 03 02 00 0A"))),
         kSubFunction,
         kUntimed},
        {"transmission number",
         ofType(ScatteredRead, replying(withCrc("01 64 04 04 09 00 0A"))),
         "Response has invalid transmission number.  Expected:  2.  Actual:  9.",
         kUntimed},
        {"MEI type",
         ofType(DeviceIdentification, replying(withCrc("01 2B 0D 01 01 00 00 00"))),
         kSubFunction,
         kUntimed},
        {"identification exception",
         ofType(DeviceIdentification, replying(withCrc("01 AB 01"))),
         "Exception response received - type 1",
         kTimedOut},
        // Too short to hold the object count, although its CRC is right: refused before the
        // frame check would pass it.
        {"identification too short",
         ofType(DeviceIdentification, replying(withCrc("01 2B 0E 01 01"))),
         kFragment,
         kCutShort},
        {"identification cut before its MEI type",
         ofType(DeviceIdentification, replying(withCrc("01 2B"))),
         kFragment,
         kCutShort},
        {"cut identification from another slave",
         ofType(DeviceIdentification, replying(withCrc("02 2B 0E 01 01"))),
         kSlaveId,
         kUntimed},
        // The second character is a hex digit, never an exception flag.
        {"ASCII exception to a register read",
         inAscii(replying(asciiFrame("01 83 02"))),
         kFragment,
         kTimedOut},
        {"ASCII exception to an identification read",
         [](FakeConsole& c) {
             c.dlg.selectAscii();
             c.dataType(DeviceIdentification);
             c.reads({asciiFrame("01 AB 01")});
         },
         kFunction,
         kUntimed},
    };
}

void expectAfterFailure(FakeConsole& c, const FailureRow& row)
{
    expectFailedRead(c, row.after.lastMs);
    expectPortAfterFailure(c, row.after.portOpened, row.after.clears);
}

} // namespace

TEST(SerialReadFailures, ManualModeShowsEachFailureInABoxAfterClosingThePort)
{
    for (const FailureRow& row : failureRows()) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        serialConsole(c);
        row.setup(c);
        bool closedAtBox = false;
        watchPortAtBox(c, closedAtBox);
        c.read();

        ASSERT_NO_FATAL_FAILURE(
            expectOneErrorBox(c, row.after.road == Road::Box ? row.text : c.reportLine(row.text)));
        EXPECT_TRUE(closedAtBox);
        EXPECT_EQ(c.dlg.stats().errorCount, 0u);
        expectAfterFailure(c, row);
    }
}

TEST(SerialReadFailures, LoggingModeLogsAndCountsReportsButShowsBoxes)
{
    for (const FailureRow& row : failureRows()) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        serialConsole(c);
        row.setup(c);
        c.readLogged();

        expectLoggedRoad(c, row.text, row.after.road == Road::Box);
        if (row.after.road != Road::Box) {
            EXPECT_EQ(c.view.text(ControlId::ErrorCount), "1");
        }
        EXPECT_EQ(c.dlg.stats().transactionCount, 1u);
        EXPECT_TRUE(c.dlg.scheduleRunning()) << "neither road stops a logging run";
        expectAfterFailure(c, row);
    }
}

TEST(SerialReadFailures, CountOutOfRangeSetsTheUpperBoundAndOnlyTheWideRangeForcesManual)
{
    struct Row
    {
        DataType type;
        const char* count;
        const char* text;
        const char* countAfter;
        SampleMode modeAfter;
    };

    const Row rows[] = {
        {ScatteredRead, "0", kCount100, "100", ScheduledWithLogging},
        {ScatteredRead, "101", kCount100, "100", ScheduledWithLogging},
        {HoldingRegister, "0", kCount125, "125", Manual},
        {HoldingRegister, "126", kCount125, "125", Manual},
        {SingleHoldingRegister, "-1", kCount125, "125", Manual},
        {InputRegister, "126", kCount125, "125", Manual},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.count) + " of type " + std::to_string(row.type));
        FakeConsole c;
        serialConsole(c);
        c.dataType(row.type);
        c.type(ControlId::RegisterCount, row.count);
        c.readLogged();

        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>{row.text});
        EXPECT_EQ(c.view.text(ControlId::RegisterCount), row.countAfter);
        EXPECT_EQ(c.dlg.settings().m_sampleMode, row.modeAfter);
        EXPECT_EQ(c.view.index(ControlId::SampleMode), row.modeAfter);
        // The timer is the scheduler's: the count check leaves it running.
        EXPECT_TRUE(c.dlg.scheduleRunning());
        EXPECT_FALSE(c.dlg.busy());
    }
}

TEST(SerialReadFailures, TimeoutOutOfRangeIsLeftAsEnteredAndRefusedAgain)
{
    FakeConsole c;
    serialConsole(c);
    c.type(ControlId::Timeout, "999");
    c.read();
    c.read();
    EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>(2, kTimeout));
    EXPECT_EQ(c.view.text(ControlId::Timeout), "999");
    EXPECT_TRUE(c.fp.serial.opened.empty());
}

TEST(SerialReadFailures, BoundaryTimeoutsAreAccepted)
{
    for (const char* timeout : {"1000", "60000"}) {
        SCOPED_TRACE(timeout);
        FakeConsole c;
        serialConsole(c);
        c.type(ControlId::Timeout, timeout);
        c.reads({kGoodReply});
        c.read();
        EXPECT_TRUE(c.view.boxTexts().empty());
        EXPECT_EQ(c.view.text(ControlId::Value, 0), "10");
    }
}

TEST(SerialReadFailures, ASlaveThatNeverAnswersCostsTwoTimeoutsOnAnEchoingWiringWithoutEcho)
{
    FakeConsole c;
    serialConsole(c);
    c.select(ControlId::Wiring, TwoWireEcho);
    c.read();
    ASSERT_EQ(c.view.boxTexts(), std::vector<std::string>{c.reportLine(kNoResponse)});
    EXPECT_EQ(c.dlg.stats().lastMs, 3000u);
}

// ---------------------------------------------------------------------------------------------
// Successful reads

namespace {

struct SuccessRow
{
    const char* name;
    std::function<void(FakeConsole&)> setup;
    Bytes request;
    Bytes reply;
    std::vector<std::string> values;
};

Bytes countingReply(const std::string& head, int n)
{
    Bytes message = hexBytes(head);
    for (int k = 1; k <= n; ++k) {
        message.push_back(0);
        message.push_back(static_cast<std::uint8_t>(k));
    }
    return withCrc(message);
}

std::vector<std::string> oneToTen()
{
    return {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};
}

} // namespace

TEST(SerialReadSuccess, SendsTheFrameAndShowsTheValues)
{
    const SuccessRow rows[] = {
        {"one holding register",
         [](FakeConsole&) {},
         hexBytes("01 03 00 00 00 01 84 0A"),
         kGoodReply,
         valuesThen0({"10"})},
        {"decimal shows unsigned values",
         typing(ControlId::RegisterCount, "3"),
         withCrc("01 03 00 00 00 03"),
         withCrc("01 03 06 FF FF 00 0A AB CD"),
         valuesThen0({"65535", "10", "43981"})},
        {"hex shows lower-case digits without zeros",
         [](FakeConsole& c) {
             c.type(ControlId::RegisterCount, "3");
             c.select(ControlId::DisplayMode, Hex);
         },
         withCrc("01 03 00 00 00 03"),
         withCrc("01 03 06 FF FF 00 0A AB CD"),
         valuesThen0({"ffff", "a", "abcd"})},
        {"ten registers",
         typing(ControlId::RegisterCount, "10"),
         withCrc("01 03 00 00 00 0A"),
         countingReply("01 03 14", 10),
         oneToTen()},
        {"twelve registers show the first ten",
         typing(ControlId::RegisterCount, "12"),
         withCrc("01 03 00 00 00 0C"),
         countingReply("01 03 18", 12),
         oneToTen()},
        {"input registers",
         [](FakeConsole& c) { c.dataType(InputRegister); },
         withCrc("01 04 00 00 00 01"),
         withCrc("01 04 02 00 0A"),
         valuesThen0({"10"})},
        {"single holding register",
         [](FakeConsole& c) { c.dataType(SingleHoldingRegister); },
         withCrc("01 03 00 00 00 01"),
         kGoodReply,
         valuesThen0({"10"})},
        {"Jbus sends the register number",
         [](FakeConsole& c) {
             c.select(ControlId::Protocol, Jbus);
             c.type(ControlId::StartRegister, "10");
         },
         withCrc("01 03 00 0A 00 01"),
         kGoodReply,
         valuesThen0({"10"})},
        {"register 0 under Modbus is address FFFF",
         typing(ControlId::StartRegister, "0"),
         withCrc("01 03 FF FF 00 01"),
         kGoodReply,
         valuesThen0({"10"})},
        {"slave 300 sends 44",
         typing(ControlId::SlaveId, "300"),
         withCrc("2C 03 00 00 00 01"),
         // Never accepted; the request is what this row is about.
         Bytes{},
         allZero()},
        {"ASCII",
         [](FakeConsole& c) { c.dlg.selectAscii(); },
         textBytes(":010300000001FB\r\n"),
         asciiFrame("01 03 02 00 0A"),
         valuesThen0({"10"})},
        {"scattered Modbus",
         [](FakeConsole& c) {
             c.dataType(ScatteredRead);
             c.type(ControlId::StartRegister, "10");
             c.type(ControlId::RegisterCount, "3");
         },
         withCrc("01 64 08 04 02 00 09 00 0A 00 0B"),
         countingReply("01 64 08 04 02", 3),
         valuesThen0({"1", "2", "3"})},
        {"scattered Jbus",
         [](FakeConsole& c) {
             c.select(ControlId::Protocol, Jbus);
             c.dataType(ScatteredRead);
             c.type(ControlId::StartRegister, "10");
             c.type(ControlId::RegisterCount, "3");
         },
         withCrc("01 64 08 04 02 00 0A 00 0B 00 0C"),
         countingReply("01 64 08 04 02", 3),
         valuesThen0({"1", "2", "3"})},
        {"scattered ASCII",
         [](FakeConsole& c) {
             c.dlg.selectAscii();
             c.dataType(ScatteredRead);
             c.type(ControlId::RegisterCount, "2");
         },
         asciiFrame("01 64 06 04 02 00 00 00 01"),
         asciiFrame("01 64 06 04 02 00 07 00 08"),
         valuesThen0({"7", "8"})},
    };
    for (const SuccessRow& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        serialConsole(c);
        row.setup(c);
        c.reads({row.reply});
        c.read();

        ASSERT_NO_FATAL_FAILURE(expectSerialSentOnce(c, row.request));
        const SerialLog& port = *c.fp.serial.last();
        EXPECT_EQ(port.path, "COM1");
        EXPECT_TRUE(port.closed);
        EXPECT_EQ(c.shownValues(), row.values);
        expectIdle(c);
        if (row.reply.empty()) {
            continue;
        }
        EXPECT_TRUE(c.view.boxTexts().empty());
        EXPECT_EQ(c.recordValues(), row.values);
        EXPECT_EQ(port.readSizes, std::vector<std::size_t>{row.reply.size()});
        EXPECT_EQ(port.clearErrors, 0);
        expectTime(c, 3u);
        EXPECT_EQ(c.fp.clock.sleeps(), std::vector<int>{25});
    }
}

TEST(SerialReadSuccess, ConfiguresTheLineFromTheSettingsAndRaisesDtr)
{
    struct Row
    {
        int baud;
        int parity;
        bool ascii;
        int baudRate;
        bool evenParity;
        int stopBits;
        int dataBits;
    };

    const Row rows[] = {
        {0, 0, false, 1200, true, 1, 8},
        {3, 0, false, 9600, true, 1, 8},
        {4, 1, false, 19200, false, 2, 8},
        {5, 1, false, 38400, false, 2, 8},
        {5, 0, true, 38400, true, 1, 7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.baudRate);
        FakeConsole c;
        serialConsole(c);
        if (row.ascii) {
            c.dlg.selectAscii();
        }
        c.select(ControlId::Baud, row.baud);
        c.select(ControlId::Parity, row.parity);
        c.read();
        ASSERT_EQ(c.fp.serial.opened.size(), 1u);
        const SerialLog& port = *c.fp.serial.last();
        EXPECT_EQ(port.line.baudRate, row.baudRate);
        EXPECT_EQ(port.line.evenParity, row.evenParity);
        EXPECT_EQ(port.line.stopBits, row.stopBits);
        EXPECT_EQ(port.line.dataBits, row.dataBits);
        EXPECT_TRUE(port.purged);
        EXPECT_TRUE(port.dtr);
    }
}

TEST(SerialReadSuccess, OpensThePortTheOperatorChose)
{
    FakeConsole c;
    serialConsole(c);
    c.select(ControlId::Port, 16);
    c.reads({kGoodReply});
    c.read();
    ASSERT_EQ(c.fp.serial.opened.size(), 1u);
    EXPECT_EQ(c.fp.serial.last()->path, "COM16");
}

TEST(SerialReadSuccess, TwoWireWiringReadsTheEchoOfTheFrameBeforeTheReply)
{
    FakeConsole c;
    serialConsole(c);
    c.select(ControlId::Wiring, TwoWireEcho);
    const Bytes request = hexBytes("01 03 00 00 00 01 84 0A");
    c.reads({request, kGoodReply});
    c.read();

    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.fp.serial.last()->readSizes, (std::vector<std::size_t>{8, 7}));
    EXPECT_EQ(c.shownValues(), valuesThen0({"10"}));
    EXPECT_EQ(c.dlg.stats().lastMs, 6u);
}

TEST(SerialReadSuccess, TheEchoReadIsNeverExamined)
{
    FakeConsole c;
    serialConsole(c);
    c.select(ControlId::Wiring, TwoWireEcho);
    c.fp.serial.script.failRead = 0;
    c.reads({Bytes{}, kGoodReply});
    c.read();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.shownValues(), valuesThen0({"10"}));
}

TEST(SerialReadSuccess, PreSendDelayWaitsAfterDtrAndOutsideTheTransactionTime)
{
    struct Row
    {
        int delayMs;
        std::vector<int> sleeps;
    };

    const Row rows[] = {{50, {50, 25}}, {0, {25}}, {-5, {25}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.delayMs);
        FakeConsole c;
        serialConsole(c);
        c.dlg.settings().m_preSendDelayMs = row.delayMs;
        std::vector<bool> dtrAtRead;
        c.fp.serial.onRead = [&](SerialLog& log) { dtrAtRead.push_back(log.dtr); };
        c.reads({kGoodReply});
        c.read();
        EXPECT_EQ(c.fp.clock.sleeps(), row.sleeps);
        EXPECT_EQ(c.dlg.stats().lastMs, 3u);
        EXPECT_EQ(dtrAtRead, std::vector<bool>{true});
    }
}

TEST(SerialReadSuccess, ScatteredTransmissionNumbersStartAtTwoAndWrap)
{
    FakeConsole c;
    serialConsole(c);
    c.dataType(ScatteredRead);
    std::vector<int> numbers;
    for (int i = 0; i < 256; ++i) {
        const int expected = (2 + i) % 256;
        c.reads(
            {withCrc("01 64 04 04 " + toHex({static_cast<std::uint8_t>(expected)}) + " 00 2A")});
        c.read();
        const Bytes& sent = c.fp.serial.last()->writes.at(0);
        numbers.push_back(sent.at(4));
        if (!c.view.boxTexts().empty()) {
            ADD_FAILURE() << "read " << i << ": " << c.view.boxTexts()[0];
            break;
        }
    }
    ASSERT_EQ(numbers.size(), 256u);
    EXPECT_EQ(numbers[0], 2);
    EXPECT_EQ(numbers[1], 3);
    EXPECT_EQ(numbers[253], 255);
    EXPECT_EQ(numbers[254], 0);
    EXPECT_EQ(numbers[255], 1);
    EXPECT_EQ(c.shownValues(), valuesThen0({"42"}));
}

TEST(SerialReadSuccess, FailedScatteredReadsUseUpTheirNumber)
{
    FakeConsole c;
    serialConsole(c);
    c.dataType(ScatteredRead);
    c.read(); // no reply
    c.reads({withCrc("01 64 04 04 03 00 2A")});
    c.read();
    EXPECT_EQ(c.fp.serial.last()->writes.at(0).at(4), 3);
    EXPECT_EQ(c.shownValues(), valuesThen0({"42"}));
}

TEST(SerialReadSuccess, IdentificationShowsItsTextWhileThePortStaysOpen)
{
    struct Row
    {
        const char* name;
        Bytes reply;
        std::string text;
    };

    const Bytes head = hexBytes("01 2B 0E 01 01 00 00");
    const Row rows[] = {
        {"three objects",
         withCrc(
             concat(head,
                    concat(hexBytes("03 00 03"),
                           concat(textBytes("ABC"),
                                  concat(hexBytes("01 02"),
                                         concat(textBytes("P1"),
                                                concat(hexBytes("02 03"), textBytes("1.0")))))))),
         "Vendor Name:  ABC\n\rProduct Code:  P1\n\rRevision:  1.0\n\r"},
        {"unknown object without label",
         withCrc(concat(head, concat(hexBytes("01 05 02"), textBytes("xy")))),
         "xy\n\r"},
        {"no objects", withCrc(concat(head, hexBytes("00"))), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        serialConsole(c);
        c.dataType(DeviceIdentification);
        c.reads({row.reply});
        bool openAtBox = false;
        c.view.onBox([&](const ShownBox&) {
            openAtBox = !c.fp.serial.last()->closed;
            c.fp.clock.advance(4000); // the operator reads it
        });
        c.read();

        ASSERT_EQ(c.view.boxes().size(), 1u);
        EXPECT_EQ(c.view.boxes()[0].text, row.text);
        EXPECT_EQ(c.view.boxes()[0].icon, MessageIcon::Information);
        EXPECT_TRUE(openAtBox);
        EXPECT_TRUE(c.fp.serial.last()->closed);
        EXPECT_EQ(c.fp.serial.last()->readSizes, std::vector<std::size_t>{512});
        // The whole time-out (the reply is shorter than 512 bytes) and the box.
        EXPECT_EQ(c.dlg.stats().lastMs, 1500u + 4000u);
        EXPECT_EQ(c.shownValues(), allZero());
        EXPECT_FALSE(c.dlg.busy());
    }
}

TEST(SerialReadSuccess, IdentificationRequestFrames)
{
    struct Row
    {
        bool ascii;
        Bytes request;
    };

    const Row rows[] = {{false, withCrc("01 2B 0E 01 00")}, {true, textBytes(":012B0E0100C5\r\n")}};
    for (const Row& row : rows) {
        FakeConsole c;
        serialConsole(c);
        if (row.ascii) {
            c.dlg.selectAscii();
        }
        c.dataType(DeviceIdentification);
        c.read();
        ASSERT_EQ(c.fp.serial.opened.size(), 1u);
        EXPECT_EQ(toHex(c.fp.serial.last()->writes.at(0)), toHex(row.request));
    }
}

TEST(SerialReadLabels, OnlyAModbusSuccessRewritesTheLabelsInModbusForm)
{
    struct Row
    {
        const char* name;
        std::function<void(FakeConsole&)> protocol;
        Bytes reply;
        std::vector<std::string> labels;
    };

    const std::vector<std::string> untouched = valuesThen0({"400001"});
    const Row rows[] = {
        {"Modbus success",
         [](FakeConsole&) {},
         countingReply("01 03 06", 3),
         valuesThen0({"400007", "400008", "400009"})},
        {"Modbus failure", [](FakeConsole&) {}, withCrc("01 03 06 00"), untouched},
        {"Jbus success",
         [](FakeConsole& c) {
             c.select(ControlId::Protocol, Jbus);
             c.dlg.showJbusLabels();
         },
         countingReply("01 03 06", 3),
         valuesThen0({"1"})},
        {"ASCII success",
         [](FakeConsole& c) { c.dlg.selectAscii(); },
         asciiFrame("01 03 06 00 01 00 02 00 03"),
         untouched},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        serialConsole(c);
        row.protocol(c);
        // Typed without the handlers that would refresh the labels.
        c.type(ControlId::StartRegister, "7");
        c.type(ControlId::RegisterCount, "3");
        c.reads({row.reply});
        c.read();
        EXPECT_EQ(c.shownLabels(), row.labels);
    }
}

} // namespace quarin::test

namespace quarin::test {

// A click on "&Jbus" or "&Hex" while the read waits for its reply: the read ends as if it had
// begun under what the console shows now.
TEST(SerialReadClicks, TheProtocolAndDisplayModeAreTakenWhenUsed)
{
    for (const ClickRow& row : clickRows()) {
        SCOPED_TRACE(row.name);
        const auto readThreeRegisters = [](FakeConsole& c) {
            serialConsole(c);
            threeRegistersFromSeven(c);
            c.reads({withCrc("01 03 06 00 0A 00 FF 12 34")});
        };
        FakeConsole clickedBefore;
        readThreeRegisters(clickedBefore);
        row.click(clickedBefore);
        clickedBefore.read();

        FakeConsole clickedDuring;
        readThreeRegisters(clickedDuring);
        bool clicked = false;
        clickedDuring.fp.serial.onRead = [&](SerialLog&) {
            if (!std::exchange(clicked, true)) {
                row.click(clickedDuring);
            }
        };
        clickedDuring.read();
        ASSERT_TRUE(clicked);
        expectSameScreen(clickedDuring, clickedBefore);
    }
}

} // namespace quarin::test

namespace quarin::test {

// Where the kernel drives the RS-485 direction, every failure once the line is set up says so:
// a slave lost to the turn-around shows as a time-out or a fragment.
TEST(SerialReadFailures, TheDetailNamesTheKernelsRs485DirectionWhereItDrivesIt)
{
    const std::string note = "The kernel drives this port's RS-485 direction: RTS high while "
                             "sending and low after, 1 ms before sending and 2 ms after.";
    for (const FailureRow& row : failureRows()) {
        for (const bool rs485 : {true, false}) {
            SCOPED_TRACE(std::string(row.name) + (rs485 ? ", RS-485" : ""));
            FakeConsole c;
            serialConsole(c);
            row.setup(c);
            if (rs485) {
                c.fp.serial.script.rs485 = Rs485Mode{true, false, 1, 2, false};
            }
            c.read();
            ASSERT_EQ(c.view.boxes().size(), 1u);
            const bool lineSetUp = row.after.portOpened && row.text != kInit;
            EXPECT_EQ(c.view.boxes()[0].detail.find(note) != std::string::npos, rs485 && lineSetUp)
                << c.view.boxes()[0].detail;
        }
    }
}

} // namespace quarin::test
