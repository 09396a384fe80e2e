#include <algorithm>
#include <array>
#include <string>

#include <gtest/gtest.h>

#include "messages/framing.h"
#include "support/bytes.h"

namespace quarin {
namespace {

using test::Bytes;
using test::hexBytes;
using test::textBytes;
using test::toHex;
using test::toText;

struct CrcCase
{
    const char* message;
    std::uint16_t crc; // the register value; the line carries it low byte first
};

TEST(Crc16, KnownVectors)
{
    // clang-format off
    const CrcCase cases[] = {
        {"",                                     0xFFFF},
        {"01 03 00 00 00 01",                    0x0A84},
        {"11 03 00 7C 00 02",                    0x4307}, // independent table: 07 43 on the line
        {"11 83 02",                             0x34C1}, // independent table: C1 34 on the line
        {"01 03 00 12 00 08",                    0x09E4}, // independent table, byte-swapped there
        {"01 10 00 63 00 03 06 00 01 FF FF 9C 40", 0x2540},
        {"01 10 00 63 00 03",                    0x1670},
        {"11 06 00 01 00 03",                    0x9B9A},
    };
    // clang-format on
    for (const CrcCase& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(Crc16(hexBytes(c.message)), c.crc);
    }
}

TEST(Crc16, AppendPutsTheLowByteFirst)
{
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"01 03 00 00 00 01",                       "01 03 00 00 00 01 84 0A"},
        {"11 03 00 7C 00 02",                       "11 03 00 7C 00 02 07 43"},
        {"11 83 02",                                "11 83 02 C1 34"},
        {"01 10 00 63 00 03 06 00 01 FF FF 9C 40",  "01 10 00 63 00 03 06 00 01 FF FF 9C 40 40 25"},
        {"01 10 00 63 00 03",                       "01 10 00 63 00 03 70 16"},
        {"11 06 00 01 00 03",                       "11 06 00 01 00 03 9A 9B"},
    };
    // clang-format on
    for (const auto& [message, frame] : cases) {
        SCOPED_TRACE(message);
        Bytes buffer = hexBytes(message);
        const std::size_t m = buffer.size();
        buffer.resize(m + 2);
        EXPECT_EQ(AppendCrc(buffer, m), m + 2);
        EXPECT_EQ(toHex(buffer), frame);
        EXPECT_TRUE(BinaryFrameOk(buffer));
    }
}

TEST(Crc16, AppendRefusesABufferWithoutRoom)
{
    Bytes buffer = hexBytes("01 03 00 00 00 01 EE");
    EXPECT_EQ(AppendCrc(buffer, 6), 0u);
    EXPECT_EQ(toHex(buffer), "01 03 00 00 00 01 EE");
    Bytes empty;
    EXPECT_EQ(AppendCrc(empty, 0), 0u);
}

TEST(BinaryFrame, EverySingleBitErrorIsRefused)
{
    const Bytes good = hexBytes("01 10 00 63 00 03 06 00 01 FF FF 9C 40 40 25");
    ASSERT_TRUE(BinaryFrameOk(good));
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bad = good;
            bad[at] ^= static_cast<std::uint8_t>(1u << bit);
            EXPECT_FALSE(BinaryFrameOk(bad)) << "byte " << at << " bit " << bit;
        }
    }
}

TEST(BinaryFrame, CrcSentHighByteFirstIsRefused)
{
    EXPECT_FALSE(BinaryFrameOk(hexBytes("01 03 00 00 00 01 0A 84")));
}

TEST(BinaryFrame, TooShortToHoldACrc)
{
    EXPECT_FALSE(BinaryFrameOk(Bytes{}));
    EXPECT_FALSE(BinaryFrameOk(hexBytes("FF")));
    EXPECT_TRUE(BinaryFrameOk(hexBytes("FF FF"))); // the CRC of nothing
}

TEST(Words, SplitAndJoinAreHighByteFirst)
{
    const std::uint16_t values[] = {0x0000, 0x0001, 0x00FF, 0x0100, 0x1234, 0x8000, 0xFFFF};
    for (const std::uint16_t value : values) {
        SCOPED_TRACE(value);
        std::uint8_t high = 0xAA;
        std::uint8_t low = 0xAA;
        SplitWord(high, low, value);
        EXPECT_EQ(high, value / 256);
        EXPECT_EQ(low, value % 256);
        EXPECT_EQ(JoinWord(high, low), value);
    }
}

TEST(Words, LowWordAndLowByteTakeTheNumberModulo)
{
    // clang-format off
    const std::pair<std::int64_t, std::uint16_t> words[] = {
        {0, 0}, {1, 1}, {-1, 0xFFFF}, {65535, 0xFFFF}, {65536, 0}, {40000, 0x9C40},
        {-32768, 0x8000}, {32768, 0x8000}, {-65536, 0}, {4294967296 + 5, 5},
    };
    // clang-format on
    for (const auto& [value, word] : words) {
        SCOPED_TRACE(value);
        EXPECT_EQ(LowWord(value), word);
    }
    EXPECT_EQ(LowByte(300), 44);
    EXPECT_EQ(LowByte(255), 255);
    EXPECT_EQ(LowByte(256), 0);
    EXPECT_EQ(LowByte(-1), 255);
}

TEST(HexPair, UpperCaseDigitsHighNibbleFirst)
{
    // clang-format off
    const std::pair<std::uint8_t, const char*> cases[] = {
        {0x00, "00"}, {0x09, "09"}, {0x0A, "0A"}, {0xA0, "A0"}, {0xFB, "FB"}, {0xFF, "FF"},
        {0x3C, "3C"},
    };
    // clang-format on
    for (const auto& [byte, text] : cases) {
        SCOPED_TRACE(text);
        std::uint8_t high = 0;
        std::uint8_t low = 0;
        HexPair(byte, high, low);
        EXPECT_EQ(high, text[0]);
        EXPECT_EQ(low, text[1]);
    }
}

TEST(Lrc, AllButTheLastByte)
{
    // clang-format off
    const std::pair<const char*, std::uint8_t> cases[] = {
        {"",                         0x00},
        {"05",                       0x00}, // one byte is only the received LRC
        {"01 99",                    0xFF},
        {"01 03 00 00 00 01 FB",     0xFB},
        {"01 03 00 00 00 01 00",     0xFB}, // the received LRC does not count
        {"11 03 00 7C 00 02 6E",     0x6E}, // independent table
        {"01 06 00 00 12 34 B3",     0xB3},
        {"80 80 00",                 0x00}, // the sum wraps at 8 bits
        {"FF FF FF 00",              0x03},
    };
    // clang-format on
    for (const auto& [bytes, lrc] : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(Lrc(hexBytes(bytes)), lrc);
    }
}

TEST(AsciiFrame, OkComparesTheLastByteWithTheLrc)
{
    EXPECT_TRUE(AsciiFrameOk(hexBytes("01 03 00 00 00 01 FB")));
    EXPECT_FALSE(AsciiFrameOk(hexBytes("01 03 00 00 00 01 FC")));
    EXPECT_FALSE(AsciiFrameOk(hexBytes("01 03 00 00 00 02 FB")));
    EXPECT_TRUE(AsciiFrameOk(hexBytes("00")));
    EXPECT_FALSE(AsciiFrameOk(Bytes{}));
}

struct EncodeCase
{
    const char* message;
    const char* frame;
};

TEST(AsciiEncode, InPlaceWithLrcAndLineEnd)
{
    // clang-format off
    const EncodeCase cases[] = {
        {"01 03 00 00 00 01",       ":010300000001FB\r\n"},
        {"01 06 00 00 12 34",       ":010600001234B3\r\n"},
        {"11 03 00 7C 00 02",       ":1103007C00026E\r\n"},
        {"0A BC DE F0",             ":0ABCDEF06C\r\n"},
        {"",                        ":00\r\n"},
    };
    // clang-format on
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.message);
        const Bytes message = hexBytes(c.message);
        Bytes buffer = message;
        buffer.resize(2 * message.size() + 5, 0xEE);
        EXPECT_EQ(AsciiEncode(buffer, message.size()), 2 * message.size() + 5);
        EXPECT_EQ(toText(buffer), c.frame);
    }
}

TEST(AsciiEncode, RefusesABufferWithoutRoom)
{
    Bytes buffer = hexBytes("01 03 00 00 00 01");
    buffer.resize(16, 0xEE); // one short of 17
    const Bytes before = buffer;
    EXPECT_EQ(AsciiEncode(buffer, 6), 0u);
    EXPECT_EQ(buffer, before);
}

TEST(AsciiEncode, WritesNothingBeyondTheFrame)
{
    Bytes buffer = hexBytes("01 03 00 00 00 01");
    buffer.resize(20, 0xEE);
    ASSERT_EQ(AsciiEncode(buffer, 6), 17u);
    EXPECT_EQ(toHex(std::span(buffer).subspan(17)), "EE EE EE");
}

TEST(AsciiDecode, TheWorkedExample)
{
    Bytes buffer = textBytes(":010300000001FB\r\n");
    ASSERT_EQ(AsciiDecode(buffer, buffer.size()), 7u);
    const auto decoded = std::span(buffer).first(7);
    EXPECT_EQ(toHex(decoded), "01 03 00 00 00 01 FB");
    EXPECT_EQ(Lrc(decoded), decoded.back());
    EXPECT_TRUE(AsciiFrameOk(decoded));
}

TEST(AsciiDecode, AWriteEchoReadWithoutItsLineFeed)
{
    Bytes buffer = textBytes(":010600001234B3\r");
    ASSERT_EQ(AsciiDecode(buffer, 16), 7u);
    EXPECT_EQ(toHex(std::span(buffer).first(7)), "01 06 00 00 12 34 B3");
}

struct PairCase
{
    std::array<std::uint8_t, 2> characters;
    std::uint8_t byte;
    const char* why;
};

TEST(AsciiDecode, CharacterPairs)
{
    // clang-format off
    const PairCase cases[] = {
        {{'0', 'A'}, 0x0A, "upper case"},
        {{'F', 'B'}, 0xFB, "upper case"},
        {{'0', 'a'}, 0x2A, "lower case is not recognised: 'a' counts 0x2A, unmasked"},
        {{'1', 'a'}, 0x3A, "the unmasked low digit is ORed in"},
        {{'a', '0'}, 0xA0, "a high digit of 0x2A keeps its low nibble"},
        {{'0', ':'}, 0x03, "':' is not a decimal digit: 0x3A - 0x37"},
        {{'0', ' '}, 0xE9, "below 0x37 wraps modulo 256"},
        {{0xB0, 0xB1}, 0x01, "bit 7 is ignored"},
        {{0xC6, 0xC2}, 0xFB, "bit 7 is ignored"},
    };
    // clang-format on
    for (const PairCase& c : cases) {
        SCOPED_TRACE(c.why);
        Bytes buffer = {':', c.characters[0], c.characters[1], '\r', '\n'};
        ASSERT_EQ(AsciiDecode(buffer, buffer.size()), 1u);
        EXPECT_EQ(buffer[0], c.byte);
    }
}

TEST(AsciiDecode, TheFirstCharacterIsNotChecked)
{
    for (const char first : {':', 'X', '\0', '0'}) {
        Bytes buffer = textBytes(":010300000001FB\r\n");
        buffer[0] = static_cast<std::uint8_t>(first);
        ASSERT_EQ(AsciiDecode(buffer, buffer.size()), 7u);
        EXPECT_EQ(toHex(std::span(buffer).first(7)), "01 03 00 00 00 01 FB");
    }
}

TEST(AsciiDecode, CountIsHalfTheLengthLessOne)
{
    // clang-format off
    const std::pair<std::size_t, std::size_t> cases[] = {
        {0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 1}, {5, 1}, {16, 7}, {17, 7}, {18, 8},
    };
    // clang-format on
    for (const auto& [length, count] : cases) {
        SCOPED_TRACE(length);
        Bytes buffer(32, '0');
        EXPECT_EQ(AsciiDecode(buffer, length), count);
    }
}

TEST(AsciiDecode, NeverLeavesTheBuffer)
{
    // The frame sits between guard bytes; a length beyond the span is cut to it.
    Bytes storage = textBytes("#:0102\r\n#");
    const auto frame = std::span(storage).subspan(1, 7);
    EXPECT_EQ(AsciiDecode(frame, 100), 2u);
    EXPECT_EQ(storage[1], 0x01);
    EXPECT_EQ(storage[2], 0x02);
    EXPECT_EQ(storage.front(), '#');
    EXPECT_EQ(storage.back(), '#');
    EXPECT_EQ(AsciiDecode(std::span<std::uint8_t>{}, 17), 0u);
}

TEST(AsciiFraming, EveryByteValueSurvivesTheRoundTrip)
{
    Bytes message(256);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(255 - i);
    }
    Bytes buffer = message;
    buffer.resize(2 * message.size() + 5);
    const std::size_t length = AsciiEncode(buffer, message.size());
    ASSERT_EQ(length, buffer.size());
    EXPECT_TRUE(std::all_of(buffer.begin() + 1, buffer.end() - 2, [](std::uint8_t c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    }));
    ASSERT_EQ(AsciiDecode(buffer, length), message.size() + 1);
    const auto decoded = std::span(buffer).first(message.size() + 1);
    EXPECT_TRUE(std::equal(message.begin(), message.end(), decoded.begin()));
    EXPECT_TRUE(AsciiFrameOk(decoded));
}

// One framing per line: the frame it puts on the line, its length, and the message it gives back.
TEST(SerialFraming, EachKindFramesAndChecksItsOwnWay)
{
    struct Case
    {
        SerialFrameKind kind;
        const char* line; // the frame of 11 03 00 7C 00 02
        std::size_t checkBytes;
    };

    const Case cases[] = {
        {BinaryFrame, "11 03 00 7C 00 02 07 43", 2},
        {AsciiFrame, ":1103007C00026E\r\n", 1},
    };
    for (const Case& c : cases) {
        const SerialFraming framing(c.kind);
        SCOPED_TRACE(framing.ascii() ? "ASCII" : "binary");
        const Bytes line = c.kind == BinaryFrame ? hexBytes(c.line) : textBytes(c.line);
        Bytes buffer = hexBytes("11 03 00 7C 00 02");
        buffer.resize(32);
        ASSERT_EQ(framing.encode(buffer, 6), line.size());
        EXPECT_EQ(framing.frameLength(6), line.size());
        EXPECT_TRUE(std::equal(line.begin(), line.end(), buffer.begin()));
        EXPECT_EQ(framing.checkBytes(), c.checkBytes);

        Bytes received = line;
        const std::size_t count = framing.decode(received, received.size());
        ASSERT_EQ(count, 6 + c.checkBytes);
        EXPECT_EQ(toHex(std::span(received).first(6)), "11 03 00 7C 00 02");
        EXPECT_TRUE(framing.verify(std::span(received).first(count)));
        received[count - 1] ^= 0x01;
        EXPECT_FALSE(framing.verify(std::span(received).first(count)));
        EXPECT_EQ(framing.encode(std::span(buffer).first(line.size() - 1), 6), 0u);
    }
}

} // namespace
} // namespace quarin
