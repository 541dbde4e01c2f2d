#pragma once

#include "platform/mixer.h"

#include <QString>
#include <cstdint>

// The program-wide values: one instance for the whole run, shared by the main window, the setup
// wizard and the Preferences window.
struct SharedState {
    QString OutputPath;      // full path of the wave file the next Stop saves to
    int32_t SourceIndex = 0; // 0-based recording source, given to the mixer
    LevelRange levelRange{}; // filled by every Volume call
    int32_t Channels = 0;
    int32_t BitsPerSample = 0;
    int32_t SamplesPerSec = 0;
    int16_t ConvertOnCompletion = 0;
    QString LameOptions;
    bool ExitPump = false;
};
