#pragma once

// The status line is the program's one message channel, and its text colour carries meaning.
enum class StatusTone {
    Unchanged, // the colour stays as it is
    Busy,      // blue: recording, playing or converting
    Attention, // red: paused, saving, stopped, done, or a failure
};
