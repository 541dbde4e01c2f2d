#pragma once

// The signal the end-to-end tests play and look for in a take: noise that is the same on every run,
// generated from the frame's number, so that every frame of a take can be placed in the signal
// without storing it. Full-scale noise in any sample format the recorder writes.

#include <cstdint>

namespace signal_code {

inline uint64_t mix(uint64_t x)
{
    // splitmix64's finaliser: every bit of the frame number reaches every bit of the sample.
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The sample of frame `frame`, channel `channel`, as the wave file stores it: 16-bit signed, or
// 8-bit unsigned held in the low byte.
inline int32_t sample(uint64_t frame, int channel, int bits)
{
    const uint64_t x = mix(frame * 2 + uint64_t(channel));
    if (bits == 8)
        return int32_t(x >> 56);
    return int32_t(int16_t(uint16_t(x >> 48)));
}

} // namespace signal_code
