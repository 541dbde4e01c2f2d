#pragma once

#include "platform/player.h"

#include <QString>

#include <memory>

class PulseContext;

// The player on the sound server: files decoded by libsndfile (wave files of every kind it reads,
// and MP3) and played to the default sink as a stream of the shared connection. A decoder thread
// reads ahead into a ring; the main loop's thread writes from the ring as the server asks. Nothing
// waits for audio on the caller's thread.
//
// One file plays at a time: play of another path closes the open one first, and play of the open
// path starts it again from the beginning.
class PulsePlayer : public Player {
public:
    explicit PulsePlayer(std::shared_ptr<PulseContext> pulse);
    ~PulsePlayer() override;
    PulsePlayer(const PulsePlayer&) = delete;
    PulsePlayer& operator=(const PulsePlayer&) = delete;

    QString play(const QString& path) override;
    void close(const QString& path) override;
    State state(const QString& path) override;

    // Playback ahead of the ear: what "close" may still let through, at most.
    static constexpr int bufferMs = 100;

    struct Session;

private:
    std::shared_ptr<PulseContext> m_pulse;
    QString m_openName;
    std::unique_ptr<Session> m_open;
};
