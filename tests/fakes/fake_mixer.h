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

    int32_t lowest = 0;
    int32_t highest = 65535;

private:
    CallLog& m_log;
};
