#pragma once

#include <QString>

// The playback layer: the three string commands the program sends, "play NAME", "close NAME" and
// "status NAME mode" (NAME is the rest of the command and may hold blanks), and a play that returns
// once the sound has been heard to its end.
class Player {
public:
    virtual ~Player() = default;
    // Returns the reply ("playing", "stopped", or empty when the device is not open).
    virtual QString command(const QString& text) = 0;
    // Plays a file and returns when it has finished; false when it cannot be played.
    virtual bool playAndWait(const QString& path) = 0;
};
