#pragma once

#include "platform/hot_keys.h"
#include "platform/portal_shortcuts.h"
#include "platform/x11_hot_keys.h"

#include <QList>
#include <QPair>

// The hot keys of the desktop the program runs on. Where the desktop portal offers global shortcuts
// (Wayland desktops, and X11 desktops that manage shortcuts themselves), the keys are bound through it;
// otherwise, on X11, they are grabbed on the root window. When neither gives the program its keys,
// unavailable() says why.
class GlobalHotKeys : public HotKeys {
    Q_OBJECT
public:
    explicit GlobalHotKeys(QDBusConnection bus);

    void registerHotKey(int id, int keyCode) override;
    void unregisterHotKey(int id) override;
    bool heldElsewhere(int id) const override { return m_grabs.heldElsewhere(id); }
    void finishRegistration() override;

private:
    void useKeyGrabs(const QString& portalWhy);
    void portalActivated(const QString& name);

    X11HotKeys m_grabs;
    PortalShortcuts m_portal;
    // What was registered: id and key code, in order.
    QList<QPair<int, int>> m_keys;
    bool m_grabbing = false;
};
