#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transactions/transaction_checks.h"

namespace quarin::test {

namespace {

constexpr char kHeaderShort[] =
    "Too short of ModbusTCP/IP header data returned from socket recv operation.";
constexpr char kOutOfBounds[] =
    "Out of bounds message size received in ModbusTCP/IP header information.";
constexpr char kBadId[] = "Slave ID 1 - Response has invalid transaction number";

// TCP/IP to 127.0.0.1 and values on the screen that the read must replace.
void tcpConsole(FakeConsole& c)
{
    tcpAt1500(c);
    staleValues(c);
}

void repair(FakeConsole& c)
{
    repairSockets(c.fp.sockets);
    c.type(ControlId::SlaveId, "1");
    c.dataType(HoldingRegister);
}

enum class Road
{
    Box,        // the transaction's own box: never logged or counted
    Failure,    // reportFailure, the link kept
    LinkFailure // reportFailure, the link closed
};

struct Outcome
{
    Road road;
    std::uint32_t lastMs; // 0: no whole reply frame arrived
    bool linked;          // got as far as the link, so a second read shows what became of it
};

constexpr Outcome kNotLinked{Road::Box, 0, false};
constexpr Outcome kOwnBox{Road::Box, 4, true};
constexpr Outcome kRefused{Road::Failure, 4, true};
constexpr Outcome kLinkLost{Road::LinkFailure, 0, true};
constexpr Outcome kLinkLostTimed{Road::LinkFailure, 4, true};

using FailureRow = FailureRowOf<Outcome>;

std::vector<FailureRow> failureRows()
{
    return {
        {"empty address", typing(ControlId::Address, ""), kNoAddress, kNotLinked},
        {"empty address before a bad time-out",
         both(typing(ControlId::Address, ""), typing(ControlId::Timeout, "999")),
         kNoAddress,
         kNotLinked},
        {"timeout 999", typing(ControlId::Timeout, "999"), kTimeout, kNotLinked},
        {"timeout 60001", typing(ControlId::Timeout, "60001"), kTimeout, kNotLinked},
        {"count 0", typing(ControlId::RegisterCount, "0"), kCount125, kNotLinked},
        {"count 126", typing(ControlId::RegisterCount, "126"), kCount125, kNotLinked},
        {"scattered count 101",
         ofType(ScatteredRead, typing(ControlId::RegisterCount, "101")),
         kCount100,
         kNotLinked},
        {"socket library will not start",
         [](FakeConsole& c) { c.fp.sockets.startupFails = true; },
         kWinsock,
         kNotLinked},
        {"unknown host", typing(ControlId::Address, "plc-1"), kResolve, kNotLinked},
        {"blanks are a host name", typing(ControlId::Address, "  "), kResolve, kNotLinked},
        {"connection refused",
         [](FakeConsole& c) { c.fp.sockets.connectError = 111; },
         winsockText("connect attempt on socket", 111),
         kLinkLost},
        {"never writable",
         [](FakeConsole& c) { c.fp.sockets.writableTimesOut = true; },
         winsockText("select of socket for writability", 0),
         kLinkLost},
        {"send fails",
         [](FakeConsole& c) { c.fp.sockets.sendError = 32; },
         winsockText("send request", 32),
         kLinkLost},
        {"partial send",
         [](FakeConsole& c) { c.fp.sockets.sendCount = 5; },
         winsockText("send request", 0),
         kLinkLost},
        {"no reply",
         answering({silence()}),
         winsockText("select of socket for readability", 0),
         kLinkLost},
        {"slave closes",
         answering({closeStep()}),
         winsockText("socket recv operation", 0),
         kLinkLost},
        {"receive fails",
         answering({failStep(104)}),
         winsockText("socket recv operation", 104),
         kLinkLost},
        {"rest of the frame never comes",
         answering({data("00 01 00 00 00 05 01"), silence()}),
         winsockText("select of socket for readability", 0),
         kLinkLost},
        {"closed within the frame",
         answering({data("00 01 00 00 00 05 01"), closeStep()}),
         winsockText("socket recv operation", 0),
         kLinkLost},
        {"first receive of three bytes",
         answering({data("00 01 00"), data("00 00 05 01 03 02 00 0A")}),
         kHeaderShort,
         kLinkLost},
        {"length 0", answering("00 01 00 00 00 00"), kOutOfBounds, kLinkLost},
        {"length 1", answering("00 01 00 00 00 01 01"), kOutOfBounds, kLinkLost},
        {"length 255", answering("00 01 00 00 00 FF 01 03"), kOutOfBounds, kLinkLost},
        // Accepted by the header check, so the whole frame is read and timed; too short for one
        // register, and without the exception flag.
        {"length 2",
         answering("00 01 00 00 00 02 01 03"),
         winsockText("recv request of socket", 0),
         kLinkLostTimed},
        {"wrong length",
         answering("00 01 00 00 00 04 01 03 02 00"),
         winsockText("recv request of socket", 0),
         kLinkLostTimed},
        {"wrong length with the exception flag",
         answering("00 01 00 00 00 03 01 83 02"),
         "Exception response received - type 2",
         kRefused},
        {"transaction identifier", answering("01 00 00 00 00 05 01 03 02 00 0A"), kBadId, kOwnBox},
        {"unit identifier", answering("00 01 00 00 00 05 02 03 02 00 0A"), kSlaveId, kRefused},
        {"slave 300 answered from 44",
         both(typing(ControlId::SlaveId, "300"), answering("00 01 00 00 00 05 2C 03 02 00 0A")),
         kSlaveId,
         kRefused},
        {"function", answering("00 01 00 00 00 05 01 04 02 00 0A"), kFunction, kRefused},
        {"byte count", answering("00 01 00 00 00 05 01 03 04 00 0A"), kByteCount, kRefused},
        {"sub-function",
         ofType(ScatteredRead, answering("00 01 00 00 00 07 01 64 04 03 02 00 0A")),
         kSubFunction,
         kRefused},
        {"transmission number",
         ofType(ScatteredRead, answering("00 01 00 00 00 07 01 64 04 04 09 00 0A")),
         "Response has invalid transmission number.  Expected:  2.  Actual:  9",
         kRefused},
        {"MEI type",
         ofType(DeviceIdentification, answering("00 01 00 00 00 08 01 2B 0D 01 01 00 00 00")),
         kSubFunction,
         kRefused},
        {"identification exception",
         ofType(DeviceIdentification, answering("00 01 00 00 00 03 01 AB 01")),
         "Exception response received - type 1",
         kRefused},
        // Too short to hold the object count: refused, once the checks before the object walk
        // have passed.
        {"identification frame cut before its object count",
         ofType(DeviceIdentification, answering("00 01 00 00 00 03 01 2B 0E")),
         winsockText("recv request of socket", 0),
         kLinkLostTimed},
        {"short identification frame with another identifier",
         ofType(DeviceIdentification, answering("00 09 00 00 00 03 01 2B 0E")),
         kBadId,
         kOwnBox},
        {"short identification frame with another function",
         ofType(DeviceIdentification, answering("00 01 00 00 00 03 01 03 02")),
         kFunction,
         kRefused},
    };
}

void expectAfterFailure(FakeConsole& c, const FailureRow& row)
{
    expectFailedRead(c, row.after.lastMs);
    if (!row.after.linked) {
        EXPECT_TRUE(c.fp.sockets.connects.empty());
        EXPECT_TRUE(c.fp.sockets.sent.empty());
        EXPECT_FALSE(c.dlg.connected());
        EXPECT_EQ(c.fp.sockets.cleanups, c.fp.sockets.startups) << "library released";
        return;
    }
    const bool kept = row.after.road != Road::LinkFailure;
    EXPECT_EQ(c.dlg.connected(), kept);
    EXPECT_EQ(c.fp.sockets.open, kept ? 1 : 0);
    EXPECT_EQ(c.fp.sockets.cleanups, kept ? 0 : 1);

    expectNextConnectsOnlyAfterADrop(c, kept, [](FakeConsole& d) {
        repair(d);
        d.read();
    });
    EXPECT_TRUE(c.dlg.connected());
}

} // namespace

TEST(TcpReadFailures, ManualModeShowsEachFailureInABox)
{
    for (const FailureRow& row : failureRows()) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpConsole(c);
        row.setup(c);
        c.read();

        ASSERT_NO_FATAL_FAILURE(
            expectOneErrorBox(c, row.after.road == Road::Box ? row.text : c.reportLine(row.text)));
        expectAfterFailure(c, row);
    }
}

TEST(TcpReadFailures, LoggingModeLogsAndCountsReportsButNotBoxes)
{
    for (const FailureRow& row : failureRows()) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpConsole(c);
        row.setup(c);
        c.readLogged();

        expectLoggedRoad(c, row.text, row.after.road == Road::Box);
        EXPECT_TRUE(c.dlg.scheduleRunning());
        // A second tick of the same run.
        const std::size_t connects = c.fp.sockets.connects.size();
        if (row.after.linked) {
            repair(c);
            c.dlg.onTimer(CMasterDlg::kScheduleTimer);
            ASSERT_TRUE(c.fp.workers.runNext());
            EXPECT_EQ(c.view.text(ControlId::Value, 0), "1");
            EXPECT_EQ(c.fp.sockets.connects.size(),
                      connects + (row.after.road == Road::LinkFailure ? 1 : 0));
            EXPECT_EQ(c.dlg.stats().transactionCount, 2u);
        }
    }
}

TEST(TcpReadFailures, ScheduledRunStopsAtAReportButNotAtABox)
{
    struct Row
    {
        const char* name;
        const char* reply;
        bool stops;
    };

    const Row rows[] = {
        {"transaction identifier", "00 07 00 00 00 05 01 03 02 00 0A", false},
        {"unit identifier", "00 01 00 00 00 05 02 03 02 00 0A", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpConsole(c);
        c.replyWith(row.reply);
        c.select(ControlId::SampleMode, Scheduled);
        c.dlg.onRead();
        c.dlg.onTimer(CMasterDlg::kScheduleTimer);
        ASSERT_TRUE(c.fp.workers.runNext());
        EXPECT_EQ(c.view.boxTexts().size(), 1u);
        EXPECT_EQ(c.dlg.scheduleRunning(), !row.stops);
        EXPECT_EQ(c.log(), "");
    }
}

TEST(TcpReadFailures, ATimedOutWaitCarriesTheThreadsLastSocketError)
{
    FakeConsole c;
    tcpConsole(c);
    c.replyWith({failStep(104)});
    c.read();
    c.fp.sockets.writableTimesOut = true;
    c.read();
    ASSERT_EQ(c.view.boxTexts().size(), 2u);
    EXPECT_EQ(c.view.boxTexts()[1],
              c.reportLine(winsockText("select of socket for writability", 104)));
}

TEST(TcpReadFailures, BoundaryTimeoutsAreAccepted)
{
    for (const char* timeout : {"1000", "60000"}) {
        SCOPED_TRACE(timeout);
        FakeConsole c;
        tcpConsole(c);
        c.type(ControlId::Timeout, timeout);
        c.read();
        EXPECT_TRUE(c.view.boxTexts().empty());
        EXPECT_EQ(c.view.text(ControlId::Value, 0), "1");
    }
}

// ---------------------------------------------------------------------------------------------
// Successful reads

namespace {

struct SuccessRow
{
    const char* name;
    std::function<void(FakeConsole&)> setup;
    const char* request;
    std::vector<std::string> values;
};

} // namespace

TEST(TcpReadSuccess, SendsTheFrameAndShowsTheValues)
{
    const SuccessRow rows[] = {
        {"two holding registers",
         typing(ControlId::RegisterCount, "2"),
         "00 01 00 00 00 06 01 03 00 00 00 02",
         valuesThen0({"1", "2"})},
        {"input registers from register 100",
         ofType(InputRegister, typing(ControlId::StartRegister, "100")),
         "00 01 00 00 00 06 01 04 00 63 00 01",
         valuesThen0({"1"})},
        {"single holding register",
         [](FakeConsole& c) { c.dataType(SingleHoldingRegister); },
         "00 01 00 00 00 06 01 03 00 00 00 01",
         valuesThen0({"1"})},
        {"twelve registers show the first ten",
         typing(ControlId::RegisterCount, "12"),
         "00 01 00 00 00 06 01 03 00 00 00 0C",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
        {"scattered from register 10",
         [](FakeConsole& c) {
             c.dataType(ScatteredRead);
             c.type(ControlId::StartRegister, "10");
             c.type(ControlId::RegisterCount, "3");
         },
         "00 01 00 00 00 0B 01 64 08 04 02 00 09 00 0A 00 0B",
         valuesThen0({"1", "2", "3"})},
        {"slave 17",
         typing(ControlId::SlaveId, "17"),
         "00 01 00 00 00 06 11 03 00 00 00 01",
         valuesThen0({"1"})},
    };
    for (const SuccessRow& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpConsole(c);
        row.setup(c);
        c.read();

        EXPECT_TRUE(c.view.boxTexts().empty());
        ASSERT_NO_FATAL_FAILURE(expectTcpSentOnce(c, row.request));
        EXPECT_EQ(c.shownValues(), row.values);
        EXPECT_EQ(c.recordValues(), row.values);
        EXPECT_EQ(c.dlg.stats().lastMs, 4u);
        EXPECT_EQ(c.fp.sockets.connects,
                  (std::vector<std::pair<std::uint32_t, std::uint16_t>>{{0x7F000001u, 502}}));
        EXPECT_TRUE(c.dlg.connected());
        expectIdle(c);
        EXPECT_TRUE(c.fp.clock.sleeps().empty()) << "no pause on TCP";
    }
}

TEST(TcpReadSuccess, ShowsValuesUnsignedInDecimalAndLowerCaseHex)
{
    struct Row
    {
        DisplayMode mode;
        std::vector<std::string> values;
    };

    const Row rows[] = {{Decimal, valuesThen0({"65535", "10", "43981"})},
                        {Hex, valuesThen0({"ffff", "a", "abcd"})}};
    for (const Row& row : rows) {
        FakeConsole c;
        tcpConsole(c);
        c.select(ControlId::DisplayMode, row.mode);
        c.type(ControlId::RegisterCount, "3");
        c.replyWith("00 01 00 00 00 09 01 03 06 FF FF 00 0A AB CD");
        c.read();
        EXPECT_EQ(c.shownValues(), row.values);
    }
}

TEST(TcpReadSuccess, AcceptsAnyProtocolIdentifierAndALengthHighByte)
{
    FakeConsole c;
    tcpConsole(c);
    // Protocol 0x1234; a length of 0x0105 is read as 5.
    c.replyWith("00 01 12 34 01 05 01 03 02 00 2A");
    c.read();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.view.text(ControlId::Value, 0), "42");
}

TEST(TcpReadSuccess, ReadsAReplyThatArrivesInPieces)
{
    FakeConsole c;
    tcpConsole(c);
    c.type(ControlId::RegisterCount, "2");
    c.replyWith(
        {data("00 01 00 00 00 07 01 03"), silence(), data("04 00"), data("07 00 08 FF FF")});
    c.read();
    // A silent wait ends the read, however long the rest would have taken.
    ASSERT_EQ(
        c.view.boxTexts(),
        std::vector<std::string>{c.reportLine(winsockText("select of socket for readability", 0))});

    FakeConsole d;
    tcpConsole(d);
    d.type(ControlId::RegisterCount, "2");
    d.replyWith({data("00 01 00 00 00 07 01 03"), data("04 00"), data("07 00 08")});
    d.read();
    EXPECT_TRUE(d.view.boxTexts().empty());
    EXPECT_EQ(d.shownValues(), valuesThen0({"7", "8"}));
    // One wait per piece; the header piece is read as its six bytes and then the rest of it.
    EXPECT_EQ(d.fp.sockets.waitSeconds, (std::vector<int>{1, 1, 1, 1, 1}));
}

TEST(TcpReadSuccess, IdentificationShowsItsTextAndKeepsTheValuesAtZero)
{
    FakeConsole c;
    tcpConsole(c);
    c.dataType(DeviceIdentification);
    c.read();
    ASSERT_NO_FATAL_FAILURE(expectTcpSentOnce(c, "00 01 00 00 00 05 01 2B 0E 01 00"));
    ASSERT_EQ(c.view.boxes().size(), 1u);
    EXPECT_EQ(c.view.boxes()[0].text,
              "Vendor Name:  Quarin\n\rProduct Code:  QM-1\n\rRevision:  1.0\n\r");
    EXPECT_EQ(c.view.boxes()[0].icon, MessageIcon::Information);
    EXPECT_EQ(c.shownValues(), allZero());
    EXPECT_EQ(c.dlg.stats().lastMs, 4u);
    EXPECT_TRUE(c.dlg.connected());
}

TEST(TcpReadSuccess, IdentificationFrameOfTheLargestLength)
{
    FakeConsole c;
    tcpConsole(c);
    c.dataType(DeviceIdentification);
    // 254 bytes behind the length: unit, 2B 0E 01 01 00 00, one object of 244 characters.
    const std::string vendor(244, 'V');
    c.replyWith({data(
        concat(hexBytes("00 01 00 00 00 FE 01 2B 0E 01 01 00 00 01 00 F4"), textBytes(vendor)))});
    c.read();
    ASSERT_EQ(c.view.boxTexts(), std::vector<std::string>{"Vendor Name:  " + vendor + "\n\r"});
}

TEST(TcpReadSuccess, IdentificationObjectsAreNotReadBeyondTheFrame)
{
    FakeConsole c;
    tcpConsole(c);
    c.dataType(DeviceIdentification);
    // Two objects announced, the second longer than what follows.
    c.replyWith("00 01 00 00 00 0F 01 2B 0E 01 01 00 00 02 00 02 41 42 02 09 31");
    c.read();
    ASSERT_EQ(c.view.boxes().size(), 1u);
    EXPECT_EQ(c.view.boxes()[0].icon, MessageIcon::Information);
    EXPECT_EQ(c.view.boxes()[0].text.rfind("Vendor Name:  AB\n\rRevision:  ", 0), 0u);
}

TEST(TcpReadLabels, ASuccessRewritesTheLabelsInModbusFormAndAFailureDoesNot)
{
    struct Row
    {
        const char* name;
        std::vector<SocketStep> reply;
        std::vector<std::string> labels;
    };

    const Row rows[] = {
        {"success",
         {data("00 01 00 00 00 09 01 03 06 00 01 00 02 00 03")},
         valuesThen0({"400007", "400008", "400009"})},
        {"failure",
         {data("00 01 00 00 00 09 01 04 06 00 01 00 02 00 03")},
         valuesThen0({"400001"})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpConsole(c);
        c.type(ControlId::StartRegister, "7");
        c.type(ControlId::RegisterCount, "3");
        c.replyWith(row.reply);
        c.read();
        EXPECT_EQ(c.shownLabels(), row.labels);
    }
}

} // namespace quarin::test

namespace quarin::test {

// A click on "&Hex" or "&Jbus" while a scheduled read waits for its reply: the read ends as if it
// had begun under what the console shows now.
TEST(TcpReadClicks, TheProtocolAndDisplayModeAreTakenWhenUsed)
{
    for (const ClickRow& row : clickRows()) {
        SCOPED_TRACE(row.name);
        // Three registers from register 7, answered 10, 255 and 0x1234, in a scheduled run; the
        // click, if any, while the request is on its way.
        const auto setUp = [](FakeConsole& c, std::function<void()> during) {
            tcpConsole(c);
            threeRegistersFromSeven(c);
            c.select(ControlId::SampleMode, Scheduled);
            c.fp.sockets.slave = [during](const Bytes& request) {
                if (during) {
                    during();
                }
                const std::uint16_t id = requestId(request);
                const Bytes header{static_cast<std::uint8_t>(id >> 8),
                                   static_cast<std::uint8_t>(id & 0xFFu)};
                return std::vector<SocketStep>{
                    data(concat(header, hexBytes("00 00 00 09 01 03 06 00 0A 00 FF 12 34")))};
            };
        };
        const auto readOnce = [](FakeConsole& c) {
            c.dlg.onRead();
            c.dlg.onTimer(CMasterDlg::kScheduleTimer);
            c.fp.workers.runNext();
        };
        FakeConsole clickedBefore;
        setUp(clickedBefore, {});
        row.click(clickedBefore);
        readOnce(clickedBefore);

        FakeConsole clickedDuring;
        bool clicked = false;
        setUp(clickedDuring, [&] {
            if (!std::exchange(clicked, true)) {
                row.click(clickedDuring);
            }
        });
        readOnce(clickedDuring);
        ASSERT_TRUE(clicked);
        ASSERT_TRUE(clickedDuring.view.boxes().empty());
        expectSameScreen(clickedDuring, clickedBefore);
    }
}

} // namespace quarin::test
