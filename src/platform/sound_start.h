#pragma once

// How sound starts and ends takes while the program is armed: a take starts once the level of the
// source stays above the threshold for kMinimumSoundMs, and it pauses (or ends, one file for each
// sound) once the level has stayed kHysteresisDb below the threshold for the hang time. The level
// is measured after the source's DC offset is taken out, so an offset alone never starts a take.
struct SoundStart {
    enum class Takes {
        OneWithPauses, // one take, paused while it is quiet
        FilePerSound,  // a file for each sound
    };
    static constexpr double kHysteresisDb = 3;
    static constexpr int kMinimumSoundMs = 50;
    static constexpr double kLowestDb = -70;
    static constexpr double kHighestDb = -1;
    static constexpr double kShortestHangSeconds = 0.5;
    static constexpr double kLongestHangSeconds = 600;

    double thresholdDb = -30;
    double hangSeconds = 2;
    Takes takes = Takes::OneWithPauses;
};
