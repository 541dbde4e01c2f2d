#pragma once

#include "platform/sound_start.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Finds where sound starts and where it has ended in a stream of samples, for recording that
// starts on sound. The level is the peak of each 10 ms block after a high-pass filter at 20 Hz has
// taken out the DC offset. Sound starts once the level stays at or above the threshold for
// SoundStart::kMinimumSoundMs; it has ended once the level has stayed below a threshold
// SoundStart::kHysteresisDb lower for the hang time. Frames are counted from the stream's start.
class SoundTrigger {
public:
    enum class Sample { U8, S16 };
    struct Event {
        bool sound = false; // sound began (true) or has ended (false)
        // Sound: the first frame of the block where it began. Ended: the frame where the hang time
        // was over.
        uint64_t frame = 0;
    };

    SoundTrigger(const SoundStart& how, Sample sample, int channels, int rate);

    // Measures interleaved frames that follow those fed before; data null is silence. Appends what
    // was found to events.
    void feed(const void* data, size_t frames, std::vector<Event>& events);
    // Whether the sound is on, as far as fed.
    bool sounding() const { return m_sounding; }
    // The frames fed so far.
    uint64_t frames() const { return m_frame; }

private:
    void block(std::vector<Event>& events);

    Sample m_sample;
    int m_channels;
    size_t m_blockFrames;
    uint64_t m_aboveNeeded;
    uint64_t m_hangFrames;
    double m_open;
    double m_close;
    double m_pole;
    // The filter's last input and output, per channel; unset until the first frame, which then
    // counts as the offset the input had all along.
    std::vector<double> m_lastIn;
    std::vector<double> m_lastOut;
    bool m_primed = false;
    double m_blockPeak = 0;
    size_t m_inBlock = 0;
    uint64_t m_frame = 0;
    bool m_sounding = false;
    // The run of loud blocks while quiet, or of quiet blocks while sounding.
    uint64_t m_runStart = 0;
    uint64_t m_runFrames = 0;
};
