#include "recording/sound_trigger.h"

#include <algorithm>
#include <cmath>
#include <cstring>

SoundTrigger::SoundTrigger(const SoundStart& how, Sample sample, int channels, int rate)
    : m_sample(sample), m_channels(std::max(1, channels)), m_blockFrames(size_t(std::max(1, rate / 100))),
      m_lastIn(size_t(m_channels)), m_lastOut(size_t(m_channels))
{
    const double threshold = std::clamp(how.thresholdDb, SoundStart::kLowestDb, SoundStart::kHighestDb);
    m_open = std::pow(10.0, threshold / 20);
    m_close = std::pow(10.0, (threshold - SoundStart::kHysteresisDb) / 20);
    m_aboveNeeded = uint64_t(rate) * SoundStart::kMinimumSoundMs / 1000;
    const double hang = std::clamp(how.hangSeconds, SoundStart::kShortestHangSeconds, SoundStart::kLongestHangSeconds);
    m_hangFrames = uint64_t(std::llround(hang * rate));
    m_pole = std::exp(-2 * M_PI * 20.0 / std::max(1, rate));
}

void SoundTrigger::feed(const void* data, size_t frames, std::vector<Event>& events)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < m_channels; ++c) {
            double x = 0;
            if (bytes) {
                const size_t i = f * size_t(m_channels) + size_t(c);
                if (m_sample == Sample::U8) {
                    x = (double(bytes[i]) - 128.0) / 128.0;
                } else {
                    int16_t s = 0;
                    std::memcpy(&s, bytes + 2 * i, 2);
                    x = double(s) / 32768.0;
                }
            }
            if (!m_primed)
                m_lastIn[size_t(c)] = x;
            const double y = x - m_lastIn[size_t(c)] + m_pole * m_lastOut[size_t(c)];
            m_lastIn[size_t(c)] = x;
            m_lastOut[size_t(c)] = y;
            m_blockPeak = std::max(m_blockPeak, std::fabs(y));
        }
        m_primed = true;
        if (++m_inBlock == m_blockFrames)
            block(events);
    }
}

void SoundTrigger::block(std::vector<Event>& events)
{
    const uint64_t start = m_frame;
    m_frame += m_inBlock;
    const double peak = m_blockPeak;
    m_blockPeak = 0;
    m_inBlock = 0;
    if (!m_sounding) {
        if (peak < m_open) {
            m_runFrames = 0;
            return;
        }
        if (m_runFrames == 0)
            m_runStart = start;
        m_runFrames += m_frame - start;
        if (m_runFrames >= m_aboveNeeded) {
            m_sounding = true;
            m_runFrames = 0;
            events.push_back({true, m_runStart});
        }
        return;
    }
    if (peak >= m_close) {
        m_runFrames = 0;
        return;
    }
    m_runFrames += m_frame - start;
    if (m_runFrames >= m_hangFrames) {
        m_sounding = false;
        m_runFrames = 0;
        events.push_back({false, m_frame});
    }
}
