#include <cstdint>
#include <malloc.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/master_dlg.h"
#include "console/run_record.h"
#include "transactions/tx_console.h"

namespace quarin::test {
namespace {

TimeStamp at(std::uint32_t ms)
{
    return {ms / 1000, ms % 1000};
}

RunRecord runOf(const std::vector<std::uint32_t>& times, std::size_t kept = RunRecord::kKept)
{
    RunRecord run(kept);
    std::uint32_t clock = 0;
    for (std::uint32_t t : times) {
        clock += 1000;
        run.add(at(clock), t);
    }
    return run;
}

std::vector<std::uint32_t> oneTo(std::uint32_t n)
{
    std::vector<std::uint32_t> times;
    for (std::uint32_t t = 1; t <= n; ++t) {
        times.push_back(t);
    }
    return times;
}

TEST(RunSummary, CountsMeanMedianPercentilesAndLargest)
{
    struct Case
    {
        std::vector<std::uint32_t> times;
        double mean, median;
        std::uint32_t p95, p99, largest;
    };

    // Nearest rank: the p-th percentile of n times is the ceil(p n / 100)-th smallest.
    // clang-format off
    const Case cases[] = {
        {{7},                 7,    7,    7,   7,   7},
        {{40, 30, 35},        35,   35,   40,  40,  40},
        {{4, 1, 3, 2},        2.5,  2.5,  4,   4,   4},   // ranks 4 and 4
        {{0, 0, 0, 0, 9},     1.8,  0,    9,   9,   9},
        {oneTo(20),           10.5, 10.5, 19,  20,  20},  // ranks 19 and 20
        {oneTo(100),          50.5, 50.5, 95,  99,  100},
        {oneTo(1000),         500.5, 500.5, 950, 990, 1000},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.times.size());
        std::vector<std::uint32_t> scratch;
        const RunSummary s = Summarise(runOf(c.times), scratch);
        EXPECT_EQ(s.count, c.times.size());
        EXPECT_EQ(s.timed, c.times.size());
        EXPECT_EQ(s.failures, 0u);
        EXPECT_DOUBLE_EQ(s.meanMs, c.mean);
        EXPECT_DOUBLE_EQ(s.medianMs, c.median);
        EXPECT_EQ(s.p95Ms, c.p95);
        EXPECT_EQ(s.p99Ms, c.p99);
        EXPECT_EQ(s.largestMs, c.largest);
        EXPECT_EQ(s.ranked, c.times.size());
    }
}

TEST(RunSummary, TheRingKeepsTheLatestAndTheCountsStayWhole)
{
    // 500 then 1..4 then 10 20 30 40 through a ring of four: the 500 and 1..4 are gone from the
    // ranks, not from the count, the mean or the largest.
    std::vector<std::uint32_t> times{500, 1, 2, 3, 4, 10, 20, 30, 40};
    RunRecord run = runOf(times, 4);
    ASSERT_EQ(run.size(), 4u);
    EXPECT_EQ(run.entry(0).durationMs, 10u);
    EXPECT_EQ(run.entry(3).durationMs, 40u);
    EXPECT_EQ(run.entry(0).atMs, 5000u) << "the run began with its first transaction";
    std::vector<std::uint32_t> scratch;
    const RunSummary s = Summarise(run, scratch);
    EXPECT_EQ(s.count, 9u);
    EXPECT_EQ(s.largestMs, 500u);
    EXPECT_DOUBLE_EQ(s.meanMs, 610.0 / 9);
    EXPECT_EQ(s.ranked, 4u);
    EXPECT_DOUBLE_EQ(s.medianMs, 25);
    EXPECT_EQ(s.p95Ms, 40u);
    EXPECT_EQ(RunSummaryText(s),
              "This run: 9 transactions, 0 failed\n"
              "9 timed: mean 67.8 ms, median 25 ms, largest 500 ms\n"
              "95th percentile 40 ms, 99th percentile 40 ms\n"
              "(median and percentiles of the latest 4)");
}

TEST(RunRecord, AFailureMarksItsTransactionOnce)
{
    RunRecord run;
    run.begin(at(10000));
    run.add(at(10150), 150); // answered
    run.add(at(10300), 140); // timed, then refused
    run.failLast("Exception Response Received = 2");
    run.failLast("a second failure of the same transaction");
    run.add(at(11300), std::nullopt, "Timeout waiting on a response");
    run.failLast("Timeout waiting on a response"); // already failed
    ASSERT_EQ(run.size(), 3u);
    EXPECT_EQ(run.count(), 3u);
    EXPECT_EQ(run.failures(), 2u);
    EXPECT_EQ(run.timedCount(), 2u);
    EXPECT_EQ(run.failureName(run.entry(0).verdict), "");
    EXPECT_EQ(run.failureName(run.entry(1).verdict), "Exception Response Received = 2");
    EXPECT_EQ(run.failureName(run.entry(2).verdict), "Timeout waiting on a response");
    EXPECT_FALSE(run.entry(2).timed);
    EXPECT_EQ(run.entry(2).atMs, 1300u);

    std::vector<std::uint32_t> scratch;
    EXPECT_EQ(RunSummaryText(Summarise(run, scratch)),
              "This run: 3 transactions, 2 failed\n"
              "2 timed: mean 145.0 ms, median 145 ms, largest 150 ms\n"
              "95th percentile 150 ms, 99th percentile 150 ms");

    run.begin(at(20000));
    EXPECT_EQ(run.size(), 0u);
    EXPECT_EQ(RunSummaryText(Summarise(run, scratch)), "This run: no transaction yet");
    run.add(at(20001), std::nullopt, "Timeout waiting on a response");
    EXPECT_EQ(RunSummaryText(Summarise(run, scratch)),
              "This run: 1 transactions, 1 failed\nNone timed");
}

TEST(RunRecord, FailureNamesAreBounded)
{
    RunRecord run;
    for (int i = 0; i < 200; ++i) {
        run.add(
            at(static_cast<std::uint32_t>(i)), std::nullopt, "Receive error " + std::to_string(i));
    }
    EXPECT_EQ(run.failureName(run.entry(0).verdict), "Receive error 0");
    EXPECT_EQ(run.failureName(run.entry(62).verdict), "Receive error 62");
    EXPECT_EQ(run.failureName(run.entry(199).verdict), "another failure");
    EXPECT_EQ(run.failures(), 200u);
}

TEST(RunRecord, CsvHoldsEveryKeptTransaction)
{
    RunRecord run(2);
    run.begin(at(1000));
    run.add(at(1010), 10);
    run.add(at(2500), 12);
    run.add(at(63004), std::nullopt, "Receive error, code \"7\"");
    run.add(at(64000), 9, "Bad CRC");
    EXPECT_EQ(RunCsv(run),
              "transaction,end_s,time_ms,verdict\n"
              "3,62.004,,\"Receive error, code \"\"7\"\"\"\n"
              "4,63.000,9,\"Bad CRC\"\n");
    run.begin(at(0));
    run.add(at(5), 5);
    EXPECT_EQ(RunCsv(run), "transaction,end_s,time_ms,verdict\n1,0.005,5,answered\n");
}

TEST(RunRecord, MemoryStaysBoundedAfterAMillionTransactions)
{
    RunRecord run;
    std::uint32_t clock = 0;
    const auto transactions = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ++clock;
            if (i % 97 == 0) {
                run.add(at(clock), std::nullopt, "Timeout waiting on a response");
            } else {
                run.add(at(clock), static_cast<std::uint32_t>(i % 50));
            }
        }
    };
    transactions(static_cast<int>(RunRecord::kKept)); // warm-up: the ring fills
    const std::size_t warm = mallinfo2().uordblks;
    transactions(1000000 - static_cast<int>(RunRecord::kKept));
    EXPECT_EQ(run.size(), RunRecord::kKept);
    EXPECT_EQ(run.count(), 1000000u);
    EXPECT_EQ(mallinfo2().uordblks, warm) << "no allocation once the ring is full";
}

TEST(ConsoleRunRecord, ResetsWhereTheRunsExtremesDo)
{
    OpenedConsole c;
    c.dlg.recordTransactionTime({1, 0}, {1, 40}); // a write's time, before any Read
    EXPECT_EQ(c.dlg.runRecord().count(), 1u);
    c.startSchedule(ScheduledWithLogging);
    EXPECT_EQ(c.dlg.runRecord().count(), 0u) << "Read begins a run";
    c.dlg.recordTransactionTime({2, 0}, {2, 30});
    c.dlg.recordTransactionTime({3, 0}, {3, 35});
    c.dlg.onStop();
    EXPECT_EQ(c.dlg.runRecord().count(), 2u) << "Stop ends the schedule, not the run";
    EXPECT_EQ(c.dlg.runRecord().largestMs(), 35u);
}

TEST(ConsoleRunRecord, FailuresOfBothRoadsAreTheTransactionsVerdict)
{
    OpenedConsole c;
    c.startSchedule(ScheduledWithLogging);
    // A timed transaction that the checks then refuse: one entry, failed.
    c.dlg.recordTransactionTime({5, 0}, {5, 20});
    c.dlg.reportFailure("Exception Response Received = 2", Failure);
    // One that timed out: an untimed failure.
    c.dlg.reportFailure("Timeout waiting on a response", Failure);
    c.dlg.onStop();
    const RunRecord& run = c.dlg.runRecord();
    ASSERT_EQ(run.count(), 2u) << "the stop line is no transaction";
    EXPECT_EQ(run.failures(), 2u);
    EXPECT_TRUE(run.entry(0).timed);
    EXPECT_EQ(run.failureName(run.entry(0).verdict), "Exception Response Received = 2");
    EXPECT_FALSE(run.entry(1).timed);
    EXPECT_EQ(run.failureName(run.entry(1).verdict), "Timeout waiting on a response");
    EXPECT_EQ(c.dlg.timesToolTip(),
              "This run: 2 transactions, 2 failed\n"
              "1 timed: mean 20.0 ms, median 20 ms, largest 20 ms\n"
              "95th percentile 20 ms, 99th percentile 20 ms");
}

TEST(ConsoleValueToolTip, RegisterAndPairViewsOfWhatTheFieldsShow)
{
    OpenedConsole c;
    c.view.type(ControlId::RegisterCount, "3");
    c.dlg.refreshLabels();
    c.view.type(ControlId::Value, "16712", 0); // 0x4148
    c.view.type(ControlId::Value, "0", 1);
    c.view.type(ControlId::Value, "65535", 2);
    c.view.type(ControlId::Value, "7", 3); // beyond the count

    EXPECT_EQ(c.dlg.valueToolTip(0),
              "400001: 16712 unsigned, 16712 signed, 0x4148\n"
              "binary 0100 0001 0100 1000, characters 'A' 'H'\n"
              "400001-400002 high word first: 1095237632 unsigned, 1095237632 signed, float 12.5\n"
              "400001-400002 low word first: 16712 unsigned, 16712 signed, float 2.3418e-41 "
              "(denormal)");
    EXPECT_EQ(c.dlg.valueToolTip(2),
              "400003: 65535 unsigned, -1 signed, 0xFFFF\n"
              "binary 1111 1111 1111 1111, characters '\\xFF' '\\xFF'")
        << "the next row holds no register";
    EXPECT_EQ(c.dlg.valueToolTip(3), "");
    c.view.type(ControlId::Value, "-1", 0);
    EXPECT_EQ(c.dlg.valueToolTip(0), "") << "not a register value";

    c.view.setIndex(ControlId::DisplayMode, Hex);
    c.dlg.changeDisplayMode();
    c.view.type(ControlId::Value, "3f80", 0);
    EXPECT_TRUE(
        c.dlg.valueToolTip(0).starts_with("400001: 16256 unsigned, 16256 signed, 0x3F80\n"));
    c.view.setIndex(ControlId::Protocol, Jbus);
    c.dlg.showJbusLabels();
    EXPECT_TRUE(c.dlg.valueToolTip(1).starts_with("Jbus 2: 0 unsigned"));
}

} // namespace
} // namespace quarin::test
