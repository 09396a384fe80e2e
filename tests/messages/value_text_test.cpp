#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "messages/value_text.h"

namespace quarin {
namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

TEST(ParseStrictInteger, OnlyASignedDecimalBetweenBlanks)
{
    // clang-format off
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"0",             0},
        {"20000",         20000},
        {" 12 ",          12},
        {"\t-5\t",        -5},
        {"+7",            7},
        {"-0",            0},
        {"007",           7},
        {"2147483647",    2147483647},
        {"-2147483648",   kMin},
        {"",              std::nullopt},
        {"  \t ",         std::nullopt},
        {"-",             std::nullopt},
        {"+ 1",           std::nullopt},
        {"12a",           std::nullopt},
        {"1 2",           std::nullopt},
        {"1.0",           std::nullopt},
        {"0x10",          std::nullopt},
        {"\n5",           std::nullopt}, // blanks and tabs only
        {"5\r",           std::nullopt},
        {"--5",           std::nullopt},
        {"2147483648",    std::nullopt},
        {"-2147483649",   std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"4294967297",    std::nullopt}, // must not wrap to 1
    };
    // clang-format on
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ParseStrictInteger(text), value);
    }
}

TEST(LeadingDecimal, ReadsUpToTheFirstOtherCharacter)
{
    // clang-format off
    const std::pair<const char*, std::int32_t> cases[] = {
        {"",               0},
        {"abc",            0},
        {"12abc",          12},
        {"  -32769",       -32769},
        {"\n\t\v\f\r 42",  42},
        {"+65535",         65535},
        {"-32768",         -32768},
        {"+-1",            0},
        {"- 1",            0},
        {"1 2",            1},
        {"0x10",           0},
        {"2147483647",     kMax},
        {"-2147483648",    kMin},
        // Saturated, never wrapped into the range a write accepts.
        {"2147483648",     kMax},
        {"4294967295",     kMax},
        {"4294967296",     kMax},
        {"4294967297",     kMax},
        {"4294901760",     kMax},
        {"-4294967296",    kMin},
        {"-2147483649",    kMin},
        {"18446744073709551617", kMax},
        {"99999999999999999999999999999999", kMax},
    };
    // clang-format on
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(LeadingDecimal(text), value);
    }
}

TEST(LeadingHex, ReadsAThirtyTwoBitPattern)
{
    // clang-format off
    const std::pair<const char*, std::int32_t> cases[] = {
        {"",            0},
        {"xyz",         0},
        {"0x",          0},
        {"0xg",         0},
        {"FFFF",        0xFFFF},
        {"ffff",        0xFFFF},
        {"0x1A",        26},
        {"0XfF",        255},
        {"  7fff",      0x7FFF},
        {"12345",       0x12345},
        {"1fz",         0x1F},
        {"-1",          -1},
        {"-0x10",       -16},
        {"+a",          10},
        {"ffffffff",    -1},
        {"80000000",    kMin},
        {"7fffffff",    kMax},
        {"100000000",   0},          // the low 32 bits
        {"123456789",   0x23456789},
    };
    // clang-format on
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(LeadingHex(text), value);
    }
}

TEST(ParseWriteValue, ByDisplayMode)
{
    // clang-format off
    const struct
    {
        const char* text;
        bool hex;
        std::int32_t value;
    } cases[] = {
        {"abc",          false, 0},
        {"12abc",        false, 12},
        {"-32769",       false, -32769},
        {"65535",        false, 65535},
        {"65536",        false, 65536},
        {"-32768",       false, -32768},
        {"99999999999",  false, kMax},   // still refused by the range check
        {"4294967295",   false, kMax},   // not -1
        {"FFFF",         true,  -1},
        {"8000",         true,  -32768},
        {"7fff",         true,  32767},
        {"12345",        true,  0x2345},
        {"10000",        true,  0},
        {"xyz",          true,  0},
        {"-1",           true,  -1},
        {"0x10",         true,  16},
        {"123456789",    true,  0x6789},
        {"ffff8000",     true,  -32768},
    };

    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + (c.hex ? " hex" : " decimal"));
        EXPECT_EQ(ParseWriteValue(c.text, c.hex), c.value);
    }
}

TEST(DisplayModeChange, DecimalToHex)
{
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"255",            "ff"},
        {"-1",             "ffffffff"},
        {"",               "0"},
        {"0",              "0"},
        {"abc",            "0"},
        {"10",             "a"},
        {"65535",          "ffff"},
        {"  42x",          "2a"},
        {"-32768",         "ffff8000"},
        {"2147483647",     "7fffffff"},
        {"-2147483648",    "80000000"},
        {"99999999999",    "7fffffff"},   // eleven digits: saturated
        {"-9999999999",    "80000000"},
        {"0000000000012",  "0"},          // only the first eleven characters are read
        {"00000000012",    "c"},
    };
    // clang-format on
    for (const auto& [text, hex] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(DecimalToHexText(text), hex);
    }
}

TEST(DisplayModeChange, HexToDecimal)
{
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"ff",             "255"},
        {"ffffffff",       "-1"},
        {"",               "0"},
        {"zz",             "0"},
        {"a",              "10"},
        {"ABCD",           "43981"},
        {"0x10",           "16"},
        {"80000000",       "-2147483648"},
        {"7fffffff",       "2147483647"},
        {"ffff8000",       "-32768"},
        {"000000000001",   "0"},          // only the first eleven characters are read
        {"00000000001",    "1"},
    };
    // clang-format on
    for (const auto& [text, decimal] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(HexToDecimalText(text), decimal);
    }
}

TEST(DisplayModeChange, ThereAndBackKeepsEveryRegisterValue)
{
    for (std::int32_t value = -32768; value <= 65535; value += 7) {
        const std::string text = std::to_string(value);
        ASSERT_EQ(HexToDecimalText(DecimalToHexText(text)), text);
    }
    for (const char* text : {"-2147483648", "2147483647", "-1", "0"}) {
        EXPECT_EQ(HexToDecimalText(DecimalToHexText(text)), text);
    }
}

TEST(RegisterValueText, UnsignedDecimalOrLowerCaseHex)
{
    // clang-format off
    const struct
    {
        std::uint16_t value;
        const char* decimal;
        const char* hex;
    } cases[] = {
        {0,      "0",     "0"},
        {10,     "10",    "a"},
        {255,    "255",   "ff"},
        {4096,   "4096",  "1000"},
        {32768,  "32768", "8000"},
        {43981,  "43981", "abcd"},
        {65535,  "65535", "ffff"},
    };

    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.decimal);
        EXPECT_EQ(RegisterValueText(c.value, false), c.decimal);
        EXPECT_EQ(RegisterValueText(c.value, true), c.hex);
    }
}

TEST(RegisterValueText, ReadsBackAsTheSameWrite)
{
    // A value read in either mode is written back unchanged by a write in that mode.
    for (std::uint32_t value = 0; value <= 65535; value += 13) {
        const auto word = static_cast<std::uint16_t>(value);
        EXPECT_EQ(ParseWriteValue(RegisterValueText(word, false), false), word);
        const std::int32_t hex = ParseWriteValue(RegisterValueText(word, true), true);
        EXPECT_EQ(hex & 0xFFFF, word);
    }
}

} // namespace
} // namespace quarin
