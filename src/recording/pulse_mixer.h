#pragma once

#include "platform/mixer.h"

#include <memory>
#include <string>
#include <vector>

class PulseContext;
struct pa_context;
struct pa_operation;

// The mixer component on the sound server: the volume of a source in the capture's list (the
// default source for an index outside it, −1 and −2 included), every channel alike. Levels run from
// 0 (silent) to 65536 (100 %, the source's own level).
//
// Volume is called on every step of the level slider on the UI thread, so it never waits for the
// server: it reads the source from the context's cached list and sends the level without waiting
// for the answer. One level is on its way at a time; levels asked for meanwhile wait, and a newer
// level for the same source replaces the waiting one, so a slow server gets the latest level, not
// every step in between.
class PulseMixer : public Mixer {
public:
    static constexpr int32_t lowest = 0;
    static constexpr int32_t highest = 65536;

    explicit PulseMixer(std::shared_ptr<PulseContext> pulse);
    ~PulseMixer() override;
    PulseMixer(const PulseMixer&) = delete;
    PulseMixer& operator=(const PulseMixer&) = delete;

    void Volume(int32_t source, int32_t level, LevelRange& range) override;
    void levelRange(int32_t source, LevelRange& range) override;
    // From the cached source list: never waits for the server.
    std::optional<int32_t> currentLevel(int32_t source) override;

    // Whether the last Volume call handed its level to the server: sent, or waiting behind the level
    // before it on a live connection. False without a connection or without the source; in that case
    // the level is dropped, and a later call sends its own.
    bool lastLevelAccepted() const { return m_lastAccepted; }

private:
    struct Level {
        std::string source;
        unsigned channels = 1;
        uint32_t volume = 0;
    };

    bool sendNextLocked();
    void releaseFinishedLocked();
    static void volumeSet(pa_context* context, int success, void* userdata);

    std::shared_ptr<PulseContext> m_pulse;
    // Under the context's lock: the operation on its way, and the levels behind it, one a source.
    pa_operation* m_inFlight = nullptr;
    std::vector<Level> m_waiting;
    bool m_lastAccepted = false; // the caller's thread only
};
