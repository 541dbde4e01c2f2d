#pragma once

#include "platform/mixer.h"

#include <memory>

class PulseContext;

// The mixer component on the sound server: the volume of a source in the capture's list (the
// default source for an index outside it, −1 and −2 included), every channel alike. Levels run from
// 0 (silent) to 65536 (100 %, the source's own level).
class PulseMixer : public Mixer {
public:
    static constexpr int32_t lowest = 0;
    static constexpr int32_t highest = 65536;

    explicit PulseMixer(std::shared_ptr<PulseContext> pulse);
    void Volume(int32_t source, int32_t level, LevelRange& range) override;

    // Whether the last Volume call reached the source.
    bool lastCallSucceeded() const { return m_lastSucceeded; }

private:
    std::shared_ptr<PulseContext> m_pulse;
    bool m_lastSucceeded = false;
};
