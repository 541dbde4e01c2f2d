#pragma once

#include "platform/mixer.h"
#include "tests/fakes/call_log.h"

// Records every Volume call and fills the range with the scripted bounds.
class FakeMixer : public Mixer {
public:
    explicit FakeMixer(CallLog& log) : m_log(log) {}

    void Volume(int32_t source, int32_t level, LevelRange& range) override
    {
        m_log.add(QStringLiteral("Volume(%1,%2)").arg(source).arg(level));
        range[0] = lowest;
        range[1] = highest;
    }
    void levelRange(int32_t source, LevelRange& range) override
    {
        m_log.add(QStringLiteral("levelRange(%1)").arg(source));
        range[0] = lowest;
        range[1] = highest;
    }
    std::optional<int32_t> currentLevel(int32_t) override { return level; }

    // The source's level as the system has it now; none when it cannot be told.
    std::optional<int32_t> level;

    int32_t lowest = 0;
    int32_t highest = 65535;

private:
    CallLog& m_log;
};
