#pragma once

#include "platform/player.h"
#include "tests/fakes/call_log.h"

#include <QHash>

// Records every call, in the words of the older string commands ("play NAME", "close NAME",
// "status NAME mode"); state answers from modes ("playing", "stopped"; Closed for a name not in it).
class FakePlayer : public Player {
public:
    explicit FakePlayer(CallLog& log) : m_log(log) {}

    QString play(const QString& path) override
    {
        m_log.add(QStringLiteral("mci(\"play %1\")").arg(path));
        return playFails ? QStringLiteral("error") : QString();
    }
    void close(const QString& path) override { m_log.add(QStringLiteral("mci(\"close %1\")").arg(path)); }
    State state(const QString& path) override
    {
        m_log.add(QStringLiteral("mci(\"status %1 mode\")").arg(path));
        const QString mode = modes.value(path);
        return mode == u"playing" ? State::Playing : mode == u"stopped" ? State::PlayedOut : State::Closed;
    }

    QHash<QString, QString> modes;
    bool playFails = false;

private:
    CallLog& m_log;
};
