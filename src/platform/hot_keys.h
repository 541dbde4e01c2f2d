#pragma once

#include <QObject>

// System-wide hot keys: the key of a registered action pressed anywhere, also while another program
// has the focus, raises pressed(action). Each action has its key: F9 records, F10 pauses or
// resumes, F11 stops.
class HotKeys : public QObject {
    Q_OBJECT
public:
    enum class Action { Record, Pause, Stop };
    Q_ENUM(Action)

    using QObject::QObject;
    // An action whose key cannot be registered (another program holds it, or there is no X11
    // display) is ignored.
    virtual void registerHotKey(Action action) = 0;
    virtual void unregisterHotKey(Action action) = 0;
    // True when registering the action's key found another program holding it: its presses go there.
    virtual bool heldElsewhere(Action action) const = 0;
    // Called once every key is registered. When it turns out, now or later, that none of them will
    // reach the program while another program has the focus, unavailable() says why.
    virtual void finishRegistration() {}

signals:
    void pressed(HotKeys::Action action);
    // Why the keys do not reach the program, in a few plain words ("another program holds F9").
    void unavailable(const QString& why);
    // What the user should know about the keys, as a whole sentence for the status line: the
    // desktop assigned no key to some of them, or assigned one later.
    void notice(const QString& text);
};
