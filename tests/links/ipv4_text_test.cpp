#include <string>

#include <gtest/gtest.h>

#include "links/ipv4_text.h"
#include "links/serial_line.h"
#include "messages/settings_types.h"

namespace quarin {

namespace {

constexpr std::uint32_t kRefused = 0xFFFFFFFFu;

} // namespace

TEST(IsHostName, AnythingButDigitsAndFullStopsIsAHostName)
{
    struct Row
    {
        std::string address;
        bool hostName;
    };

    const Row rows[] = {
        {"254.254.254.254", false},
        {"127.0.0.1", false},
        {"10", false},
        {"1..2", false},
        {"...", false},
        {"localhost", true},
        {"plc-1", true},
        {"127.0.0.1 ", true},
        {" 127.0.0.1", true},
        {"  ", true},
        {"0x7f.0.0.1", true},
        {"127.0.0.1/24", true},
        {"1:2", true},
        {std::string("127.0.0.1\xB1", 10), true},
        {std::string("1\0"
                     "2",
                     3),
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address);
        EXPECT_EQ(IsHostName(row.address), row.hostName);
    }
}

TEST(InetAddr, ConvertsEveryFormOfTheClassicDottedText)
{
    struct Row
    {
        const char* text;
        std::uint32_t address;
    };

    const Row rows[] = {
        {"127.0.0.1", 0x7F000001u},
        {"254.254.254.254", 0xFEFEFEFEu},
        {"0.0.0.0", 0x00000000u},
        {"192.168.1.20", 0xC0A80114u},
        // Octal parts, hex parts, and a mixture.
        {"0177.0.0.01", 0x7F000001u},
        {"0x7f.0.0.1", 0x7F000001u},
        {"0X7F.0x0.0X0.0x1", 0x7F000001u},
        {"0xC0.0250.1.0x14", 0xC0A80114u},
        // Short forms: the last part fills what is left.
        {"10.1", 0x0A000001u},
        {"10.1.2", 0x0A010002u},
        {"10.65535", 0x0A00FFFFu},
        {"10.1.65535", 0x0A01FFFFu},
        {"10.16777215", 0x0AFFFFFFu},
        {"167772161", 0x0A000001u},
        {"0x0A000001", 0x0A000001u},
        {"4294967294", 0xFFFFFFFEu},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(InetAddr(row.text), row.address);
    }
}

TEST(InetAddr, RefusedTextGivesAllOnes)
{
    for (const char* text : {"256.0.0.1",
                             "1.2.3.256",
                             "1.2.65536",
                             "1.16777216",
                             "4294967296",
                             "99999999999999999999",
                             "1.2.3.4.5",
                             "1.2.3.",
                             ".1.2.3",
                             "1..2.3",
                             "08.0.0.1",
                             "0x1g.0.0.1",
                             "a.b.c.d",
                             "localhost",
                             "-1.2.3.4",
                             "1.2.3.4/8"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(InetAddr(text), kRefused);
    }
    // Refused and the broadcast address are one and the same value.
    EXPECT_EQ(InetAddr("255.255.255.255"), kRefused);
}

TEST(LineSettingsFor, BaudParityAndProtocolGiveTheLine)
{
    struct Row
    {
        int baudIndex;
        int parityIndex;
        ProtocolVariant protocol;
        int baudRate;
        bool evenParity;
        int stopBits;
        int dataBits;
    };

    const Row rows[] = {
        {0, 0, Modbus, 1200, true, 1, 8},
        {1, 0, Jbus, 2400, true, 1, 8},
        {2, 1, Modbus, 4800, false, 2, 8},
        {3, 0, Modbus, 9600, true, 1, 8},
        {4, 1, Jbus, 19200, false, 2, 8},
        {5, 0, Modbus, 38400, true, 1, 8},
        {7, 0, Modbus, 38400, true, 1, 8},
        {-1, 0, Modbus, 38400, true, 1, 8},
        {5, 0, ModbusAscii, 38400, true, 1, 7},
        {3, 1, ModbusAscii, 9600, false, 2, 7},
        {3, -1, Modbus, 9600, false, 2, 8},
        {3, 2, Modbus, 9600, false, 2, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.baudIndex) + "/" + std::to_string(row.parityIndex) + "/" +
                     std::to_string(row.protocol));
        const LineSettings line = LineSettingsFor(row.baudIndex, row.parityIndex, row.protocol);
        EXPECT_EQ(line.baudRate, row.baudRate);
        EXPECT_EQ(line.evenParity, row.evenParity);
        EXPECT_EQ(line.stopBits, row.stopBits);
        EXPECT_EQ(line.dataBits, row.dataBits);
    }
}

} // namespace quarin
