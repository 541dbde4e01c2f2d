#pragma once

#include "platform/hot_keys.h"
#include "tests/fakes/call_log.h"

// Records registrations; press(id) raises the key as the system would.
class FakeHotKeys : public HotKeys {
    Q_OBJECT
public:
    explicit FakeHotKeys(CallLog& log) : m_log(log) {}

    void registerHotKey(int id, int keyCode) override
    {
        m_log.add(QStringLiteral("RegisterHotKey(%1,%2)").arg(id).arg(keyCode));
    }
    void unregisterHotKey(int id) override { m_log.add(QStringLiteral("UnregisterHotKey(%1)").arg(id)); }
    bool heldElsewhere(int id) const override { return held.contains(id); }
    // As the key grabs do: a key another program holds makes the keys unavailable.
    void finishRegistration() override
    {
        if (!held.isEmpty())
            emit unavailable(QStringLiteral("another program holds F9, F10 or F11"));
    }

    // Keys another program holds.
    QList<int> held;

    void press(int id) { Q_EMIT pressed(id); }

private:
    CallLog& m_log;
};
