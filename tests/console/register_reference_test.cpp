// The register labels' tooltips: one register in its three spellings.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/register_reference.h"
#include "transactions/tx_console.h"

namespace quarin::test {
namespace {

TEST(RegisterCrossReference, GivesTheReferenceTheJbusAddressAndTheWireAddress)
{
    struct Case
    {
        const char* label;
        int row;
        bool jbusForm;
        DataType type;
        const char* tip;
    };

    const Case cases[] = {
        {"400001", 0, false, HoldingRegister, "400001 = Jbus 0 = 0x0000"},
        {"400002", 1, false, HoldingRegister, "400002 = Jbus 1 = 0x0001"},
        {"300010", 0, false, InputRegister, "300010 = Jbus 9 = 0x0009"},
        // The label's own table digit wins over the data type it was not rewritten for.
        {"300010", 0, false, HoldingRegister, "300010 = Jbus 9 = 0x0009"},
        {"465536", 0, false, HoldingRegister, "465536 = Jbus 65535 = 0xFFFF"},
        {"465537",
         1,
         false,
         HoldingRegister,
         "465537 = Jbus 65536 = 0x10000 (beyond the 16-bit "
         "range)"},
        {"400000",
         0,
         false,
         HoldingRegister,
         "400000 names no register; the request goes to Jbus 65535 = 0xFFFF"},
        {"0", 0, true, HoldingRegister, "400001 = Jbus 0 = 0x0000"},
        {"1", 1, true, HoldingRegister, "400002 = Jbus 1 = 0x0001"},
        {"4660", 0, true, InputRegister, "304661 = Jbus 4660 = 0x1234"},
        {"65535", 0, true, HoldingRegister, "465536 = Jbus 65535 = 0xFFFF"},
        // Rows beyond the count.
        {"0", 1, false, HoldingRegister, ""},
        {"0", 9, true, HoldingRegister, ""},
        // Not a label this console writes.
        {"40001", 0, false, HoldingRegister, ""},
        {"500001", 0, false, HoldingRegister, ""},
        {"4x0001", 0, false, HoldingRegister, ""},
        {"", 0, true, HoldingRegister, ""},
        {"-3", 0, true, HoldingRegister, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.label) + (c.jbusForm ? " Jbus" : " Modbus"));
        EXPECT_EQ(RegisterCrossReference(c.label, c.row, c.jbusForm, c.type), c.tip);
    }
}

TEST(RegisterCrossReference, FollowsTheLabelsTheConsoleShows)
{
    FakeConsole c;
    c.useSerial();
    c.type(ControlId::StartRegister, "100");
    c.type(ControlId::RegisterCount, "2");
    c.dlg.refreshLabels();
    EXPECT_EQ(c.dlg.registerLabelToolTip(0), "400100 = Jbus 99 = 0x0063");
    EXPECT_EQ(c.dlg.registerLabelToolTip(1), "400101 = Jbus 100 = 0x0064");
    EXPECT_EQ(c.dlg.registerLabelToolTip(2), "");

    // Under Jbus the same start register is another register: the wire address is the number.
    c.select(ControlId::Protocol, Jbus);
    c.dlg.showJbusLabels();
    ASSERT_EQ(c.view.text(ControlId::RegisterLabel, 0), "100");
    EXPECT_EQ(c.dlg.registerLabelToolTip(0), "400101 = Jbus 100 = 0x0064");

    c.select(ControlId::Protocol, Modbus);
    c.dataType(InputRegister);
    EXPECT_EQ(c.dlg.registerLabelToolTip(1), "300101 = Jbus 100 = 0x0064");
    EXPECT_EQ(c.dlg.registerLabelToolTip(-1), "");
    EXPECT_EQ(c.dlg.registerLabelToolTip(kValueRows), "");
}

// The one frame sent in the one port opened; empty otherwise.
Bytes onlyWrite(const FakeSerialPorts& ports)
{
    if (ports.opened.size() != 1 || ports.opened.front() == nullptr ||
        ports.opened.front()->writes.size() != 1) {
        return {};
    }
    return ports.opened.front()->writes.front();
}

TEST(RegisterCrossReference, MatchesTheAddressTheRequestCarries)
{
    for (const ProtocolVariant protocol : {Modbus, Jbus}) {
        SCOPED_TRACE(protocol);
        FakeConsole c;
        c.useSerial();
        c.select(ControlId::Protocol, protocol);
        if (protocol == Jbus) {
            c.dlg.showJbusLabels();
        }
        c.type(ControlId::StartRegister, "4661");
        c.dlg.refreshLabels();
        c.fp.serial.script.reads = {withCrc("01 03 02 00 0A")};
        c.read();
        const Bytes request = onlyWrite(c.fp.serial);
        ASSERT_EQ(request.size(), 8u);
        char wire[8];
        std::snprintf(wire, sizeof wire, "0x%02X%02X", request.at(2), request.at(3));
        const std::string tip = c.dlg.registerLabelToolTip(0);
        EXPECT_TRUE(tip.ends_with(wire)) << tip << " vs " << wire;
    }
}

} // namespace
} // namespace quarin::test
