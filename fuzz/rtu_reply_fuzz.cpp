// A whole serial read under Modbus RTU or Jbus with the slave's reply from the input: length
// classification, CRC, the field checks, the values shown and the identification box.

#include <algorithm>
#include <vector>

#include "harness.h"
#include "messages/framing.h"
#include "serial_read_case.h"

namespace {

// The frame routines on the raw input, which is exactly as long as the block holding it.
void CheckFraming(std::span<const std::uint8_t> bytes)
{
    using namespace quarin;
    const bool ok = BinaryFrameOk(bytes);
    const bool expected =
        bytes.size() >= 2 && fuzz::referenceCrc16(bytes.first(bytes.size() - 2)) ==
                                 (unsigned{bytes[bytes.size() - 1]} << 8 | bytes[bytes.size() - 2]);
    fuzz::Check(ok == expected, "BinaryFrameOk disagrees with the CRC");
    fuzz::Check(Crc16(bytes) == fuzz::referenceCrc16(bytes), "Crc16 disagrees with CRC-16/MODBUS");

    // A message with its CRC appended always passes, in a buffer with no byte to spare.
    const std::size_t m = std::min<std::size_t>(bytes.size(), 510);
    std::vector<std::uint8_t> buffer(m + 2);
    std::copy_n(bytes.begin(), m, buffer.begin());
    fuzz::Check(AppendCrc(buffer, m) == m + 2, "AppendCrc refused a buffer that fits");
    fuzz::Check(BinaryFrameOk(buffer), "a frame with its own CRC was refused");
    fuzz::Check(AppendCrc(std::span(buffer).first(m + 1), m) == 0,
                "AppendCrc wrote past the buffer it was given");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const quarin::fuzz::ExactInput input(data, size);
    CheckFraming(input.bytes());
    quarin::fuzz::RunSerialReadCase(input.bytes(), false);
    return 0;
}
