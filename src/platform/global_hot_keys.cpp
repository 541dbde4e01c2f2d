#include "platform/global_hot_keys.h"

namespace {

// The shortcuts as the desktop lists them in its settings, by the key code each stands for.
struct Named {
    int keyCode;
    const char* id;
    const char* description;
    const char* trigger;
};
constexpr Named kNamed[] = {
    {120, "record", "Start recording", "F9"},
    {121, "pause", "Pause or resume the recording", "F10"},
    {122, "stop", "Stop and save the recording", "F11"},
};

const Named* namedFor(int keyCode)
{
    for (const Named& named : kNamed)
        if (named.keyCode == keyCode)
            return &named;
    return nullptr;
}

} // namespace

GlobalHotKeys::GlobalHotKeys(QDBusConnection bus) : m_portal(std::move(bus))
{
    connect(&m_grabs, &HotKeys::pressed, this, &HotKeys::pressed);
    connect(&m_portal, &PortalShortcuts::activated, this, &GlobalHotKeys::portalActivated);
    connect(&m_portal, &PortalShortcuts::unavailable, this, &GlobalHotKeys::useKeyGrabs);
}

void GlobalHotKeys::registerHotKey(int id, int keyCode)
{
    m_keys.append({id, keyCode});
    // Keys registered after the choice was made go the same way.
    if (m_grabbing)
        m_grabs.registerHotKey(id, keyCode);
}

void GlobalHotKeys::unregisterHotKey(int id)
{
    for (qsizetype i = 0; i < m_keys.size(); ++i)
        if (m_keys[i].first == id)
            m_keys.removeAt(i--);
    if (m_grabbing)
        m_grabs.unregisterHotKey(id);
}

void GlobalHotKeys::finishRegistration()
{
    QList<PortalShortcuts::Shortcut> wanted;
    for (const auto& [id, keyCode] : std::as_const(m_keys))
        if (const Named* named = namedFor(keyCode))
            wanted.append({QString::fromLatin1(named->id), QString::fromLatin1(named->description),
                           QString::fromLatin1(named->trigger)});
    // Without a session bus the portal says so at once, and the keys are grabbed before this returns.
    if (wanted.isEmpty())
        useKeyGrabs(QStringLiteral("none of the keys has a global shortcut"));
    else
        m_portal.start(wanted);
}

void GlobalHotKeys::useKeyGrabs(const QString& portalWhy)
{
    if (m_grabbing)
        return;
    m_grabbing = true;
    if (!m_grabs.hasDisplay()) {
        emit unavailable(portalWhy);
        return;
    }
    bool held = false;
    for (const auto& [id, keyCode] : std::as_const(m_keys)) {
        m_grabs.registerHotKey(id, keyCode);
        held = held || m_grabs.heldElsewhere(id);
    }
    if (held)
        emit unavailable(QStringLiteral("another program, perhaps another Trelvik, holds F9, F10 or F11"));
}

void GlobalHotKeys::portalActivated(const QString& name)
{
    for (const auto& [id, keyCode] : std::as_const(m_keys)) {
        const Named* named = namedFor(keyCode);
        if (named && name == QLatin1String(named->id)) {
            emit pressed(id);
            return;
        }
    }
}
