#include "messages/mbap_header.h"

#include "messages/framing.h"

namespace quarin {

std::uint16_t MbapHeader(std::span<std::uint8_t> frame,
                         std::size_t totalLength,
                         std::uint16_t& transactionNo,
                         int slaveId)
{
    // The number is used up even when there is no room for the header.
    const std::uint16_t id = transactionNo;
    transactionNo = LowWord(std::int64_t{transactionNo} + 1);
    if (frame.size() < kMbapHeaderSize) {
        return id;
    }
    SplitWord(frame[0], frame[1], id);
    frame[2] = 0;
    frame[3] = 0;
    // Frames are far below 256 bytes, so the length's high byte stays 0.
    frame[4] = 0;
    frame[5] = LowByte(static_cast<std::int64_t>(totalLength) - 6);
    frame[6] = LowByte(slaveId);
    return id;
}

HeaderCheck CheckMbapHeader(std::span<const std::uint8_t> firstReceive)
{
    // An empty receive is a link failure the caller reports in its own words; should one reach
    // here it is, at least, not a header.
    if (firstReceive.size() < kMbapHeaderSize - 1) {
        return {kHeaderTooShort, 0};
    }
    // Only the low byte of the length counts: bounding it first keeps a bogus header from
    // sizing the rest of the read. The protocol identifier is not ours to judge.
    const std::size_t length = firstReceive[5];
    if (length < 2 || length > 254) {
        return {kLengthOutOfBounds, 0};
    }
    return {nullptr, length};
}

bool TransactionIdMatches(std::span<const std::uint8_t> frame, std::uint16_t sent)
{
    return frame.size() >= 2 && JoinWord(frame[0], frame[1]) == sent;
}

} // namespace quarin
