#pragma once

#include "platform/hot_keys.h"

#include <QAbstractNativeEventFilter>
#include <QList>
#include <memory>

// Hot keys as passive key grabs on the X11 root window, with and without NumLock and CapsLock.
// Without an X11 connection (offscreen, Wayland without XWayland) nothing is grabbed.
class X11HotKeys : public HotKeys, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    X11HotKeys();
    ~X11HotKeys() override;

    void registerHotKey(Action action) override;
    // Grabs several keys at the cost of one wait for the server.
    void registerHotKeys(const QList<Action>& actions);
    void unregisterHotKey(Action action) override;
    bool heldElsewhere(Action action) const override { return m_heldElsewhere.contains(action); }
    // True when the program has an X11 display to grab keys on.
    bool hasDisplay() const { return m_x != nullptr; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Grab {
        Action action;
        QList<uint8_t> keycodes;
    };
    void ungrab(const Grab& grab);

    struct Connection;
    std::unique_ptr<Connection> m_x;
    QList<Grab> m_grabs;
    QList<Action> m_heldElsewhere;
};
