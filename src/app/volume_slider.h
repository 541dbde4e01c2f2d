#pragma once

#include "platform/mixer.h"

#include <QString>

#include <optional>

class QLabel;
class QScrollBar;

// The recording-level slider and the label beside it.
namespace volume_slider {

inline constexpr const char* kCaption = "Recording volume setting :";

// Where the slider starts when it is set up.
struct Start {
    enum class From {
        Stored, // the level stored at the last shutdown: it is sent to the source
        Source, // no level stored: the source's own level, and nothing is sent
        Middle, // the middle of the range (the end of the setup wizard): it is sent
    };
    From from = From::Middle;
    int32_t level = 0; // for Stored
};

// Where the slider starts at start-up, from the stored "Recording Volume" (its text, null when there
// is none, and its value read as an integer): a level counts only when the text holds a number,
// otherwise the source keeps its own.
Start startFromStored(const QString& storedText, int32_t storedValue);

// Takes the range from the mixer without setting anything, sets the slider's bounds, its small
// step (min + max) / 100 and large step (min + max) / 10, and puts it where start says. Only the
// wanted level ever reaches the source: never a 0 on the way, which a crash right after would leave
// muted for every program. The label shows the position.
void configure(QScrollBar& slider, QLabel& label, Mixer& mixer, int32_t source, LevelRange& range, Start start);

// A position change: the label shows the position and the mixer receives it.
void changed(QScrollBar& slider, QLabel& label, Mixer& mixer, int32_t source, LevelRange& range);

} // namespace volume_slider
