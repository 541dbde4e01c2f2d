#pragma once

#include "platform/hot_keys.h"
#include "platform/portal_shortcuts.h"
#include "platform/x11_hot_keys.h"

#include <QList>

#include <functional>
#include <memory>

// The hot keys of the desktop the program runs on. On X11 the keys are grabbed on the root window,
// and only a key another program holds is asked of the desktop portal's global shortcuts instead.
// Without X11 (Wayland) every key is asked of the portal. A key is the program's only where the
// grab took it or the desktop assigned it; for the others notice() says what the user can do, and
// says so again when the desktop assigns one later.
class GlobalHotKeys : public HotKeys {
    Q_OBJECT
public:
    // The bus is opened when a key is first asked of the portal: start-up does not wait for it.
    explicit GlobalHotKeys(std::function<QDBusConnection()> bus);

    void registerHotKey(Action action) override;
    void unregisterHotKey(Action action) override;
    bool heldElsewhere(Action action) const override { return m_grabs.heldElsewhere(action); }
    void finishRegistration() override;

private:
    // The ids and names of the keys the portal is asked for.
    QList<PortalShortcuts::Shortcut> askedOfPortal() const;
    void portalReady();
    void portalUnavailable(const QString& why);
    void portalAssigned(const QString& name, const QString& trigger);
    void portalActivated(const QString& name);

    X11HotKeys m_grabs;
    std::function<QDBusConnection()> m_bus;
    std::unique_ptr<PortalShortcuts> m_portal; // made when a key is first asked of it
    // What was registered, in order.
    QList<Action> m_keys;
    bool m_grabbing = false;
};
