#pragma once

#include "platform/hot_keys.h"
#include "tests/fakes/call_log.h"

#include <QMetaEnum>

// Records registrations ("RegisterHotKey(Record)"); press(action) raises the key as the system would.
class FakeHotKeys : public HotKeys {
    Q_OBJECT
public:
    explicit FakeHotKeys(CallLog& log) : m_log(log) {}

    void registerHotKey(Action action) override
    {
        m_log.add(QStringLiteral("RegisterHotKey(%1)").arg(QLatin1String(name(action))));
    }
    void unregisterHotKey(Action action) override
    {
        m_log.add(QStringLiteral("UnregisterHotKey(%1)").arg(QLatin1String(name(action))));
    }
    bool heldElsewhere(Action action) const override { return held.contains(action); }
    // As the key grabs do: a key another program holds makes the keys unavailable.
    void finishRegistration() override
    {
        if (!held.isEmpty())
            emit unavailable(QStringLiteral("another program holds F9, F10 or F11"));
    }

    // Keys another program holds.
    QList<Action> held;

    void press(Action action) { Q_EMIT pressed(action); }

private:
    static const char* name(Action action) { return QMetaEnum::fromType<Action>().valueToKey(int(action)); }

    CallLog& m_log;
};
