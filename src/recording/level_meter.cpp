#include "recording/level_meter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace level_meter {

double toDb(double level)
{
    if (!(level > 0))
        return floorDb;
    return std::clamp(20.0 * std::log10(level), floorDb, 0.0);
}

// --- LevelTap ---

void LevelTap::publish(int channels, const float* peaks, const float* rms)
{
    channels = std::clamp(channels, 1, InputLevels::maxChannels);
    const uint64_t sequence = m_sequence.load(std::memory_order_relaxed);
    // The reader took the last batch: gathering starts again. Otherwise this batch's peaks join the
    // ones it has not seen yet (a race here only keeps a peak it has seen for one batch longer).
    if (m_taken.load(std::memory_order_acquire) == sequence)
        m_gathered.fill(0);
    float loudest = 0;
    for (int c = 0; c < channels; ++c) {
        m_gathered[size_t(c)] = std::max(m_gathered[size_t(c)], peaks[c]);
        loudest = std::max(loudest, peaks[c]);
    }
    uint32_t seen = m_loudest.load(std::memory_order_relaxed);
    const uint32_t bits = std::bit_cast<uint32_t>(loudest);
    while (bits > seen && !m_loudest.compare_exchange_weak(seen, bits, std::memory_order_relaxed)) {
    }

    m_sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    m_batch.channels.store(channels, std::memory_order_relaxed);
    for (int c = 0; c < channels; ++c) {
        m_batch.peak[size_t(c)].store(m_gathered[size_t(c)], std::memory_order_relaxed);
        m_batch.rms[size_t(c)].store(rms ? rms[c] : 0.0f, std::memory_order_relaxed);
    }
    m_batch.hasRms.store(rms != nullptr, std::memory_order_relaxed);
    m_sequence.store(sequence + 2, std::memory_order_release);
}

void LevelTap::beginCapture()
{
    m_clips.store(0, std::memory_order_relaxed);
    m_loudest.store(0, std::memory_order_relaxed);
    m_capture.fetch_add(1, std::memory_order_release);
}

InputLevels LevelTap::read()
{
    InputLevels levels;
    levels.capture = m_capture.load(std::memory_order_acquire);
    levels.clips = m_clips.load(std::memory_order_relaxed);
    InputLevels batch;
    uint64_t sequence = 0;
    bool whole = false;
    // The writer holds the batch for a few stores; a reader that keeps meeting it gives up for this
    // reading rather than spin.
    for (int attempt = 0; attempt < 64 && !whole; ++attempt) {
        sequence = m_sequence.load(std::memory_order_acquire);
        if (sequence & 1)
            continue;
        batch.channels = m_batch.channels.load(std::memory_order_relaxed);
        for (size_t c = 0; c < size_t(InputLevels::maxChannels); ++c) {
            batch.peak[c] = m_batch.peak[c].load(std::memory_order_relaxed);
            batch.rms[c] = m_batch.rms[c].load(std::memory_order_relaxed);
        }
        batch.hasRms = m_batch.hasRms.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        whole = m_sequence.load(std::memory_order_relaxed) == sequence;
    }
    if (!whole || sequence == m_lastRead)
        return levels;
    m_lastRead = sequence;
    m_taken.store(sequence, std::memory_order_release);
    levels.channels = batch.channels;
    levels.peak = batch.peak;
    levels.hasRms = batch.hasRms;
    levels.rms = batch.rms;
    return levels;
}

float LevelTap::takeLoudest()
{
    return std::bit_cast<float>(m_loudest.exchange(0, std::memory_order_relaxed));
}

// --- Analyser ---

Analyser::Analyser(Sample sample, int channels, int rate, LevelTap& tap)
    : m_sample(sample), m_channels(std::clamp(channels, 1, InputLevels::maxChannels)),
      m_frameBytes((sample == Sample::U8 ? 1 : 2) * size_t(m_channels)),
      m_windowFrames(uint32_t(std::max(1, rate * rmsWindowMs / 1000))), m_tap(tap)
{
}

template <int Channels, size_t SampleBytes, class Read>
void Analyser::stretch(const uint8_t* data, size_t count, Read read, int full)
{
    constexpr size_t step = size_t(Channels);
    // A constant: the addresses stay simple enough for the compiler to vectorise.
    constexpr size_t sampleBytes = SampleBytes;
    std::array<int, Channels> high{};
    std::array<int, Channels> low{};
    std::array<int64_t, Channels> sum{};
    for (size_t f = 0; f < count; ++f) {
        for (size_t c = 0; c < step; ++c) {
            const int value = read(data + (f * step + c) * sampleBytes);
            high[c] = std::max(high[c], value);
            low[c] = std::min(low[c], value);
            sum[c] += int64_t(value) * value;
        }
    }
    for (size_t c = 0; c < step; ++c) {
        m_peak[c] = std::max({m_peak[c], high[c], -low[c]});
        m_sum[c] += double(sum[c]);
        if (high[c] < full - 1 && low[c] > -full) {
            // Nothing at full scale: the first sample already broke any run.
            if (count > 0)
                m_run[c] = 0;
            continue;
        }
        for (size_t f = 0; f < count; ++f) {
            const int value = read(data + (f * step + c) * sampleBytes);
            if (value >= full - 1 || value <= -full) {
                if (++m_run[c] == clipRun)
                    m_tap.addClip();
            } else {
                m_run[c] = 0;
            }
        }
    }
}

template <size_t SampleBytes, class Read> void Analyser::frames(const uint8_t* data, size_t count, Read read, int full)
{
    while (count > 0) {
        // Up to the end of the RMS window.
        const size_t part = std::min<size_t>(count, m_windowFrames - m_inWindow);
        static_assert(InputLevels::maxChannels == 2, "a stretch is measured for one or two channels");
        if (m_channels == 1)
            stretch<1, SampleBytes>(data, part, read, full);
        else
            stretch<2, SampleBytes>(data, part, read, full);
        data += part * m_frameBytes;
        count -= part;
        m_inWindow += uint32_t(part);
        if (m_inWindow == m_windowFrames) {
            for (int c = 0; c < m_channels; ++c) {
                m_rms[size_t(c)] = float(std::sqrt(m_sum[size_t(c)] / m_windowFrames) / full);
                m_sum[size_t(c)] = 0;
            }
            m_inWindow = 0;
            m_hasRms = true;
        }
    }
}

void Analyser::feed(const void* data, size_t bytes)
{
    auto* bytesIn = static_cast<const uint8_t*>(data);
    size_t measured = 0;
    auto measure = [this, &measured](const uint8_t* at, size_t count) {
        if (count == 0)
            return;
        measured += count;
        if (m_sample == Sample::U8)
            frames<1>(
                at, count, [](const uint8_t* p) { return int(*p) - 128; }, 128);
        else
            frames<2>(
                at, count, [](const uint8_t* p) { return int(int16_t(uint16_t(p[0] | (p[1] << 8)))); }, 32768);
    };
    // A frame split between two buffers is completed from the start of this one.
    if (m_carried > 0) {
        const size_t take = std::min(bytes, m_frameBytes - m_carried);
        std::memcpy(m_carry.data() + m_carried, bytesIn, take);
        m_carried += take;
        bytesIn += take;
        bytes -= take;
        if (m_carried == m_frameBytes) {
            measure(m_carry.data(), 1);
            m_carried = 0;
        }
    }
    const size_t whole = bytes / m_frameBytes;
    measure(bytesIn, whole);
    const size_t rest = bytes - whole * m_frameBytes;
    if (rest > 0) {
        std::memcpy(m_carry.data() + m_carried, bytesIn + whole * m_frameBytes, rest);
        m_carried += rest;
    }
    if (measured > 0)
        publish();
}

void Analyser::gap()
{
    m_run.fill(0);
}

void Analyser::publish()
{
    const float full = m_sample == Sample::U8 ? 128.0f : 32768.0f;
    std::array<float, InputLevels::maxChannels> peaks{};
    for (int c = 0; c < m_channels; ++c) {
        peaks[size_t(c)] = float(m_peak[size_t(c)]) / full;
        m_peak[size_t(c)] = 0;
    }
    m_tap.publish(m_channels, peaks.data(), m_hasRms ? m_rms.data() : nullptr);
}

// --- Ballistics ---

void Ballistics::update(double now, std::optional<double> peakDb, std::optional<double> rmsDb)
{
    if (!m_started) {
        m_started = true;
        m_last = m_peakAt = m_rmsAt = m_holdAt = now;
    }
    const double fall = fallDbPerSecond * std::max(0.0, now - m_last);
    m_last = now;

    auto follow = [&](double& shown, double& at, std::optional<double> measured) {
        if (measured) {
            at = now;
            shown = std::max(std::clamp(*measured, floorDb, 0.0), shown - fall);
        } else if (now - at > staleSeconds) {
            shown = std::max(floorDb, shown - fall);
        }
    };
    follow(m_peak, m_peakAt, peakDb);
    follow(m_rms, m_rmsAt, rmsDb);

    if (m_peak >= m_hold) {
        m_hold = m_peak;
        m_holdAt = now;
    } else if (now - m_holdAt > holdSeconds) {
        m_hold = std::max(m_peak, m_hold - fall);
    }
}

void Ballistics::reset()
{
    *this = Ballistics();
}

} // namespace level_meter
