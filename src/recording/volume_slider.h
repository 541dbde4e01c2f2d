#pragma once

#include "platform/mixer.h"

#include <optional>

class QLabel;
class QScrollBar;

// The recording-level slider and the label beside it.
namespace volume_slider {

inline constexpr const char* kCaption = "Recording volume setting :";

// Takes the range from the mixer (a call with level 0), sets the slider's bounds, its small step
// (min + max) / 100 and large step (min + max) / 10, puts it at initial (the middle of the range
// when not given) and sends that position to the mixer. The label shows the position.
void configure(QScrollBar& slider, QLabel& label, Mixer& mixer, int32_t source, LevelRange& range,
               std::optional<int32_t> initial);

// A position change: the label shows the position and the mixer receives it.
void changed(QScrollBar& slider, QLabel& label, Mixer& mixer, int32_t source, LevelRange& range);

} // namespace volume_slider
