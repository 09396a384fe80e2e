#pragma once

// CRC-16/MODBUS and the ASCII LRC written out apart from the code under test, for the slaves,
// fakes and oracles of the tests, benchmarks and fuzz targets: the frames they build must not lean
// on what they judge.

#include <cstdint>
#include <span>

namespace quarin::test {

inline std::uint16_t referenceCrc16(std::span<const std::uint8_t> bytes)
{
    unsigned crc = 0xFFFF;
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xA001u : crc >> 1;
        }
    }
    return static_cast<std::uint16_t>(crc);
}

// The two's complement of the byte sum.
inline std::uint8_t referenceLrc(std::span<const std::uint8_t> bytes)
{
    unsigned sum = 0;
    for (const std::uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<std::uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu);
}

} // namespace quarin::test
