#pragma once

#include "platform/player.h"

#include <QString>

#include <memory>

class PulseContext;

// The player on the sound server: files decoded by libsndfile (wave files of every kind it reads,
// and MP3) and played to the default sink as a stream of the shared connection. A decoder thread
// reads ahead into a ring; the main loop's thread writes from the ring as the server asks. Nothing
// waits for audio on the caller's thread, except playAndWait, which is meant to.
//
// One file plays at a time: "play" of another name closes the open one first, and "play" of the
// open name starts it again from the beginning.
class PulsePlayer : public Player {
public:
    explicit PulsePlayer(std::shared_ptr<PulseContext> pulse);
    ~PulsePlayer() override;
    PulsePlayer(const PulsePlayer&) = delete;
    PulsePlayer& operator=(const PulsePlayer&) = delete;

    QString command(const QString& text) override;
    bool playAndWait(const QString& path) override;

    // Playback ahead of the ear: what "close" may still let through, at most.
    static constexpr int bufferMs = 100;

    struct Session;

private:
    QString play(const QString& name);
    void close(const QString& name);
    QString mode(const QString& name);

    std::shared_ptr<PulseContext> m_pulse;
    QString m_openName;
    std::unique_ptr<Session> m_open;
};
