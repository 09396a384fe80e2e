#include <gtest/gtest.h>

#include "messages/mbap_header.h"
#include "messages/read_pdu.h"
#include "support/bytes.h"

namespace quarin {
namespace {

using test::Bytes;
using test::hexBytes;
using test::toHex;

TEST(MbapHeader, TheWorkedExample)
{
    ReadRequest request;
    request.registerCount = 2;
    Bytes frame(260, 0xEE);
    const std::size_t pdu = BuildReadRequest(std::span(frame).subspan(6), request);
    ASSERT_EQ(pdu, 6u);
    std::uint16_t counter = 1;
    EXPECT_EQ(MbapHeader(frame, 6 + pdu, counter, request.slaveId), 1);
    EXPECT_EQ(counter, 2);
    EXPECT_EQ(toHex(std::span(frame).first(12)), "00 01 00 00 00 06 01 03 00 00 00 02");
}

TEST(MbapHeader, Fields)
{
    // clang-format off
    const struct
    {
        std::uint16_t counter;
        std::size_t total;
        int slaveId;
        const char* header;
    } cases[] = {
        {0x1234, 12,  1,   "12 34 00 00 00 06 01"},
        {0xFFFF, 11,  17,  "FF FF 00 00 00 05 11"},
        {7,      211, 255, "00 07 00 00 00 CD FF"}, // scattered read of 100 registers
        {7,      13,  300, "00 07 00 00 00 07 2C"}, // the unit id is the low byte
        {0,      7,   0,   "00 00 00 00 00 01 00"},
    };

    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        Bytes frame(c.total, 0xEE);
        std::uint16_t counter = c.counter;
        EXPECT_EQ(MbapHeader(frame, c.total, counter, c.slaveId), c.counter);
        EXPECT_EQ(toHex(std::span(frame).first(7)), c.header);
    }
}

TEST(MbapHeader, TheCounterWrapsAfter65535)
{
    Bytes frame(12);
    std::uint16_t counter = 1;
    std::uint16_t last = 0;
    for (int request = 1; request <= 65535; ++request) {
        last = MbapHeader(frame, 12, counter, 1);
    }
    EXPECT_EQ(last, 65535);
    EXPECT_EQ(toHex(std::span(frame).first(2)), "FF FF");
    EXPECT_EQ(MbapHeader(frame, 12, counter, 1), 0);
    EXPECT_EQ(toHex(std::span(frame).first(2)), "00 00");
    EXPECT_EQ(MbapHeader(frame, 12, counter, 1), 1);
}

TEST(MbapHeader, ANumberIsUsedUpEvenWithoutRoom)
{
    Bytes small(6, 0xEE);
    std::uint16_t counter = 9;
    EXPECT_EQ(MbapHeader(small, 12, counter, 1), 9);
    EXPECT_EQ(counter, 10);
    EXPECT_EQ(toHex(small), "EE EE EE EE EE EE");
}

struct HeaderCase
{
    const char* what;
    const char* received;
    const char* failure;
    std::size_t length;
};

TEST(CheckMbapHeader, FirstReceive)
{
    // clang-format off
    const HeaderCase cases[] = {
        {"length 6",                 "00 01 00 00 00 06", nullptr,            6},
        {"length 2, the least",      "00 01 00 00 00 02", nullptr,            2},
        {"length 254, the most",     "00 01 00 00 00 FE", nullptr,            254},
        {"length 0",                 "00 01 00 00 00 00", kLengthOutOfBounds, 0},
        {"length 1",                 "00 01 00 00 00 01", kLengthOutOfBounds, 0},
        {"length 255",               "00 01 00 00 00 FF", kLengthOutOfBounds, 0},
        {"high byte is not looked at", "00 01 00 00 01 05", nullptr,          5},
        {"nor is the protocol id",   "00 01 12 34 00 07", nullptr,            7},
        {"nor the transaction id",   "AB CD 00 00 00 07", nullptr,            7},
        {"five bytes",               "00 01 00 00 00",    kHeaderTooShort,    0},
        {"three bytes",              "00 01 00",          kHeaderTooShort,    0},
        {"one byte",                 "00",                kHeaderTooShort,    0},
        {"nothing",                  "",                  kHeaderTooShort,    0},
    };
    // clang-format on
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.what);
        const HeaderCheck check = CheckMbapHeader(hexBytes(c.received));
        if (c.failure == nullptr) {
            EXPECT_EQ(check.failure, nullptr) << check.failure;
        } else {
            ASSERT_NE(check.failure, nullptr);
            EXPECT_STREQ(check.failure, c.failure);
        }
        EXPECT_EQ(check.length, c.length);
    }
}

TEST(CheckMbapHeader, TextsAreTheProgramsOwn)
{
    EXPECT_STREQ(kHeaderTooShort,
                 "Too short of ModbusTCP/IP header data returned from socket recv operation.");
    EXPECT_STREQ(kLengthOutOfBounds,
                 "Out of bounds message size received in ModbusTCP/IP header information.");
    EXPECT_EQ(kModbusTcpPort, 502);
}

TEST(TransactionIdMatches, BigEndianAgainstTheIdSent)
{
    EXPECT_TRUE(TransactionIdMatches(hexBytes("12 34 00 00 00 03 01 83 02"), 0x1234));
    EXPECT_FALSE(TransactionIdMatches(hexBytes("34 12 00 00 00 03 01 83 02"), 0x1234));
    EXPECT_FALSE(TransactionIdMatches(hexBytes("00 01 00 00 00 03 01 83 02"), 2)); // an earlier one
    EXPECT_TRUE(TransactionIdMatches(hexBytes("FF FF"), 0xFFFF));
    EXPECT_FALSE(TransactionIdMatches(hexBytes("00"), 0));
    EXPECT_FALSE(TransactionIdMatches(Bytes{}, 0));
}

} // namespace
} // namespace quarin
