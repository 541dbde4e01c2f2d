#pragma once

// Reading and writing the little-endian fields of wave headers, byte by byte, whatever the
// machine's own byte order.

#include <cstdint>

namespace little_endian {

inline uint16_t get16(const uint8_t* at)
{
    return uint16_t(at[0] | at[1] << 8);
}

inline uint32_t get32(const uint8_t* at)
{
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

inline uint64_t get64(const uint8_t* at)
{
    return uint64_t(get32(at)) | uint64_t(get32(at + 4)) << 32;
}

inline void put16(uint8_t* at, uint16_t value)
{
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

inline void put32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = uint8_t(value >> (8 * i));
}

inline void put64(uint8_t* at, uint64_t value)
{
    put32(at, uint32_t(value));
    put32(at + 4, uint32_t(value >> 32));
}

} // namespace little_endian
