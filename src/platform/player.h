#pragma once

#include <QString>

// The playback layer: the three string commands the program sends, "play NAME", "close NAME" and
// "status NAME mode" (NAME is the rest of the command and may hold blanks), and a play that returns
// once the sound has been heard to its end.
class Player {
public:
    virtual ~Player() = default;
    // Returns the reply. "status NAME mode": "playing" while the file plays, "stopped" once it has
    // been played out (until it is closed), empty when NAME is not open. "play NAME": empty when the
    // file plays; a text beginning with "error" when it cannot be played (missing, not decodable, no
    // sound server), and then nothing is open under NAME. "close NAME": empty. The command words
    // may be in any case.
    virtual QString command(const QString& text) = 0;
    // Plays a file and returns when it has finished; false when it cannot be played.
    virtual bool playAndWait(const QString& path) = 0;
};
