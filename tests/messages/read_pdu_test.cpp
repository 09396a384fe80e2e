#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messages/framing.h"
#include "messages/read_pdu.h"
#include "support/bytes.h"

namespace quarin {
namespace {

using test::Bytes;
using test::hexBytes;
using test::toHex;

ReadRequest Request(DataType type,
                    ProtocolVariant protocol,
                    int slaveId,
                    int start,
                    int count,
                    std::uint8_t transmissionNo = 0)
{
    ReadRequest request;
    request.dataType = type;
    request.protocol = protocol;
    request.slaveId = slaveId;
    request.startRegister = start;
    request.registerCount = count;
    request.transmissionNo = transmissionNo;
    return request;
}

struct BuildCase
{
    const char* what;
    ReadRequest request;
    const char* bytes;
};

TEST(BuildReadRequest, Layouts)
{
    // clang-format off
    const BuildCase cases[] = {
        {"holding, register 1",
         Request(HoldingRegister, Modbus, 1, 1, 1),              "01 03 00 00 00 01"},
        {"holding, two registers",
         Request(HoldingRegister, Modbus, 1, 1, 2),              "01 03 00 00 00 02"},
        {"independent table",
         Request(HoldingRegister, Modbus, 17, 125, 2),           "11 03 00 7C 00 02"},
        {"single holding reads with 03",
         Request(SingleHoldingRegister, Modbus, 1, 40, 1),       "01 03 00 27 00 01"},
        {"input registers",
         Request(InputRegister, Modbus, 2, 10, 125),             "02 04 00 09 00 7D"},
        {"ASCII numbers like Modbus",
         Request(InputRegister, ModbusAscii, 2, 10, 3),          "02 04 00 09 00 03"},
        {"Jbus sends the register itself",
         Request(HoldingRegister, Jbus, 1, 100, 3),              "01 03 00 64 00 03"},
        {"register 0 under Modbus wraps",
         Request(HoldingRegister, Modbus, 1, 0, 1),              "01 03 FF FF 00 01"},
        {"register 65536 under Modbus",
         Request(HoldingRegister, Modbus, 1, 65536, 1),          "01 03 FF FF 00 01"},
        {"register 65536 under Jbus wraps",
         Request(HoldingRegister, Jbus, 1, 65536, 1),            "01 03 00 00 00 01"},
        {"slave 300 sends its low byte",
         Request(HoldingRegister, Modbus, 300, 1, 1),            "2C 03 00 00 00 01"},
        {"quantity is the count's low byte",
         Request(HoldingRegister, Modbus, 1, 1, 300),            "01 03 00 00 00 2C"},
        {"scattered, Modbus",
         Request(ScatteredRead, Modbus, 1, 10, 3, 2),            "01 64 08 04 02 00 09 00 0A 00 0B"},
        {"scattered, Jbus",
         Request(ScatteredRead, Jbus, 1, 10, 3, 2),              "01 64 08 04 02 00 0A 00 0B 00 0C"},
        {"scattered addresses wrap like the start",
         Request(ScatteredRead, Modbus, 1, 65535, 3, 255),       "01 64 08 04 FF FF FE FF FF 00 00"},
        {"scattered addresses wrap under Jbus",
         Request(ScatteredRead, Jbus, 1, 65535, 2, 0),           "01 64 06 04 00 FF FF 00 00"},
        {"scattered, no address",
         Request(ScatteredRead, Modbus, 1, 10, 0, 9),            "01 64 02 04 09"},
        {"device identification",
         Request(DeviceIdentification, Modbus, 17, 99, 99),      "11 2B 0E 01 00"},
    };
    // clang-format on
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out(512, 0xEE);
        const std::size_t length = BuildReadRequest(out, c.request);
        const Bytes expected = hexBytes(c.bytes);
        EXPECT_EQ(length, expected.size());
        EXPECT_EQ(toHex(std::span(out).first(length)), c.bytes);
        EXPECT_EQ(out[length], 0xEE) << "wrote past its length";
    }
}

TEST(BuildReadRequest, ScatteredByteCountIsTakenModulo256)
{
    // clang-format off
    const std::pair<int, std::uint8_t> cases[] = {
        {1, 4}, {100, 202}, {126, 254}, {127, 0}, {128, 2},
    };
    // clang-format on
    for (const auto& [count, byteCount] : cases) {
        SCOPED_TRACE(count);
        Bytes out(600);
        ASSERT_EQ(BuildReadRequest(out, Request(ScatteredRead, Modbus, 1, 1, count, 1)),
                  5 + 2 * static_cast<std::size_t>(count));
        EXPECT_EQ(out[2], byteCount);
    }
}

TEST(BuildReadRequest, ScatteredHundredFillsEveryAddress)
{
    Bytes out(205);
    ASSERT_EQ(BuildReadRequest(out, Request(ScatteredRead, Modbus, 1, 1000, 100, 2)), 205u);
    for (std::size_t k = 0; k < 100; ++k) {
        EXPECT_EQ(JoinWord(out[5 + 2 * k], out[6 + 2 * k]), 999 + k) << k;
    }
}

TEST(BuildReadRequest, RefusesWhatItCannotBuild)
{
    Bytes five(5, 0xEE);
    EXPECT_EQ(BuildReadRequest(five, Request(HoldingRegister, Modbus, 1, 1, 1)), 0u);
    EXPECT_EQ(toHex(five), "EE EE EE EE EE");
    EXPECT_EQ(BuildReadRequest(five, Request(DeviceIdentification, Modbus, 1, 1, 1)), 5u);
    Bytes ten(10);
    EXPECT_EQ(BuildReadRequest(ten, Request(ScatteredRead, Modbus, 1, 1, 3)), 0u);
    Bytes big(512);
    EXPECT_EQ(BuildReadRequest(big, Request(ScatteredRead, Modbus, 1, 1, -1)), 0u);
    EXPECT_EQ(BuildReadRequest(big, Request(static_cast<DataType>(7), Modbus, 1, 1, 1)), 0u);
    EXPECT_EQ(BuildReadRequest(big, Request(static_cast<DataType>(-1), Modbus, 1, 1, 1)), 0u);
}

TEST(BuildReadRequest, FramedForTheSerialLine)
{
    Bytes out(512);
    const std::size_t m = BuildReadRequest(out, Request(HoldingRegister, Modbus, 1, 1, 1));
    ASSERT_EQ(AppendCrc(out, m), 8u);
    EXPECT_EQ(toHex(std::span(out).first(8)), "01 03 00 00 00 01 84 0A");

    const std::size_t again = BuildReadRequest(out, Request(HoldingRegister, ModbusAscii, 1, 1, 1));
    ASSERT_EQ(AsciiEncode(out, again), 17u);
    EXPECT_EQ(test::toText(std::span(out).first(17)), ":010300000001FB\r\n");
}

TEST(ReadFunctionCode, ByDataType)
{
    EXPECT_EQ(ReadFunctionCode(HoldingRegister), 0x03);
    EXPECT_EQ(ReadFunctionCode(SingleHoldingRegister), 0x03);
    EXPECT_EQ(ReadFunctionCode(InputRegister), 0x04);
    EXPECT_EQ(ReadFunctionCode(ScatteredRead), 0x64);
    EXPECT_EQ(ReadFunctionCode(DeviceIdentification), 0x2B);
}

TEST(ExceptionReply, RecognisedByBit7OfTheFunction)
{
    EXPECT_TRUE(IsExceptionReply(hexBytes("01 83 02")));
    EXPECT_TRUE(IsExceptionReply(hexBytes("11 E4")));
    EXPECT_FALSE(IsExceptionReply(hexBytes("01 03 02")));
    EXPECT_FALSE(IsExceptionReply(hexBytes("81")));
    EXPECT_FALSE(IsExceptionReply(Bytes{}));
    EXPECT_EQ(ExceptionText(2), "Exception response received - type 2");
    EXPECT_EQ(ExceptionText(0xFF), "Exception response received - type 255");
}

struct CheckCase
{
    const char* what;
    ReadRequest request;
    const char* reply;
    LinkKind link;
    const char* failure; // nullptr: accepted
};

TEST(CheckReadReply, FirstFailingCheckInOrder)
{
    const ReadRequest holding2 = Request(HoldingRegister, Modbus, 1, 1, 2);
    const ReadRequest input1 = Request(InputRegister, Modbus, 1, 1, 1);
    const ReadRequest scattered2 = Request(ScatteredRead, Modbus, 1, 1, 2, 7);
    const ReadRequest ident = Request(DeviceIdentification, Modbus, 1, 1, 1);
    const ReadRequest slave300 = Request(HoldingRegister, Modbus, 300, 1, 1);
    const LinkKind serial = LinkKind::Serial;
    const LinkKind tcp = LinkKind::Tcp;
    // clang-format off
    const CheckCase cases[] = {
        {"good holding",            holding2,   "01 03 04 00 0A FF FF",       serial, nullptr},
        {"good input",              input1,     "01 04 02 12 34",             tcp,    nullptr},
        {"good scattered",          scattered2, "01 64 06 04 07 00 01 00 02", serial, nullptr},
        {"good identification",     ident,      "01 2B 0E 01 01 00 00 00",    serial, nullptr},
        {"slave address",           holding2,   "02 03 04 00 0A FF FF",       serial, kSlaveIdMismatch},
        {"slave and function",      holding2,   "02 04 04 00 0A FF FF",       serial, kSlaveIdMismatch},
        {"300 never matches 44",    slave300,   "2C 03 02 00 0A",             serial, kSlaveIdMismatch},
        {"function",                holding2,   "01 04 04 00 0A FF FF",       serial, kWrongFunction},
        {"exception code as function", holding2, "01 83 02 00 0A FF FF",      serial, kWrongFunction},
        {"function and byte count", holding2,   "01 04 05 00 0A FF FF",       serial, kWrongFunction},
        {"byte count",              holding2,   "01 03 02 00 0A FF FF",       serial, kWrongByteCount},
        {"scattered count is 2n+2", scattered2, "01 64 04 04 07 00 01 00 02", serial, kWrongByteCount},
        {"count before sub",        scattered2, "01 64 04 05 07 00 01 00 02", serial, kWrongByteCount},
        {"sub-function",            scattered2, "01 64 06 03 07 00 01 00 02", serial, kWrongSubFunction},
        {"sub before number",       scattered2, "01 64 06 03 08 00 01 00 02", tcp,    kWrongSubFunction},
        {"MEI type",                ident,      "01 2B 0D 01 01 00 00 00",    serial, kWrongSubFunction},
        {"identification function", ident,      "01 2C 0E 01 01 00 00 00",    serial, kWrongFunction},
        {"identification, no count", ident,     "01 2B 0E",                   tcp,    nullptr},
    };
    // clang-format on
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.what);
        const auto failure = CheckReadReply(hexBytes(c.reply), c.request, c.link);
        if (c.failure == nullptr) {
            EXPECT_FALSE(failure.has_value()) << *failure;
        } else {
            ASSERT_TRUE(failure.has_value());
            EXPECT_EQ(*failure, c.failure);
        }
    }
}

struct TransmissionCase
{
    std::uint8_t sent;
    const char* reply;
    LinkKind link;
    const char* failure;
};

TEST(CheckReadReply, TransmissionNumberTexts)
{
    // clang-format off
    const TransmissionCase cases[] = {
        {7,   "01 64 04 04 08 00 01", LinkKind::Serial,
         "Response has invalid transmission number.  Expected:  7.  Actual:  8."},
        {7,   "01 64 04 04 08 00 01", LinkKind::Tcp,
         "Response has invalid transmission number.  Expected:  7.  Actual:  8"},
        {255, "01 64 04 04 00 00 01", LinkKind::Serial,
         "Response has invalid transmission number.  Expected:  255.  Actual:  0."},
        {200, "01 64 04 04 80 00 01", LinkKind::Tcp,
         "Response has invalid transmission number.  Expected:  200.  Actual:  128"},
        {0,   "01 64 04 04 00 00 01", LinkKind::Tcp, nullptr},
    };
    // clang-format on
    for (const TransmissionCase& c : cases) {
        SCOPED_TRACE(c.reply);
        const auto failure = CheckReadReply(
            hexBytes(c.reply), Request(ScatteredRead, Modbus, 1, 1, 1, c.sent), c.link);
        if (c.failure == nullptr) {
            EXPECT_FALSE(failure.has_value()) << *failure;
        } else {
            ASSERT_TRUE(failure.has_value());
            EXPECT_EQ(*failure, c.failure);
        }
    }
}

TEST(CheckReadReply, ACutReplyFailsAtItsFirstMissingField)
{
    const ReadRequest scattered = Request(ScatteredRead, Modbus, 1, 1, 2, 7);
    const Bytes reply = hexBytes("01 64 06 04 07 00 01 00 02");
    const std::string expected[] = {
        kSlaveIdMismatch,
        kWrongFunction,
        kWrongByteCount,
        kWrongSubFunction,
        "Response has invalid transmission number.  Expected:  7.  Actual:  -1.",
    };
    for (std::size_t size = 0; size < std::size(expected); ++size) {
        SCOPED_TRACE(size);
        const auto failure =
            CheckReadReply(std::span(reply).first(size), scattered, LinkKind::Serial);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(*failure, expected[size]);
    }
    EXPECT_FALSE(CheckReadReply(std::span(reply).first(5), scattered, LinkKind::Serial));

    const ReadRequest ident = Request(DeviceIdentification, Modbus, 1, 1, 1);
    EXPECT_EQ(CheckReadReply(hexBytes("01 2B"), ident, LinkKind::Tcp), kWrongSubFunction);
}

TEST(CheckReadReply, ByteCountForLargeCounts)
{
    EXPECT_FALSE(CheckReadReply(
        hexBytes("01 03 FA"), Request(HoldingRegister, Modbus, 1, 1, 125), LinkKind::Serial));
    // 2n no longer fits the byte: no reply can carry it.
    for (const char* reply : {"01 03 00", "01 03 FA", "01 03 FF"}) {
        SCOPED_TRACE(reply);
        EXPECT_EQ(CheckReadReply(hexBytes(reply),
                                 Request(HoldingRegister, Modbus, 1, 1, 128),
                                 LinkKind::Serial),
                  kWrongByteCount);
    }
}

TEST(CheckReadReply, TheTcpCallerStartsAtTheUnitId)
{
    const Bytes frame = hexBytes("00 01 00 00 00 07 01 03 04 00 0A FF FF");
    EXPECT_FALSE(CheckReadReply(
        std::span(frame).subspan(6), Request(HoldingRegister, Modbus, 1, 1, 2), LinkKind::Tcp));
}

TEST(CheckReadReply, TextsAreTheProgramsOwn)
{
    EXPECT_STREQ(kSlaveIdMismatch, "Slave ID in reponse does not match what was sent");
    EXPECT_STREQ(kWrongFunction, "Response has wrong function code");
    EXPECT_STREQ(kWrongByteCount, "Amount of data returned does not match what was requested");
    EXPECT_STREQ(kWrongSubFunction, "Response has wrong sub-function code");
}

struct ValuesCase
{
    const char* what;
    ReadRequest request;
    const char* reply;
    DisplayMode mode;
    std::vector<std::string> values; // the ten texts afterwards; "-" was there before
};

TEST(ExtractValues, TextsByDisplayMode)
{
    const std::string k = "-";
    // clang-format off
    const ValuesCase cases[] = {
        {"decimal", Request(HoldingRegister, Modbus, 1, 1, 2), "01 03 04 FF FF 00 0A", Decimal,
         {"65535", "10", k, k, k, k, k, k, k, k}},
        {"hex", Request(HoldingRegister, Modbus, 1, 1, 2), "01 03 04 FF FF 00 0A", Hex,
         {"ffff", "a", k, k, k, k, k, k, k, k}},
        {"hex without leading zeros", Request(InputRegister, Modbus, 1, 1, 3),
         "01 04 06 AB CD 00 00 01 00", Hex, {"abcd", "0", "100", k, k, k, k, k, k, k}},
        {"decimal, unsigned", Request(InputRegister, Modbus, 1, 1, 3),
         "01 04 06 AB CD 80 00 01 00", Decimal, {"43981", "32768", "256", k, k, k, k, k, k, k}},
        {"scattered values start at byte 5", Request(ScatteredRead, Modbus, 1, 1, 2, 3),
         "01 64 06 04 03 00 07 12 34", Hex, {"7", "1234", k, k, k, k, k, k, k, k}},
        {"a cut reply stops early", Request(HoldingRegister, Modbus, 1, 1, 3),
         "01 03 06 00 01 00", Decimal, {"1", k, k, k, k, k, k, k, k, k}},
    };
    // clang-format on
    for (const ValuesCase& c : cases) {
        SCOPED_TRACE(c.what);
        ValueTexts values;
        values.fill(k);
        ExtractValues(hexBytes(c.reply), c.request, c.mode, values);
        EXPECT_EQ(std::vector<std::string>(values.begin(), values.end()), c.values);
    }
}

TEST(ExtractValues, OnlyTheFirstTenAreKept)
{
    Bytes reply = hexBytes("01 03 18");
    for (std::uint8_t k = 1; k <= 12; ++k) {
        reply.push_back(0);
        reply.push_back(k);
    }
    ValueTexts values = zeroTexts();
    ExtractValues(reply, Request(HoldingRegister, Modbus, 1, 1, 12), Decimal, values);
    const ValueTexts expected = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};
    EXPECT_EQ(values, expected);
}

struct IdentCase
{
    const char* what;
    Bytes reply;
    std::string text;
};

Bytes Ident(std::initializer_list<std::uint8_t> objects, std::uint8_t count)
{
    Bytes reply = hexBytes("01 2B 0E 01 01 00 00");
    reply.push_back(count);
    reply.insert(reply.end(), objects);
    return reply;
}

TEST(IdentificationText, Walks)
{
    // clang-format off
    const IdentCase cases[] = {
        {"three objects",
         Ident({0, 4, 'A', 'c', 'm', 'e', 1, 2, 'X', '1', 2, 3, '1', '.', '0'}, 3),
         "Vendor Name:  Acme\n\rProduct Code:  X1\n\rRevision:  1.0\n\r"},
        {"unknown id has no label",  Ident({5, 3, 'a', 'b', 'c'}, 1), "abc\n\r"},
        {"zero objects",             Ident({0, 1, 'Z'}, 0), ""},
        {"an empty value",           Ident({2, 0}, 1), "Revision:  \n\r"},
        {"bytes pass unchanged",     Ident({0x80, 2, 0xE9, 0x00}, 1), std::string("\xE9\0\n\r", 4)},
        {"objects beyond the count", Ident({1, 1, 'P', 2, 1, 'R'}, 1), "Product Code:  P\n\r"},
        {"no count byte",            hexBytes("01 2B 0E 01 01 00 00"), ""},
        {"count but no objects",     Ident({}, 3), ""},
        {"cut inside a value",
         Ident({0, 4, 'A', 'c', 'm', 'e', 1, 5, 'X', '1'}, 2),
         "Vendor Name:  Acme\n\rProduct Code:  X1\n\r"},
        {"cut after a length",       Ident({0, 1, 'A', 2, 9}, 2), "Vendor Name:  A\n\rRevision:  \n\r"},
        {"cut after an id",          Ident({0, 1, 'A', 1}, 3), "Vendor Name:  A\n\rProduct Code:  \n\r"},
        {"count beyond the objects", Ident({0, 1, 'A'}, 255), "Vendor Name:  A\n\r"},
    };
    // clang-format on
    for (const IdentCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(IdentificationText(c.reply), c.text);
    }
}

TEST(IdentificationText, TheTcpCallerStartsAtTheUnitId)
{
    Bytes frame = hexBytes("00 05 00 00 00 0D 01 2B 0E 01 01 00 00 01 02 03");
    frame.insert(frame.end(), {'1', '.', '2'});
    EXPECT_EQ(IdentificationText(std::span(frame).subspan(6)), "Revision:  1.2\n\r");
}

TEST(WireAddress, ModbusCountsFromOneJbusFromZero)
{
    EXPECT_EQ(WireAddress(1, Modbus), 0);
    EXPECT_EQ(WireAddress(1, ModbusAscii), 0);
    EXPECT_EQ(WireAddress(1, Jbus), 1);
    EXPECT_EQ(WireAddress(0, Modbus), 0xFFFF);
    EXPECT_EQ(WireAddress(65535, Modbus), 65534);
    EXPECT_EQ(WireAddress(65535, Jbus), 65535);
    EXPECT_EQ(WireAddress(-2147483647 - 1, Modbus), 0xFFFF);
    EXPECT_EQ(WireAddress(2147483647, Jbus), 0xFFFF);
}

} // namespace
} // namespace quarin
