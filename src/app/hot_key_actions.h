#pragma once

#include "platform/hot_keys.h"
#include "platform/shared_state.h"

#include <QObject>

class Controller;
class QAction;

// F9, F10 and F11 anywhere on the desktop: each triggers its action (Record, Pause/Resume, Stop),
// which does nothing while it is disabled. A press that arrives while a save, a
// conversion or the wizard's test runs, or once shutdown has begun, is dropped.
class HotKeyActions : public QObject {
    Q_OBJECT
public:
    // keys is null where the desktop offers no hot keys.
    HotKeyActions(HotKeys* keys, Controller& controller, const SharedState& state, QObject* parent);

    void registerKeys();
    void unregisterKeys();

signals:
    // What the user should know about the keys, as a whole sentence for the status line.
    void notice(const QString& text);

private:
    // A press on the desktop: its action runs from the event loop.
    void pressed(HotKeys::Action key);
    bool held() const;
    QAction* actionFor(HotKeys::Action key) const;

    HotKeys* m_keys;
    Controller& m_controller;
    const SharedState& m_state;
};
