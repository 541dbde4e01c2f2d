#pragma once

#include <QString>

#include <array>
#include <vector>

// The test chime: three tones in a rising sequence, each with short fades, under a second in all.
// The wizard plays it while a source records, and looks for the same sequence in the recording.
namespace chime {

inline constexpr std::array<double, 3> toneHz{660.0, 880.0, 1320.0};
inline constexpr double leadSeconds = 0.04;  // silence before the first tone
inline constexpr double toneSeconds = 0.25;  // each tone, fades included
inline constexpr double fadeSeconds = 0.012; // rise and fall of each tone
inline constexpr double tailSeconds = 0.06;  // silence after the last tone
inline constexpr double amplitude = 0.5;     // of full scale

inline constexpr double totalSeconds = leadSeconds + toneSeconds * toneHz.size() + tailSeconds;

// The chime as mono samples in -1..1 at the given rate.
std::vector<float> samples(int rate);

// Writes the chime as a 16-bit mono wave file; false on failure.
bool writeWave(const QString& path, int rate = 44100);

} // namespace chime

// What a look for the chime in a recording found.
struct ChimeCheck {
    bool readable = false;    // the file could be opened and decoded
    bool found = false;       // the three tones were heard in order
    double startSeconds = -1; // where the first tone begins, when found
    double peakLevel = 0;     // the loudest short stretch of the recording, RMS, 0..1 of full scale
    QString detail;           // one line saying what was found, for people
};

// Looks for the chime's three tones, in order and each long enough, clearly above whatever else is
// in the recording. Any file libsndfile reads (every rate, 8 to 32 bits, mono or multi-channel).
ChimeCheck findChime(const QString& wavPath);
