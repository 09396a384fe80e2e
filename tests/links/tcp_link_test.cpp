#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "transactions/tx_console.h"

namespace quarin::test {

namespace {

using Connects = std::vector<std::pair<std::uint32_t, std::uint16_t>>;

constexpr char kResolve[] = "Could not resolve the current IP address for the device";
constexpr char kArp[] = "/usr/sbin/arp";

std::vector<std::uint16_t> sentIds(const FakeConsole& c)
{
    std::vector<std::uint16_t> ids;
    for (const Bytes& request : c.fp.sockets.sent) {
        ids.push_back(requestId(request));
    }
    return ids;
}

} // namespace

TEST(TcpLink, ReadsToTheSameAddressShareOneConnection)
{
    FakeConsole c;
    tcpAt1500(c, "127.0.0.1");
    c.read();
    c.read();
    c.read();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.fp.sockets.connects, (Connects{{0x7F000001u, 502}}));
    EXPECT_EQ(c.fp.sockets.startups, 1);
    EXPECT_EQ(c.fp.sockets.cleanups, 0);
    EXPECT_EQ(sentIds(c), (std::vector<std::uint16_t>{1, 2, 3}));
    EXPECT_TRUE(c.fp.sockets.resolved.empty());
}

TEST(TcpLink, AChangedAddressClosesTheOldConnectionFirst)
{
    FakeConsole c;
    tcpAt1500(c, "127.0.0.1");
    c.read();
    c.type(ControlId::Address, "127.0.0.2");
    c.read();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.fp.sockets.connects, (Connects{{0x7F000001u, 502}, {0x7F000002u, 502}}));
    EXPECT_EQ(c.fp.sockets.closes, 1);
    EXPECT_EQ(c.fp.sockets.open, 1);
    // The library is held once, for as long as a connection.
    EXPECT_EQ(c.fp.sockets.startups, 2);
    EXPECT_EQ(c.fp.sockets.cleanups, 1);
    // The identifiers go on across connections.
    EXPECT_EQ(sentIds(c), (std::vector<std::uint16_t>{1, 2}));
}

TEST(TcpLink, AHostNameIsResolvedTwiceAroundTheAddressCacheStep)
{
    FakeConsole c;
    tcpAt1500(c, "localhost");
    c.fp.sockets.hosts["localhost"] = {"127.0.0.1", "127.0.0.2"};
    c.read();

    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.fp.sockets.resolved, (std::vector<std::string>{"localhost", "localhost"}));
    ASSERT_EQ(c.fp.programs.started.size(), 1u);
    EXPECT_EQ(c.fp.programs.started[0], (std::vector<std::string>{kArp, "-d", "127.0.0.1"}));
    EXPECT_TRUE(c.fp.programs.hiddenFlags[0]);
    EXPECT_EQ(c.fp.clock.sleeps(), std::vector<int>{1000});
    // The second answer is the one connected to; the pause is not part of the time.
    EXPECT_EQ(c.fp.sockets.connects, (Connects{{0x7F000002u, 502}}));
    EXPECT_EQ(c.dlg.stats().lastMs, 4u);

    // Reused: no resolution, no cache step, no pause.
    c.read();
    EXPECT_EQ(c.fp.sockets.resolved.size(), 2u);
    EXPECT_EQ(c.fp.programs.started.size(), 1u);
    EXPECT_EQ(c.fp.clock.sleeps().size(), 1u);
    EXPECT_EQ(c.fp.sockets.connects.size(), 1u);
}

TEST(TcpLink, TheAddressCacheStepIsSkippedWhereTheToolIsMissing)
{
    FakeConsole c;
    tcpAt1500(c, "localhost");
    c.fp.sockets.hosts["localhost"] = {"127.0.0.1"};
    c.fp.programs.arpInstalled = false;
    c.read();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_TRUE(c.fp.programs.started.empty());
    EXPECT_EQ(c.fp.sockets.resolved.size(), 2u);
    EXPECT_EQ(c.fp.clock.sleeps(), std::vector<int>{1000});
    EXPECT_EQ(c.fp.sockets.connects, (Connects{{0x7F000001u, 502}}));
}

TEST(TcpLink, EitherFailedResolutionShowsABoxAndReleasesTheLibrary)
{
    struct Row
    {
        const char* name;
        std::vector<std::string> answers;
        std::size_t resolves;
        std::size_t arps;
    };

    const Row rows[] = {
        {"first", {""}, 1, 0},
        {"second", {"127.0.0.1", ""}, 2, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpAt1500(c, "plc-1");
        c.fp.sockets.hosts["plc-1"] = row.answers;
        c.readLogged();
        // A box in every mode, never a log line.
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>{kResolve});
        EXPECT_EQ(c.log(), "");
        EXPECT_EQ(c.fp.sockets.resolved.size(), row.resolves);
        EXPECT_EQ(c.fp.programs.started.size(), row.arps);
        EXPECT_TRUE(c.fp.sockets.connects.empty());
        EXPECT_FALSE(c.dlg.connected());
        EXPECT_EQ(c.fp.sockets.startups, 1);
        EXPECT_EQ(c.fp.sockets.cleanups, 1);
        EXPECT_FALSE(c.dlg.busy());
    }
}

TEST(TcpLink, ALetterCaseChangeOfAHostNameIsANewConnection)
{
    FakeConsole c;
    tcpAt1500(c, "plc-1");
    c.fp.sockets.hosts["plc-1"] = {"127.0.0.1"};
    c.fp.sockets.hosts["PLC-1"] = {"127.0.0.1"};
    c.read();
    c.type(ControlId::Address, "PLC-1");
    c.read();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.fp.sockets.resolved,
              (std::vector<std::string>{"plc-1", "plc-1", "PLC-1", "PLC-1"}));
    EXPECT_EQ(c.fp.sockets.connects.size(), 2u);
    EXPECT_EQ(c.fp.programs.started.size(), 2u);
    EXPECT_EQ(c.fp.clock.sleeps(), (std::vector<int>{1000, 1000}));
}

TEST(TcpLink, TheDefaultAddressIsDottedAndConnectedWithoutResolution)
{
    FakeConsole c;
    c.useTcp("254.254.254.254");
    c.fp.sockets.slave = goodTcpSlave;
    EXPECT_EQ(c.view.text(ControlId::Address), "254.254.254.254");
    c.read();
    EXPECT_TRUE(c.fp.sockets.resolved.empty());
    EXPECT_TRUE(c.fp.programs.started.empty());
    EXPECT_TRUE(c.fp.clock.sleeps().empty());
    EXPECT_EQ(c.fp.sockets.connects, (Connects{{0xFEFEFEFEu, 502}}));
}

TEST(TcpLink, EveryWaitIsBoundedByTheTimeoutInWholeSeconds)
{
    struct Row
    {
        const char* timeout;
        int seconds;
    };

    const Row rows[] = {{"1000", 1}, {"1999", 1}, {"2000", 2}, {"59999", 59}, {"60000", 60}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.timeout);
        FakeConsole c;
        tcpAt1500(c, "127.0.0.1");
        c.type(ControlId::Timeout, row.timeout);
        c.read();
        c.fp.sockets.replies.push_back({silence()});
        c.read();
        // Writable, readable twice for the reply; writable, then the silent wait.
        EXPECT_EQ(c.fp.sockets.waitSeconds, std::vector<int>(5, row.seconds));
        EXPECT_EQ(c.dlg.stats().lastMs, 0u);
        EXPECT_EQ(c.fp.clock.nowMs(), 100000u + 4u + 1000u * static_cast<unsigned>(row.seconds));
    }
}

TEST(TcpLink, CloseAfterReplyClosesOnceTheLengthCheckHasPassed)
{
    struct Row
    {
        const char* name;
        const char* reply;
        bool closed;
        std::size_t boxes;
    };

    const Row rows[] = {
        {"accepted", "00 01 00 00 00 05 01 03 02 00 0A", true, 0},
        {"refused by the unit check", "00 01 00 00 00 05 02 03 02 00 0A", true, 1},
        {"refused by the identifier check", "00 09 00 00 00 05 01 03 02 00 0A", true, 1},
        {"exception", "00 01 00 00 00 03 01 83 02", false, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeConsole c;
        tcpAt1500(c, "localhost");
        c.fp.sockets.hosts["localhost"] = {"127.0.0.1"};
        c.dlg.settings().m_closeAfterReply = 1;
        c.fp.sockets.replies.push_back({data(row.reply)});
        c.read();
        EXPECT_EQ(c.view.boxTexts().size(), row.boxes);
        EXPECT_EQ(c.dlg.connected(), !row.closed);
        EXPECT_EQ(c.fp.sockets.open, row.closed ? 0 : 1);
        EXPECT_EQ(c.fp.sockets.cleanups, row.closed ? 1 : 0);

        // A new connection to a host name costs the cache step and the pause again.
        c.read();
        EXPECT_EQ(c.fp.sockets.connects.size(), row.closed ? 2u : 1u);
        EXPECT_EQ(c.fp.programs.started.size(), row.closed ? 2u : 1u);
        EXPECT_EQ(c.fp.clock.sleeps().size(), row.closed ? 2u : 1u);
    }
}

TEST(TcpLink, BytesLeftBehindAReplyAreDroppedBeforeTheNextRequest)
{
    FakeConsole c;
    tcpAt1500(c, "127.0.0.1");
    c.fp.sockets.replies.push_back({data("00 01 00 00 00 05 01 03 02 00 0A DE AD BE EF")});
    c.read();
    c.read();
    EXPECT_TRUE(c.view.boxTexts().empty());
    EXPECT_EQ(c.view.text(ControlId::Value, 0), "1");
    EXPECT_EQ(c.fp.sockets.connects.size(), 1u);
}

TEST(TcpLink, ReadsAndWritesTakeConsecutiveIdentifiersFromOneCounter)
{
    FakeConsole c;
    tcpAt1500(c, "127.0.0.1");
    EXPECT_EQ(c.dlg.mbapTransactionNo(), 1);
    c.read();
    c.write();
    c.read();
    // A link failure and a new connection do not reset it.
    c.fp.sockets.replies.push_back({closeStep()});
    c.read();
    c.write();
    ASSERT_EQ(c.view.boxTexts().size(), 1u);
    EXPECT_EQ(sentIds(c), (std::vector<std::uint16_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(c.fp.sockets.connects.size(), 2u);
    EXPECT_EQ(c.dlg.mbapTransactionNo(), 6);
}

TEST(TcpLink, TheSocketLibraryThatWillNotStartIsReportedInABox)
{
    FakeConsole c;
    tcpAt1500(c, "127.0.0.1");
    c.fp.sockets.startupFails = true;
    c.readLogged();
    EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>{"Unable to initialize WinSock"});
    EXPECT_EQ(c.log(), "");
    EXPECT_TRUE(c.fp.sockets.connects.empty());
    EXPECT_EQ(c.fp.sockets.cleanups, 0);
    EXPECT_FALSE(c.dlg.busy());

    c.fp.sockets.startupFails = false;
    c.dlg.onTimer(CMasterDlg::kScheduleTimer);
    ASSERT_TRUE(c.fp.workers.runNext());
    EXPECT_EQ(c.view.text(ControlId::Value, 0), "1");
}

TEST(TcpLink, AFailedConnectionReleasesTheLibraryAndTheNextReadTriesAgain)
{
    FakeConsole c;
    tcpAt1500(c, "127.0.0.1");
    c.fp.sockets.connectError = 111;
    c.read();
    EXPECT_FALSE(c.dlg.connected());
    EXPECT_EQ(c.fp.sockets.startups, 1);
    EXPECT_EQ(c.fp.sockets.cleanups, 1);
    c.fp.sockets.connectError.reset();
    c.read();
    EXPECT_TRUE(c.dlg.connected());
    EXPECT_EQ(c.fp.sockets.connects.size(), 2u);
}

TEST(TcpLink, ClosingTheWindowClosesTheConnectionAndReleasesTheLibrary)
{
    FakeConsole c;
    tcpAt1500(c, "127.0.0.1");
    c.read();
    ASSERT_EQ(c.fp.sockets.open, 1);
    c.dlg.onDestroy();
    EXPECT_EQ(c.fp.sockets.open, 0);
    EXPECT_EQ(c.fp.sockets.cleanups, c.fp.sockets.startups);
    EXPECT_FALSE(c.dlg.connected());
}

} // namespace quarin::test
