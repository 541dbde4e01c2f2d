#pragma once

#include "platform/capture_component.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

// The input level meter without its widget: the measuring of PCM samples as they arrive, the hand-over
// of what was measured from the sound server's thread to the window's, and how the bars rise, hold
// and fall.
namespace level_meter {

// The meter's scale: -60 dBFS to 0 dBFS. Anything quieter reads as the floor.
inline constexpr double floorDb = -60.0;
// Full-scale samples in a row that count as clipping.
inline constexpr int clipRun = 3;
// A recording whose peak stays below -60 dBFS hears nothing.
inline constexpr float silenceLevel = 0.001f;
// The window of the RMS value.
inline constexpr int rmsWindowMs = 50;

// 20 log10 of a fraction of full scale, never below the floor.
double toDb(double level);

// What one thread measures and another reads, without a lock: the measuring thread (the sound
// server's callbacks) publishes each batch, the reading thread (the window's timer) takes the peaks
// of every batch since its last reading. A reading never sees half a batch and never loses a peak.
class LevelTap {
public:
    // --- the measuring thread ---

    // One batch: the loudest sample of each channel, and the RMS values when the samples themselves
    // were measured (null otherwise).
    void publish(int channels, const float* peaks, const float* rms);
    // One more run of clipRun full-scale samples in the running capture.
    void addClip() { m_clips.fetch_add(1, std::memory_order_relaxed); }

    // --- any thread ---

    // A new capture: its clips are counted from 0, and its readings carry its number.
    void beginCapture();

    // --- the reading thread ---

    // What was published since the last reading.
    InputLevels read();
    // The loudest sample published since the last call, 0 to 1, for a watch of its own (the silence
    // warning) that does not disturb read().
    float takeLoudest();

private:
    struct Batch {
        std::atomic<int> channels{0};
        std::array<std::atomic<float>, InputLevels::maxChannels> peak{};
        std::array<std::atomic<float>, InputLevels::maxChannels> rms{};
        std::atomic<bool> hasRms{false};
    };

    // A sequence lock: odd while the measuring thread writes the batch.
    std::atomic<uint64_t> m_sequence{0};
    Batch m_batch;
    // The sequence the reader last took; peaks published after it are gathered until it takes them.
    std::atomic<uint64_t> m_taken{0};
    // The measuring thread's own: the peaks gathered since the reader last took them.
    std::array<float, InputLevels::maxChannels> m_gathered{};
    // The reader's own.
    uint64_t m_lastRead = 0;

    std::atomic<uint32_t> m_loudest{0}; // float bits: non-negative floats order as their bits do
    std::atomic<uint32_t> m_capture{0};
    std::atomic<uint32_t> m_clips{0};
};

// Measures PCM as the capture receives it: peaks, RMS over 50 ms windows, and runs of full-scale
// samples, carried across buffers whatever their size (a frame or a sample split between two buffers
// included). Runs on the sound server's thread; publishes to a LevelTap once per buffer.
class Analyser {
public:
    enum class Sample {
        U8,  // unsigned bytes, 128 is silence; 0 and 255 are full scale
        S16, // signed little-endian; -32768 and 32767 are full scale
    };

    Analyser(Sample sample, int channels, int rate, LevelTap& tap);

    void feed(const void* data, size_t bytes);
    // Time the source did not deliver (a hole in the stream): it breaks a run of full-scale samples.
    void gap();

private:
    template <size_t SampleBytes, class Read> void frames(const uint8_t* data, size_t count, Read read, int full);
    // The frames of one stretch inside an RMS window: peaks and sums in one pass the compiler can
    // vectorise; runs of full-scale samples are counted sample by sample only in a stretch that
    // reaches full scale at all.
    template <int Channels, size_t SampleBytes, class Read>
    void stretch(const uint8_t* data, size_t count, Read read, int full);
    void publish();

    Sample m_sample;
    int m_channels;
    size_t m_frameBytes;
    uint32_t m_windowFrames;
    LevelTap& m_tap;

    std::array<uint8_t, 8> m_carry{};
    size_t m_carried = 0;
    std::array<int, InputLevels::maxChannels> m_run{};
    std::array<int, InputLevels::maxChannels> m_peak{};
    std::array<double, InputLevels::maxChannels> m_sum{};
    uint32_t m_inWindow = 0;
    std::array<float, InputLevels::maxChannels> m_rms{};
    bool m_hasRms = false;
};

// How one channel's bar moves: it jumps up to each new peak at once and falls at 20 dB a second;
// the peak-hold mark stays 2 s at the highest peak, then falls the same way. A reading that carries
// nothing new holds the bar for a moment (sources deliver at their own pace, slower than the meter
// is drawn), then lets it fall.
class Ballistics {
public:
    static constexpr double fallDbPerSecond = 20.0;
    static constexpr double holdSeconds = 2.0;
    static constexpr double staleSeconds = 0.2;

    // One step of the display at time now (seconds, any origin, never going back). peakDb and rmsDb
    // are what was measured since the last step; empty when nothing was.
    void update(double now, std::optional<double> peakDb, std::optional<double> rmsDb);
    void reset();

    double peak() const { return m_peak; }
    double hold() const { return m_hold; }
    double rms() const { return m_rms; }

private:
    bool m_started = false;
    double m_last = 0;
    double m_peakAt = 0;
    double m_rmsAt = 0;
    double m_holdAt = 0;
    double m_peak = floorDb;
    double m_hold = floorDb;
    double m_rms = floorDb;
};

} // namespace level_meter
