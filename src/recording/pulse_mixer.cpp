#include "recording/pulse_mixer.h"

#include "platform/pulse_context.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

PulseMixer::PulseMixer(std::shared_ptr<PulseContext> pulse) : m_pulse(std::move(pulse)) {}

PulseMixer::~PulseMixer()
{
    if (!m_pulse)
        return;
    PulseContext::Lock lock(*m_pulse);
    m_waiting.clear();
    if (m_inFlight) {
        // Cancelled under the lock, the callback that would reach this object never runs.
        if (pa_operation_get_state(m_inFlight) == PA_OPERATION_RUNNING)
            pa_operation_cancel(m_inFlight);
        pa_operation_unref(m_inFlight);
        m_inFlight = nullptr;
    }
}

void PulseMixer::Volume(int32_t source, int32_t level, LevelRange& range)
{
    // The range is filled even without a server, so the slider stays usable.
    range[0] = lowest;
    range[1] = highest;
    m_lastAccepted = false;
    if (!m_pulse)
        return;
    PulseContext::Lock lock(*m_pulse);
    releaseFinishedLocked();
    if (!m_pulse->context()) {
        // Waiting for a connection here would freeze the window. The level is dropped, but the
        // connection is made again in the background, so the slider's next step finds the server that
        // came back (a restarted one, or the next one on the same socket).
        m_waiting.clear();
        m_pulse->connectInBackground();
        return;
    }
    const PulseSource target = m_pulse->cachedSourceAt(source);
    if (target.name.empty())
        return;
    const auto volume = uint32_t(std::clamp(level, lowest, highest));
    auto waiting =
        std::find_if(m_waiting.begin(), m_waiting.end(), [&target](const Level& l) { return l.source == target.name; });
    if (waiting != m_waiting.end())
        waiting->volume = volume;
    else
        // The volume must carry the source's own channel count, or the server refuses it.
        m_waiting.push_back(Level{target.name, std::max<unsigned>(1, target.channels), volume});
    m_lastAccepted = m_inFlight ? true : sendNextLocked();
}

void PulseMixer::releaseFinishedLocked()
{
    // A connection that broke cancels the operation without calling back; without this the mixer
    // would wait for it forever.
    if (m_inFlight && pa_operation_get_state(m_inFlight) != PA_OPERATION_RUNNING) {
        pa_operation_unref(m_inFlight);
        m_inFlight = nullptr;
    }
}

bool PulseMixer::sendNextLocked()
{
    pa_context* context = m_pulse->context();
    if (!context) {
        m_waiting.clear();
        return false;
    }
    while (!m_waiting.empty()) {
        const Level next = std::move(m_waiting.front());
        m_waiting.erase(m_waiting.begin());
        pa_cvolume cv;
        pa_cvolume_set(&cv, next.channels, pa_volume_t(next.volume));
        m_inFlight = pa_context_set_source_volume_by_name(context, next.source.c_str(), &cv, volumeSet, this);
        if (m_inFlight)
            return true;
    }
    return false;
}

void PulseMixer::volumeSet(pa_context*, int, void* userdata)
{
    // On the loop thread, lock held. A refused level (the source has gone) does not hold up the next.
    auto* mixer = static_cast<PulseMixer*>(userdata);
    if (mixer->m_inFlight) {
        pa_operation_unref(mixer->m_inFlight);
        mixer->m_inFlight = nullptr;
    }
    mixer->sendNextLocked();
}

void PulseMixer::levelRange(int32_t, LevelRange& range)
{
    range[0] = lowest;
    range[1] = highest;
}

std::optional<int32_t> PulseMixer::currentLevel(int32_t source)
{
    if (!m_pulse)
        return std::nullopt;
    const PulseSource found = m_pulse->cachedSourceAt(source);
    if (found.name.empty())
        return std::nullopt;
    return int32_t(std::min<uint32_t>(found.volume, uint32_t(highest)));
}
