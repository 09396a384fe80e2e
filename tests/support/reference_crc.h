#pragma once

// CRC-16/MODBUS written out apart from the code under test, for the slaves, fakes and oracles of
// the tests, benchmarks and fuzz targets: the frames they build must not lean on what they judge.

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

} // namespace quarin::test
