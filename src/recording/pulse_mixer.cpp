#include "recording/pulse_mixer.h"

#include "platform/pulse_context.h"

#include <algorithm>

PulseMixer::PulseMixer(std::shared_ptr<PulseContext> pulse) : m_pulse(std::move(pulse)) {}

void PulseMixer::Volume(int32_t source, int32_t level, LevelRange& range)
{
    // The range is filled even without a server, so the slider stays usable.
    range[0] = lowest;
    range[1] = highest;
    m_lastSucceeded = false;
    if (!m_pulse)
        return;
    const PulseSource target = m_pulse->sourceAt(source);
    if (target.name.empty())
        return;
    m_lastSucceeded = m_pulse->setSourceVolume(target.name, uint32_t(std::clamp(level, lowest, highest)));
}
