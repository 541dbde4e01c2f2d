#pragma once

#include <array>
#include <cstdint>
#include <optional>

// Element 0 the lowest and element 1 the highest recording level of a source; 2 and 3 are room the
// mixer may fill but nobody reads.
using LevelRange = std::array<int32_t, 4>;

// The mixer component: Volume(source, level, range) sets the source's recording level and fills
// range[0] and range[1] with the source's level bounds.
class Mixer {
public:
    virtual ~Mixer() = default;
    virtual void Volume(int32_t source, int32_t level, LevelRange& range) = 0;
    // Fills range[0] and range[1] with the source's level bounds, and changes nothing.
    virtual void levelRange(int32_t source, LevelRange& range) = 0;
    // The source's recording level as it is now; none when it cannot be told.
    virtual std::optional<int32_t> currentLevel(int32_t source) = 0;
};
