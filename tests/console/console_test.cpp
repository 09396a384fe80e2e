#include <gtest/gtest.h>

#include "transactions/tx_console.h"

namespace quarin::test {
namespace {

TEST(ConsoleSettings, FreshConsoleShowsTheDefaults)
{
    OpenedConsole c;
    const FakeView& v = c.view;
    EXPECT_EQ(v.index(ControlId::Port), 0);
    EXPECT_EQ(v.index(ControlId::Baud), 5);
    EXPECT_EQ(v.index(ControlId::Parity), 0);
    EXPECT_EQ(v.index(ControlId::Wiring), 0);
    EXPECT_EQ(v.index(ControlId::SampleMode), 0);
    EXPECT_EQ(v.index(ControlId::DataType), 0);
    EXPECT_EQ(v.index(ControlId::Protocol), 0);
    EXPECT_EQ(v.index(ControlId::DisplayMode), 0);
    EXPECT_EQ(v.text(ControlId::Address), "254.254.254.254");
    EXPECT_EQ(v.text(ControlId::Timeout), "20000");
    EXPECT_EQ(v.text(ControlId::SampleRate), "1");
    EXPECT_EQ(v.text(ControlId::SlaveId), "1");
    EXPECT_EQ(v.text(ControlId::StartRegister), "1");
    EXPECT_EQ(v.text(ControlId::RegisterCount), "1");
    EXPECT_EQ(v.text(ControlId::RegisterLabel, 0), "400001");
    for (int row = 0; row < kValueRows; ++row) {
        EXPECT_EQ(v.text(ControlId::Value, row), "0");
        if (row > 0) {
            EXPECT_EQ(v.text(ControlId::RegisterLabel, row), "0");
        }
    }
    for (ControlId id : {ControlId::TransactionTime,
                         ControlId::MinTime,
                         ControlId::MaxTime,
                         ControlId::ErrorCount,
                         ControlId::TransactionCount}) {
        EXPECT_EQ(v.text(id), "0");
    }
    EXPECT_EQ(c.dlg.scatterTransactionNo(), 1);
    EXPECT_EQ(c.dlg.mbapTransactionNo(), 1);
    EXPECT_FALSE(c.dlg.busy());
    EXPECT_TRUE(v.boxes().empty());
}

TEST(ConsoleSettings, BadIntegerStopsTheTransferAtItsEdit)
{
    struct Case
    {
        ControlId bad;
        const char* text;
    };

    const Case cases[] = {{ControlId::SlaveId, ""},
                          {ControlId::SlaveId, "1 2"},
                          {ControlId::RegisterCount, "x"},
                          {ControlId::Timeout, "1e3"},
                          {ControlId::SampleRate, "+-1"},
                          {ControlId::StartRegister, "99999999999"}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        OpenedConsole c;
        c.view.type(ControlId::Address, "10.0.0.9"); // before every numeric edit but the first
        c.view.type(ControlId::Value, "77", 3);      // after all of them
        c.view.type(k.bad, k.text);
        const ConsoleSettings before = c.dlg.settings();
        c.dlg.saveTransfer();
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>{"Please enter an integer."});
        EXPECT_EQ(c.view.focus(), k.bad);
        EXPECT_EQ(c.dlg.settings().m_values[3], "0") << "fields after the bad edit keep old values";
        const bool addressBefore = k.bad == ControlId::Timeout || k.bad == ControlId::SampleRate;
        EXPECT_EQ(c.dlg.settings().m_address, addressBefore ? "10.0.0.9" : before.m_address);
        EXPECT_EQ(c.dlg.settings().m_slaveId, before.m_slaveId);
    }
}

TEST(ConsoleSettings, IntegersAcceptBlanksAndSigns)
{
    OpenedConsole c;
    c.view.type(ControlId::SlaveId, " \t-7 ");
    c.view.type(ControlId::StartRegister, "+65537");
    c.dlg.saveTransfer();
    EXPECT_TRUE(c.view.boxes().empty());
    EXPECT_EQ(c.dlg.settings().m_slaveId, -7);
    EXPECT_EQ(c.dlg.settings().m_startRegister, 65537);
}

TEST(ConsoleSettings, IndexOutsideItsListShowsNoneAndReadsBackMinusOne)
{
    OpenedConsole c;
    c.dlg.settings().m_baudRate = 7;
    c.dlg.settings().m_sampleMode = static_cast<SampleMode>(-4);
    c.dlg.showTransfer();
    EXPECT_EQ(c.view.index(ControlId::Baud), -1);
    c.dlg.saveTransfer();
    EXPECT_EQ(c.dlg.settings().m_baudRate, -1);
    EXPECT_EQ(c.dlg.settings().m_sampleMode, -1);
}

TEST(ConsoleSettings, ShowTransferLeavesEqualTextsUntouched)
{
    OpenedConsole c;
    const int before = c.view.setTextChanges(ControlId::SlaveId);
    c.dlg.showTransfer();
    c.dlg.showTransfer();
    EXPECT_EQ(c.view.setTextChanges(ControlId::SlaveId), before);
}

TEST(ConsoleRules, TcpIpForcesModbusAndDisablesTheSerialControls)
{
    OpenedConsole c;
    c.choosePort(3);
    for (ControlId id : {ControlId::Baud, ControlId::Parity, ControlId::Wiring}) {
        EXPECT_TRUE(c.view.isEnabled(id));
    }
    EXPECT_TRUE(c.view.isEnabled(ControlId::Protocol, Jbus));
    EXPECT_TRUE(c.view.isEnabled(ControlId::Protocol, ModbusAscii));
    EXPECT_FALSE(c.view.isEnabled(ControlId::Address));

    c.view.setIndex(ControlId::Protocol, ModbusAscii);
    c.dlg.selectAscii();
    c.choosePort(0);
    EXPECT_EQ(c.view.index(ControlId::Protocol), Modbus);
    EXPECT_EQ(c.dlg.settings().m_protocol, Modbus);
    EXPECT_TRUE(c.view.isEnabled(ControlId::Address));
    for (ControlId id : {ControlId::Baud, ControlId::Parity, ControlId::Wiring}) {
        EXPECT_FALSE(c.view.isEnabled(id));
    }
    EXPECT_FALSE(c.view.isEnabled(ControlId::Protocol, Jbus));
}

TEST(ConsoleRules, AsciiForcesEvenParityInADisabledBoxAndModbusEnablesItAgain)
{
    OpenedConsole c;
    c.choosePort(1);
    c.view.setIndex(ControlId::Parity, 1);
    c.view.setIndex(ControlId::Protocol, ModbusAscii);
    c.dlg.selectAscii();
    EXPECT_EQ(c.view.index(ControlId::Parity), 0);
    EXPECT_FALSE(c.view.isEnabled(ControlId::Parity));
    EXPECT_EQ(c.dlg.settings().m_protocol, ModbusAscii);
    c.view.setIndex(ControlId::Protocol, Modbus);
    c.dlg.showModbusLabels();
    EXPECT_TRUE(c.view.isEnabled(ControlId::Parity));
}

TEST(ConsoleRules, SingleRegisterHoldsTheCountAndGivesItBack)
{
    OpenedConsole c;
    c.view.type(ControlId::RegisterCount, "8");
    c.view.type(ControlId::Value, "5", 4);
    c.dataType(SingleHoldingRegister);
    EXPECT_EQ(c.view.text(ControlId::RegisterCount), "1");
    EXPECT_EQ(c.view.text(ControlId::Value, 4), "0");
    c.dataType(HoldingRegister);
    EXPECT_EQ(c.view.text(ControlId::RegisterCount), "8");

    c.dataType(SingleHoldingRegister);
    c.dataType(DeviceIdentification);
    EXPECT_EQ(c.view.text(ControlId::RegisterCount), "1");
    c.dataType(InputRegister);
    EXPECT_EQ(c.view.text(ControlId::RegisterCount), "8");
    EXPECT_EQ(c.dlg.settings().m_heldRegisterCount, 0);
}

TEST(ConsoleRules, DataTypeEnablesItsControls)
{
    struct Row
    {
        DataType type;
        bool count, read, write, start, sampleMode, value1, values;
    };

    const Row rows[] = {
        {HoldingRegister, true, true, true, true, true, true, true},
        {InputRegister, true, true, false, true, true, true, true},
        {SingleHoldingRegister, false, true, true, true, true, true, false},
        {ScatteredRead, true, true, false, true, true, true, true},
        {DeviceIdentification, false, true, false, false, false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.type);
        OpenedConsole c;
        c.view.setIndex(ControlId::SampleMode, Scheduled);
        c.dataType(r.type);
        EXPECT_EQ(c.view.isEnabled(ControlId::RegisterCount), r.count);
        EXPECT_EQ(c.view.isEnabled(ControlId::ReadButton), r.read);
        EXPECT_EQ(c.view.isEnabled(ControlId::WriteButton), r.write);
        EXPECT_EQ(c.view.isEnabled(ControlId::StartRegister), r.start);
        EXPECT_EQ(c.view.isEnabled(ControlId::SampleMode), r.sampleMode);
        EXPECT_EQ(c.view.isEnabled(ControlId::Value, 0), r.value1);
        for (int row = 1; row < kValueRows; ++row) {
            EXPECT_EQ(c.view.isEnabled(ControlId::Value, row), r.values);
        }
        EXPECT_EQ(c.view.index(ControlId::SampleMode),
                  r.type == DeviceIdentification ? Manual : Scheduled);
    }
}

TEST(ConsoleRules, SampleRateIsCheckedOnlyInTheScheduledModes)
{
    struct Case
    {
        SampleMode mode;
        const char* text;
        bool refused;
    };

    const Case cases[] = {{Manual, "0", false},
                          {Manual, "60001", false},
                          {Scheduled, "0", true},
                          {Scheduled, "60001", true},
                          {Scheduled, "60000", false},
                          {ScheduledWithLogging, "-5", true},
                          {ScheduledWithLogging, "1", false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.text) + " mode " + std::to_string(k.mode));
        OpenedConsole c;
        c.view.setIndex(ControlId::SampleMode, k.mode);
        c.view.type(ControlId::SampleRate, k.text);
        c.dlg.checkSampleRate();
        if (k.refused) {
            EXPECT_EQ(
                c.view.boxTexts(),
                std::vector<std::string>{"Sample rate value must be in the range from 1 to 60000"});
            EXPECT_EQ(c.view.text(ControlId::SampleRate), "1");
        } else {
            EXPECT_TRUE(c.view.boxes().empty());
            EXPECT_EQ(c.view.text(ControlId::SampleRate), k.text);
        }
    }
}

TEST(RegisterLabels, FormsAndRanges)
{
    struct Case
    {
        DataType type;
        ProtocolVariant protocol;
        const char* start;
        const char* count;
        std::vector<std::string> labels; // the first rows; the rest read "0"
    };

    const Case cases[] = {
        {HoldingRegister, Modbus, "1", "1", {"400001"}},
        {InputRegister, Modbus, "1", "3", {"300001", "300002", "300003"}},
        {HoldingRegister, Modbus, "65535", "3", {"465535", "465536", "465537"}},
        {HoldingRegister, Jbus, "0", "2", {"0", "1"}},
        {HoldingRegister, Modbus, "5", "0", {"400005"}},
        {HoldingRegister, Modbus, "65537", "1", {"400001"}},
        {HoldingRegister,
         ModbusAscii,
         "100",
         "12",
         {"400100",
          "400101",
          "400102",
          "400103",
          "400104",
          "400105",
          "400106",
          "400107",
          "400108",
          "400109"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.start) + "/" + k.count);
        OpenedConsole c;
        c.choosePort(1);
        c.view.setIndex(ControlId::DataType, k.type);
        c.view.setIndex(ControlId::Protocol, k.protocol);
        c.view.type(ControlId::StartRegister, k.start);
        c.view.type(ControlId::RegisterCount, k.count);
        c.dlg.refreshLabels();
        for (int row = 0; row < kValueRows; ++row) {
            const std::size_t i = static_cast<std::size_t>(row);
            EXPECT_EQ(c.view.text(ControlId::RegisterLabel, row),
                      i < k.labels.size() ? k.labels[i] : "0")
                << "row " << row;
        }
    }
}

TEST(RegisterLabels, JbusClickedTwiceRewritesOnce)
{
    OpenedConsole c;
    c.choosePort(1);
    c.view.type(ControlId::StartRegister, "10");
    c.view.setIndex(ControlId::Protocol, Jbus);
    c.dlg.showJbusLabels();
    EXPECT_EQ(c.view.text(ControlId::RegisterLabel, 0), "10");
    c.view.type(ControlId::RegisterLabel, "edited", 0);
    c.dlg.showJbusLabels();
    EXPECT_EQ(c.view.text(ControlId::RegisterLabel, 0), "edited");
    c.dlg.showModbusLabels();
    EXPECT_EQ(c.view.text(ControlId::RegisterLabel, 0), "400010");
}

TEST(TransactionStats, TimesAndExtremes)
{
    OpenedConsole c;
    c.dlg.recordTransactionTime({100, 900}, {101, 50});
    EXPECT_EQ(c.dlg.stats().lastMs, 150u);
    EXPECT_EQ(c.view.text(ControlId::TransactionTime), "150");

    OpenedConsole d;
    d.dlg.recordTransactionTime({1, 0}, {1, 40});
    d.dlg.recordTransactionTime({2, 0}, {2, 30});
    d.dlg.recordTransactionTime({3, 0}, {3, 35});
    EXPECT_EQ(d.view.text(ControlId::MinTime), "30");
    EXPECT_EQ(d.view.text(ControlId::MaxTime), "40");

    // A new run resets the working extremes; the shown ones stay until replaced.
    d.dlg.settings().m_timeoutMs = 5; // the read ends at its time-out check
    d.view.type(ControlId::Timeout, "5");
    d.dlg.onRead();
    d.dlg.recordTransactionTime({5, 0}, {5, 0});
    EXPECT_EQ(d.view.text(ControlId::MinTime), "0");
    EXPECT_EQ(d.view.text(ControlId::MaxTime), "40");
}

TEST(DisplayMode, ConvertsAllTenValues)
{
    struct Case
    {
        const char* decimal;
        const char* hex;
        const char* back;
    };

    const Case cases[] = {{"255", "ff", "255"},
                          {"-1", "ffffffff", "-1"},
                          {"", "0", "0"},
                          {"65535", "ffff", "65535"},
                          {"12abc", "c", "12"},
                          {"abc", "0", "0"}};
    OpenedConsole c;
    for (int row = 0; row < 6; ++row) {
        c.view.type(ControlId::Value, cases[row].decimal, row);
    }
    c.view.setIndex(ControlId::DisplayMode, Hex);
    c.dlg.changeDisplayMode();
    for (int row = 0; row < 6; ++row) {
        EXPECT_EQ(c.view.text(ControlId::Value, row), cases[row].hex) << row;
    }
    c.dlg.changeDisplayMode(); // the same mode again changes nothing
    EXPECT_EQ(c.view.text(ControlId::Value, 0), "ff");
    c.view.setIndex(ControlId::DisplayMode, Decimal);
    c.dlg.changeDisplayMode();
    for (int row = 0; row < 6; ++row) {
        EXPECT_EQ(c.view.text(ControlId::Value, row), cases[row].back) << row;
    }
}

} // namespace
} // namespace quarin::test
