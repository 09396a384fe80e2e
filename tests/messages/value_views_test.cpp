// Every expected text here was worked out by hand from the bit patterns (IEEE 754 single: sign,
// 8 exponent bits biased by 127, 23 fraction bits; denormals are fraction x 2^-149).
#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "messages/value_views.h"

namespace quarin {
namespace {

TEST(ParseRegisterText, TakesWhatAReadWritesInEitherBase)
{
    struct Case
    {
        const char* text;
        bool hex;
        std::optional<std::uint16_t> value;
    };

    // clang-format off
    const Case cases[] = {
        {"0",           false, 0},
        {"65535",       false, 65535},
        {"00012",       false, 12},
        {"65536",       false, std::nullopt},
        {"99999999999", false, std::nullopt}, // must not wrap
        {"-1",          false, std::nullopt},
        {" 1",          false, std::nullopt},
        {"",            false, std::nullopt},
        {"ff",          false, std::nullopt},
        {"ffff",        true,  0xFFFF},
        {"FFFF",        true,  0xFFFF},
        {"0ffff",       true,  0xFFFF},
        {"12",          true,  0x12},
        {"10000",       true,  std::nullopt},
        {"0x10",        true,  std::nullopt},
        {"",            true,  std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + (c.hex ? " hex" : " decimal"));
        EXPECT_EQ(ParseRegisterText(c.text, c.hex), c.value);
    }
}

TEST(FloatText, ShortestTextAndTheSpecialValues)
{
    // clang-format off
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0x3F800000, "1"},
        {0xBF800000, "-1"},
        {0x41200000, "10"},             // 1.25 x 2^3
        {0x41480000, "12.5"},           // 1.5625 x 2^3
        {0x3DCCCCCD, "0.1"},
        {0x40490FDB, "3.1415927"},
        {0x4B000000, "8388608"},        // 2^23
        {0x7F7FFFFF, "3.4028235e+38"},  // the largest float
        {0x00800000, "1.1754944e-38"},  // the smallest normal one
        {0x007FFFFF, "1.1754942e-38 (denormal)"},
        {0x00000001, "1e-45 (denormal)"},
        {0x00008000, "4.5918e-41 (denormal)"}, // 2^-134
        {0x00000000, "0"},
        {0x80000000, "-0"},
        {0x7F800000, "+infinity"},
        {0xFF800000, "-infinity"},
        {0x7FC00000, "NaN (quiet)"},
        {0xFFFFFFFF, "NaN (quiet)"},
        {0x7F800001, "NaN (signalling)"},
        {0xFFBFFFFF, "NaN (signalling)"},
    };
    // clang-format on
    for (const auto& [bits, text] : cases) {
        SCOPED_TRACE(bits);
        EXPECT_EQ(FloatText(bits), text);
    }
}

TEST(RegisterViews, UnsignedSignedHexBinaryAndCharacters)
{
    // clang-format off
    const std::pair<std::uint16_t, const char*> cases[] = {
        {0x0000, "400001: 0 unsigned, 0 signed, 0x0000\n"
                 "binary 0000 0000 0000 0000, characters '\\x00' '\\x00'"},
        {0xFFFF, "400001: 65535 unsigned, -1 signed, 0xFFFF\n"
                 "binary 1111 1111 1111 1111, characters '\\xFF' '\\xFF'"},
        {0x8000, "400001: 32768 unsigned, -32768 signed, 0x8000\n"
                 "binary 1000 0000 0000 0000, characters '\\x80' '\\x00'"},
        {0x7FFF, "400001: 32767 unsigned, 32767 signed, 0x7FFF\n"
                 "binary 0111 1111 1111 1111, characters '\\x7F' '\\xFF'"},
        {0x4142, "400001: 16706 unsigned, 16706 signed, 0x4142\n"
                 "binary 0100 0001 0100 0010, characters 'A' 'B'"},
        {0x207E, "400001: 8318 unsigned, 8318 signed, 0x207E\n"
                 "binary 0010 0000 0111 1110, characters ' ' '~'"},
        {0x275C, "400001: 10076 unsigned, 10076 signed, 0x275C\n"
                 "binary 0010 0111 0101 1100, characters '\\'' '\\\\'"},
        {0x1F3C, "400001: 7996 unsigned, 7996 signed, 0x1F3C\n"
                 "binary 0001 1111 0011 1100, characters '\\x1F' '<'"},
    };
    // clang-format on
    for (const auto& [value, text] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(RegisterViews("400001", value), text);
    }
}

TEST(PairViews, BothWordOrdersMarkedWithTheirRegisters)
{
    struct Case
    {
        std::uint16_t first, second;
        const char* highFirst;
        const char* lowFirst;
    };

    // clang-format off
    const Case cases[] = {
        {0x4148, 0x0000,
         "1095237632 unsigned, 1095237632 signed, float 12.5",
         "16712 unsigned, 16712 signed, float 2.3418e-41 (denormal)"},
        {0x0000, 0x8000,
         "32768 unsigned, 32768 signed, float 4.5918e-41 (denormal)",
         "2147483648 unsigned, -2147483648 signed, float -0"},
        {0xFFFF, 0xFFFF,
         "4294967295 unsigned, -1 signed, float NaN (quiet)",
         "4294967295 unsigned, -1 signed, float NaN (quiet)"},
        {0x7F80, 0x0000,
         "2139095040 unsigned, 2139095040 signed, float +infinity",
         "32640 unsigned, 32640 signed, float 4.5738e-41 (denormal)"},
        {0x0000, 0xFF80,
         "65408 unsigned, 65408 signed, float 9.1656e-41 (denormal)",
         "4286578688 unsigned, -8388608 signed, float -infinity"},
        {0x7F80, 0x0001,
         "2139095041 unsigned, 2139095041 signed, float NaN (signalling)",
         "98176 unsigned, 98176 signed, float 1.37574e-40 (denormal)"},
        {0x4049, 0x0FDB,
         "1078530011 unsigned, 1078530011 signed, float 3.1415927",
         "266027081 unsigned, 266027081 signed, float 2.1619829e-29"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << " " << c.second);
        EXPECT_EQ(PairViews("400001", "400002", c.first, c.second),
                  std::string("400001-400002 high word first: ") + c.highFirst +
                      "\n400001-400002 low word first: " + c.lowFirst);
    }
}

} // namespace
} // namespace quarin
