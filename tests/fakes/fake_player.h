#pragma once

#include "platform/player.h"
#include "tests/fakes/call_log.h"

#include <QHash>

// Records every command; "status NAME mode" answers from modes (empty for a name not in it).
class FakePlayer : public Player {
public:
    explicit FakePlayer(CallLog& log) : m_log(log) {}

    QString command(const QString& text) override
    {
        m_log.add(QStringLiteral("mci(\"%1\")").arg(text));
        if (text.startsWith(QStringLiteral("status ")) && text.endsWith(QStringLiteral(" mode")))
            return modes.value(text.mid(7, text.size() - 12));
        if (text.startsWith(QStringLiteral("play ")))
            return playFails ? QStringLiteral("error") : QString();
        return {};
    }
    bool playAndWait(const QString& path) override
    {
        m_log.add(QStringLiteral("playAndWait(\"%1\")").arg(path));
        return !playFails;
    }

    QHash<QString, QString> modes;
    bool playFails = false;

private:
    CallLog& m_log;
};
