// A whole serial read under Modbus ASCII with the slave's characters from the input: decoding,
// LRC, the field checks, the values shown and the identification box.

#include <algorithm>
#include <vector>

#include "harness.h"
#include "messages/framing.h"
#include "serial_read_case.h"

namespace {

void CheckFraming(std::span<const std::uint8_t> chars)
{
    using namespace quarin;
    // In place on a block of exactly the received length: the decoder must stay inside it.
    std::vector<std::uint8_t> block(chars.begin(), chars.end());
    block.shrink_to_fit();
    const std::size_t k = AsciiDecode(block, block.size());
    const fuzz::Bytes expected = fuzz::DecodeAsciiChars(chars);
    fuzz::Check(k == expected.size(), "AsciiDecode returned the wrong count");
    fuzz::Check(std::equal(expected.begin(), expected.end(), block.begin()),
                "AsciiDecode decoded differently");
    const std::span<const std::uint8_t> decoded(block.data(), k);
    fuzz::Check(
        AsciiFrameOk(decoded) ==
            (k >= 1 && decoded[k - 1] == (k >= 2 ? fuzz::referenceLrc(decoded.first(k - 1)) : 0)),
        "AsciiFrameOk disagrees with the LRC");

    // Encoding then decoding gives the message back with its LRC behind it.
    const std::size_t m = std::min<std::size_t>(chars.size(), 200);
    std::vector<std::uint8_t> frame(2 * m + 5);
    std::copy_n(chars.begin(), m, frame.begin());
    fuzz::Check(AsciiEncode(std::span(frame).first(2 * m + 4), m) == 0,
                "AsciiEncode wrote past the buffer it was given");
    std::copy_n(chars.begin(), m, frame.begin());
    fuzz::Check(AsciiEncode(frame, m) == 2 * m + 5, "AsciiEncode refused a buffer that fits");
    fuzz::Check(frame == fuzz::asciiFrame(chars.first(m)), "AsciiEncode framed differently");
    fuzz::Check(AsciiDecode(frame, frame.size()) == m + 1, "a frame did not decode to m + 1");
    fuzz::Check(std::equal(chars.begin(), chars.begin() + static_cast<long>(m), frame.begin()),
                "a frame did not decode to its message");
    fuzz::Check(AsciiFrameOk(std::span(frame).first(m + 1)), "a frame's own LRC was refused");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const quarin::fuzz::ExactInput input(data, size);
    CheckFraming(input.bytes());
    quarin::fuzz::RunSerialReadCase(input.bytes(), true);
    return 0;
}
