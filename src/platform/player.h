#pragma once

#include <QString>

// The playback layer: one file at a time, opened under its path. Nothing here waits for the sound:
// whoever wants to know when a file has played out asks state().
class Player {
public:
    enum class State {
        Closed,    // nothing is open under the path
        Playing,   // the file plays
        PlayedOut, // it has been played to its end (and stays open until closed)
        Failed,    // the sound server did not start it, or stopped taking it
    };

    virtual ~Player() = default;
    // Closes the open file and plays path from its start. Empty when it plays; a text beginning with
    // "error" when it cannot be played (missing, not decodable, no sound server), and then nothing
    // is open. It does not wait for the sound server: a server that does not start the sound within
    // a moment shows as Failed.
    virtual QString play(const QString& path) = 0;
    // Closes path when it is the open file.
    virtual void close(const QString& path) = 0;
    virtual State state(const QString& path) = 0;
};
