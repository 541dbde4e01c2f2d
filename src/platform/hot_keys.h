#pragma once

#include <QObject>

// System-wide hot keys: a registered key pressed anywhere, also while another program has the
// focus, raises pressed(id).
class HotKeys : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // keyCode is the classic virtual-key code: 120 F9, 121 F10, 122 F11. A key that cannot be
    // registered (another program holds it, or there is no X11 display) is ignored.
    virtual void registerHotKey(int id, int keyCode) = 0;
    virtual void unregisterHotKey(int id) = 0;
    // True when registering the key found another program holding it: its presses go there.
    virtual bool heldElsewhere(int id) const = 0;
    // Called once every key is registered. When it turns out, now or later, that none of them will
    // reach the program while another program has the focus, unavailable() says why.
    virtual void finishRegistration() {}

signals:
    void pressed(int id);
    // Why the keys do not reach the program, in a few plain words ("another program holds F9").
    void unavailable(const QString& why);
    // What the user should know about the keys, as a whole sentence for the status line: the
    // desktop assigned no key to some of them, or assigned one later.
    void notice(const QString& text);
};
