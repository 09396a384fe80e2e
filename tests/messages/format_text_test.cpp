#include <string>

#include <gtest/gtest.h>

#include "messages/format_text.h"

namespace quarin {
namespace {

TEST(FormatText, FillsPlaceholders)
{
    EXPECT_EQ(formatText("Slave ID %d - %s", -3, "x"), "Slave ID -3 - x");
    EXPECT_EQ(formatText("%x", 0xABCDu), "abcd");
    EXPECT_EQ(formatText("%s", ""), "");
    EXPECT_EQ(formatText("no placeholder"), "no placeholder");
}

TEST(FormatText, AnyLength)
{
    const std::string longText(5000, 'q');
    const std::string result = formatText("<%s>", longText.c_str());
    EXPECT_EQ(result.size(), 5002u);
    EXPECT_EQ(result, "<" + longText + ">");
}

TEST(FormatText, KeepsEightBitCharacters)
{
    EXPECT_EQ(formatText("%s", "\xE9\xFF"), "\xE9\xFF");
}

} // namespace
} // namespace quarin
