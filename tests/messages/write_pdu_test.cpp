#include <gtest/gtest.h>

#include "messages/format_text.h"
#include "messages/framing.h"
#include "messages/write_pdu.h"
#include "support/bytes.h"
#include "transactions/transaction_texts.h"

namespace quarin {
namespace {

using test::Bytes;
using test::hexBytes;
using test::toHex;

WriteRequest Write(DataType type,
                   ProtocolVariant protocol,
                   int slaveId,
                   int start,
                   int count,
                   std::initializer_list<std::int32_t> values)
{
    WriteRequest request;
    request.dataType = type;
    request.protocol = protocol;
    request.slaveId = slaveId;
    request.startRegister = start;
    request.registerCount = count;
    request.values.fill(0x7777); // what must never be sent
    std::copy(values.begin(), values.end(), request.values.begin());
    return request;
}

struct BuildCase
{
    const char* what;
    WriteRequest request;
    const char* bytes;
};

TEST(RegisterWriteRequest, Layouts)
{
    // clang-format off
    const BuildCase cases[] = {
        {"16, three values",
         Write(HoldingRegister, Modbus, 1, 100, 3, {1, -1, 40000}),
         "01 10 00 63 00 03 06 00 01 FF FF 9C 40"},
        {"16 under Jbus",
         Write(HoldingRegister, Jbus, 1, 100, 3, {1, -1, 40000}),
         "01 10 00 64 00 03 06 00 01 FF FF 9C 40"},
        {"06",
         Write(SingleHoldingRegister, Modbus, 17, 2, 1, {3}),
         "11 06 00 01 00 03"},
        {"06 sends value 1 only, whatever the count",
         Write(SingleHoldingRegister, Modbus, 17, 2, 5, {3, 4}),
         "11 06 00 01 00 03"},
        {"values go out modulo 65536",
         Write(HoldingRegister, Modbus, 1, 1, 4, {65535, -32768, 32768, 65536}),
         "01 10 00 00 00 04 08 FF FF 80 00 80 00 00 00"},
        {"start register 65535",
         Write(SingleHoldingRegister, Modbus, 1, 65535, 1, {-1}),
         "01 06 FF FE FF FF"},
        {"slave 300",
         Write(SingleHoldingRegister, Modbus, 300, 1, 1, {0}),
         "2C 06 00 00 00 00"},
        {"ten values",
         Write(HoldingRegister, ModbusAscii, 1, 1, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
         "01 10 00 00 00 0A 14 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09 00 0A"},
    };
    // clang-format on
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out(256, 0xEE);
        const std::size_t length = RegisterWriteRequest(out, c.request);
        EXPECT_EQ(length, hexBytes(c.bytes).size());
        EXPECT_EQ(toHex(std::span(out).first(length)), c.bytes);
        EXPECT_EQ(out[length], 0xEE) << "wrote past its length";
    }
}

TEST(RegisterWriteRequest, RefusesWhatItCannotBuild)
{
    Bytes out(256);
    EXPECT_EQ(RegisterWriteRequest(out, Write(HoldingRegister, Modbus, 1, 1, 0, {})), 0u);
    EXPECT_EQ(RegisterWriteRequest(out, Write(HoldingRegister, Modbus, 1, 1, 11, {})), 0u);
    EXPECT_EQ(RegisterWriteRequest(out, Write(InputRegister, Modbus, 1, 1, 1, {})), 0u);
    EXPECT_EQ(RegisterWriteRequest(out, Write(ScatteredRead, Modbus, 1, 1, 1, {})), 0u);
    Bytes eight(8);
    EXPECT_EQ(RegisterWriteRequest(eight, Write(HoldingRegister, Modbus, 1, 1, 1, {})), 0u);
    Bytes nine(9);
    EXPECT_EQ(RegisterWriteRequest(nine, Write(HoldingRegister, Modbus, 1, 1, 1, {})), 9u);
    Bytes five(5);
    EXPECT_EQ(RegisterWriteRequest(five, Write(SingleHoldingRegister, Modbus, 1, 1, 1, {})), 0u);
}

TEST(RegisterWriteRequest, Framed)
{
    Bytes out(256);
    std::size_t m =
        RegisterWriteRequest(out, Write(HoldingRegister, Modbus, 1, 100, 3, {1, -1, 40000}));
    ASSERT_EQ(AppendCrc(out, m), 15u);
    EXPECT_EQ(toHex(std::span(out).first(15)), "01 10 00 63 00 03 06 00 01 FF FF 9C 40 40 25");

    m = RegisterWriteRequest(out, Write(SingleHoldingRegister, Modbus, 17, 2, 1, {3}));
    ASSERT_EQ(AppendCrc(out, m), 8u);
    EXPECT_EQ(toHex(std::span(out).first(8)), "11 06 00 01 00 03 9A 9B");

    m = RegisterWriteRequest(out, Write(SingleHoldingRegister, ModbusAscii, 1, 1, 1, {0x1234}));
    ASSERT_EQ(AsciiEncode(out, m), 17u);
    EXPECT_EQ(test::toText(std::span(out).first(17)), ":010600001234B3\r\n");
}

struct EchoCase
{
    const char* what;
    WriteRequest request;
    const char* echo;
    const char* serial; // nullptr: accepted
    const char* tcp;
};

TEST(WriteEcho, ChecksInOrderWithTheTextsOfBothLinks)
{
    const WriteRequest many = Write(HoldingRegister, Modbus, 1, 100, 3, {1, -1, 40000});
    const WriteRequest one = Write(SingleHoldingRegister, Modbus, 17, 2, 1, {3});
    const WriteRequest jbus = Write(HoldingRegister, Jbus, 1, 100, 3, {1, -1, 40000});
    const char* slave = "Slave ID in reponse does not match what was sent";
    const char* function = "Slave device responded with wrong response function code";
    const char* start =
        "Start register from slave device does not match what was requested to be written";
    const char* value =
        "Reply data from slave device does not match what was requested to be written";
    const char* quantity = "Reply number of registers from slave device does not match what "
                           "was requested to be written";
    // clang-format off
    const EchoCase cases[] = {
        {"16 accepted",          many, "01 10 00 63 00 03", nullptr, nullptr},
        {"06 accepted",          one,  "11 06 00 01 00 03", nullptr, nullptr},
        {"Jbus accepted",        jbus, "01 10 00 64 00 03", nullptr, nullptr},
        {"slave",                many, "02 10 00 63 00 03", slave,
         "Slave ID 1 - Slave ID in reponse does not match what was sent"},
        {"slave before function", many, "02 06 00 00 00 00", slave,
         "Slave ID 1 - Slave ID in reponse does not match what was sent"},
        {"function",             one,  "11 10 00 01 00 03", function,
         "Slave ID 17 - Response has wrong function code"},
        {"exception as function", one, "11 86 02 01 00 03", function,
         "Slave ID 17 - Response has wrong function code"},
        {"function before start", many, "01 06 00 00 00 00", function,
         "Slave ID 1 - Response has wrong function code"},
        {"start",                many, "01 10 00 64 00 03", start,
         "Slave ID 1 - Start register does not match what was requested to be written"},
        {"Jbus echo of 99",      jbus, "01 10 00 63 00 03", start,
         "Slave ID 1 - Start register does not match what was requested to be written"},
        {"start before quantity", many, "01 10 00 62 00 04", start,
         "Slave ID 1 - Start register does not match what was requested to be written"},
        {"value",                one,  "11 06 00 01 00 04", value,
         "Slave ID 17 - Reply data does not match what was requested to be written"},
        {"quantity",             many, "01 10 00 63 00 04", quantity,
         "Slave ID 1 - Reply number of registers does not match what was requested to be written"},
        {"both quantity bytes",  many, "01 10 00 63 01 03", quantity,
         "Slave ID 1 - Reply number of registers does not match what was requested to be written"},
    };
    // clang-format on
    for (const EchoCase& c : cases) {
        SCOPED_TRACE(c.what);
        for (const LinkKind link : {LinkKind::Serial, LinkKind::Tcp}) {
            const char* expected = link == LinkKind::Serial ? c.serial : c.tcp;
            const auto failure = WriteEcho(hexBytes(c.echo), c.request, link);
            if (expected == nullptr) {
                EXPECT_FALSE(failure.has_value()) << *failure;
            } else {
                ASSERT_TRUE(failure.has_value());
                EXPECT_EQ(*failure, expected);
            }
        }
    }
}

struct ValueEchoCase
{
    WriteRequest request;
    const char* echo;
    bool accepted;
};

TEST(WriteEcho, AddressesAndValuesCompareModulo65536)
{
    // clang-format off
    const ValueEchoCase cases[] = {
        {Write(SingleHoldingRegister, Modbus, 1, 1, 1, {-1}),        "01 06 00 00 FF FF", true},
        {Write(SingleHoldingRegister, Modbus, 1, 1, 1, {65535}),     "01 06 00 00 FF FF", true},
        {Write(SingleHoldingRegister, Modbus, 1, 1, 1, {-32768}),    "01 06 00 00 80 00", true},
        {Write(SingleHoldingRegister, Modbus, 1, 1, 1, {40000}),     "01 06 00 00 9C 40", true},
        {Write(SingleHoldingRegister, Modbus, 1, 1, 1, {40000}),     "01 06 00 00 9C 41", false},
        {Write(SingleHoldingRegister, Modbus, 1, 65535, 1, {0}),     "01 06 FF FE 00 00", true},
        {Write(SingleHoldingRegister, Jbus, 1, 65535, 1, {0}),       "01 06 FF FF 00 00", true},
        {Write(SingleHoldingRegister, ModbusAscii, 1, 100, 1, {0}),  "01 06 00 63 00 00", true},
        // Register 0 goes out as FFFF and comes back as 0 (modulo 65536).
        {Write(SingleHoldingRegister, Modbus, 1, 0, 1, {0}),         "01 06 FF FF 00 00", true},
        // A start register the echo can never reach.
        {Write(SingleHoldingRegister, Modbus, 1, 65536, 1, {0}),     "01 06 FF FF 00 00", false},
        {Write(HoldingRegister, Modbus, 1, 1, 10, {}),               "01 10 00 00 00 0A", true},
    };
    // clang-format on
    for (const ValueEchoCase& c : cases) {
        SCOPED_TRACE(c.echo);
        EXPECT_EQ(!WriteEcho(hexBytes(c.echo), c.request, LinkKind::Serial).has_value(),
                  c.accepted);
    }
}

TEST(WriteEcho, SlaveIdIsComparedWhole)
{
    const WriteRequest request = Write(SingleHoldingRegister, Modbus, 300, 1, 1, {0});
    EXPECT_EQ(WriteEcho(hexBytes("2C 06 00 00 00 00"), request, LinkKind::Tcp),
              "Slave ID 300 - Slave ID in reponse does not match what was sent");
}

TEST(WriteEcho, ACutEchoFailsAtItsFirstMissingField)
{
    const WriteRequest many = Write(HoldingRegister, Modbus, 1, 100, 3, {});
    const Bytes echo = hexBytes("01 10 00 63 00 03");
    const char* expected[] = {
        kSlaveIdMismatch,
        kEchoFunctionSerial,
        kEchoStartSerial,
        kEchoStartSerial,
        kEchoQuantitySerial,
        kEchoQuantitySerial,
    };
    for (std::size_t size = 0; size < std::size(expected); ++size) {
        SCOPED_TRACE(size);
        EXPECT_EQ(WriteEcho(std::span(echo).first(size), many, LinkKind::Serial), expected[size]);
    }
    EXPECT_FALSE(WriteEcho(echo, many, LinkKind::Serial).has_value());
}

TEST(WriteEcho, ExceptionTexts)
{
    EXPECT_EQ(formatText(kWriteException, 2), "Exception response form slave device - type 2");
    EXPECT_EQ(formatText(kSlavePrefix, 5) + ExceptionText(2),
              "Slave ID 5 - Exception response received - type 2");
    EXPECT_EQ(formatText(kWriteException, 0xFF), "Exception response form slave device - type 255");
}

} // namespace
} // namespace quarin
