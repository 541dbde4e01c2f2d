#include "platform/global_hot_keys.h"

#include <QStringList>

namespace {

// The shortcuts as the desktop lists them in its settings, by the action each triggers.
struct Named {
    HotKeys::Action action;
    const char* id;
    const char* description;
    const char* trigger;
    const char* button; // as the window calls it
};
constexpr Named kNamed[] = {
    {HotKeys::Action::Record, "record", "Start recording", "F9", "Record"},
    {HotKeys::Action::Pause, "pause", "Pause or resume the recording", "F10", "Pause"},
    {HotKeys::Action::Stop, "stop", "Stop and save the recording", "F11", "Stop"},
};

const Named& namedFor(HotKeys::Action action)
{
    for (const Named& named : kNamed)
        if (named.action == action)
            return named;
    return kNamed[0];
}

// "Record (F9), Pause (F10) and Stop (F11)".
QString listed(const QStringList& items)
{
    if (items.size() < 2)
        return items.value(0);
    return items.mid(0, items.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") + items.last();
}

} // namespace

GlobalHotKeys::GlobalHotKeys(std::function<QDBusConnection()> bus) : m_bus(std::move(bus))
{
    connect(&m_grabs, &HotKeys::pressed, this, &HotKeys::pressed);
}

void GlobalHotKeys::registerHotKey(Action action)
{
    m_keys.append(action);
    // Keys registered after the choice was made go the same way.
    if (m_grabbing)
        m_grabs.registerHotKey(action);
}

void GlobalHotKeys::unregisterHotKey(Action action)
{
    m_keys.removeAll(action);
    if (m_grabbing)
        m_grabs.unregisterHotKey(action);
}

void GlobalHotKeys::finishRegistration()
{
    // A grab that works is never given up for the portal: the portal is for the keys it cannot take.
    if (m_grabs.hasDisplay()) {
        m_grabbing = true;
        m_grabs.registerHotKeys(m_keys);
    }
    const QList<PortalShortcuts::Shortcut> wanted = askedOfPortal();
    if (wanted.isEmpty() || m_portal)
        return;
    m_portal = std::make_unique<PortalShortcuts>(m_bus());
    connect(m_portal.get(), &PortalShortcuts::ready, this, &GlobalHotKeys::portalReady);
    connect(m_portal.get(), &PortalShortcuts::unavailable, this, &GlobalHotKeys::portalUnavailable);
    connect(m_portal.get(), &PortalShortcuts::assigned, this, &GlobalHotKeys::portalAssigned);
    connect(m_portal.get(), &PortalShortcuts::activated, this, &GlobalHotKeys::portalActivated);
    m_portal->start(wanted);
}

QList<PortalShortcuts::Shortcut> GlobalHotKeys::askedOfPortal() const
{
    QList<PortalShortcuts::Shortcut> wanted;
    for (Action action : std::as_const(m_keys)) {
        const Named& named = namedFor(action);
        if (!m_grabbing || m_grabs.heldElsewhere(action))
            wanted.append({QString::fromLatin1(named.id), QString::fromLatin1(named.description),
                           QString::fromLatin1(named.trigger)});
    }
    return wanted;
}

void GlobalHotKeys::portalReady()
{
    QStringList unassigned;
    for (const PortalShortcuts::Shortcut& asked : askedOfPortal())
        if (m_portal->trigger(asked.id).isEmpty())
            for (const Named& named : kNamed)
                if (asked.id == QLatin1String(named.id))
                    unassigned.append(
                        QStringLiteral("%1 (%2)").arg(QLatin1String(named.button), QLatin1String(named.trigger)));
    if (unassigned.isEmpty())
        return;
    if (m_grabbing) {
        emit unavailable(
            QStringLiteral("another program holds %1, and the desktop assigned no other key").arg(listed(unassigned)));
        return;
    }
    emit notice(
        QStringLiteral("The desktop has assigned no key to %1: assign one in its shortcut settings, where "
                       "Trelvik is listed, or bind \"trelvik --command toggle\", \"pause\" and \"stop\" to keys "
                       "there (see Help).")
            .arg(listed(unassigned)));
}

void GlobalHotKeys::portalUnavailable(const QString& why)
{
    if (!m_grabbing) {
        emit unavailable(why);
        return;
    }
    QStringList held;
    for (Action action : std::as_const(m_keys))
        if (m_grabs.heldElsewhere(action))
            held.append(QLatin1String(namedFor(action).trigger));
    emit unavailable(QStringLiteral("another program, perhaps another Trelvik, holds %1").arg(listed(held)));
}

void GlobalHotKeys::portalAssigned(const QString& name, const QString& trigger)
{
    for (const Named& named : kNamed)
        if (name == QLatin1String(named.id))
            emit notice(QStringLiteral("The desktop assigned %1 to %2.").arg(trigger, QLatin1String(named.button)));
}

void GlobalHotKeys::portalActivated(const QString& name)
{
    for (Action action : std::as_const(m_keys)) {
        // A key the grab holds reaches the program that way; the portal must not press it twice.
        if (name == QLatin1String(namedFor(action).id) && !(m_grabbing && !m_grabs.heldElsewhere(action))) {
            emit pressed(action);
            return;
        }
    }
}
