#include "platform/portal_shortcuts.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

// How long the portal may take to say whether it is there. It is started on demand by the bus the
// first time, which takes a moment; a request the user answers in a dialog has no limit.
constexpr int kProbeMs = 5000;

// One shortcut as the portal passes it: its id and its properties.
struct Entry {
    QString id;
    QVariantMap properties;
};

} // namespace

Q_DECLARE_METATYPE(Entry)

namespace {

QDBusArgument& operator<<(QDBusArgument& out, const Entry& entry)
{
    out.beginStructure();
    out << entry.id << entry.properties;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, Entry& entry)
{
    in.beginStructure();
    in >> entry.id >> entry.properties;
    in.endStructure();
    return in;
}

void registerTypes()
{
    static const bool done = [] {
        qDBusRegisterMetaType<Entry>();
        qDBusRegisterMetaType<QList<Entry>>();
        return true;
    }();
    (void)done;
}

// A session handle arrives as a string, by some portals as an object path.
QString handleIn(const QVariant& value)
{
    if (value.canConvert<QDBusObjectPath>() && value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

} // namespace

PortalShortcuts::PortalShortcuts(QDBusConnection bus, QObject* parent) : QObject(parent), m_bus(std::move(bus))
{
    registerTypes();
}

PortalShortcuts::~PortalShortcuts()
{
    dropResponse();
    if (!m_session.isEmpty() && m_bus.isConnected()) {
        m_bus.disconnect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                         SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        m_bus.disconnect(kService, kPath, kInterface, QStringLiteral("ShortcutsChanged"), this,
                         SLOT(onShortcutsChanged(QDBusMessage)));
        // The keys stay with the desktop for the next start; only this program's session ends.
        m_bus.send(QDBusMessage::createMethodCall(kService, m_session, QStringLiteral("org.freedesktop.portal.Session"),
                                                  QStringLiteral("Close")));
    }
}

void PortalShortcuts::start(const QList<Shortcut>& wanted)
{
    if (m_stage != Stage::Idle)
        return;
    m_wanted = wanted;
    if (!m_bus.isConnected()) {
        fail(QStringLiteral("there is no session bus"));
        return;
    }
    m_stage = Stage::Probing;
    QDBusMessage probe = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    probe << kInterface << QStringLiteral("version");
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(probe, kProbeMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* answer) {
        answer->deleteLater();
        if (answer->isError()) {
            fail(QStringLiteral("the desktop offers no global shortcuts service"));
            return;
        }
        m_stage = Stage::Creating;
        const QString token = expectResponse();
        QVariantMap options;
        options.insert(QStringLiteral("handle_token"), token);
        options.insert(QStringLiteral("session_handle_token"), QString::fromLatin1(kSessionToken));
        call(QStringLiteral("CreateSession"), {options});
    });
}

QString PortalShortcuts::expectResponse()
{
    dropResponse();
    // The request's object is named after the caller and the token; a token this program has not
    // used before names a request nobody else can answer for.
    QString sender = m_bus.baseService();
    sender.remove(0, sender.startsWith(u':') ? 1 : 0).replace(u'.', u'_');
    const QString token = QStringLiteral("trelvik_%1_%2").arg(QCoreApplication::applicationPid()).arg(++m_tokens);
    m_requestPath = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    m_bus.connect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this,
                  SLOT(onResponse(uint, QVariantMap)));
    return token;
}

void PortalShortcuts::dropResponse()
{
    if (m_requestPath.isEmpty())
        return;
    m_bus.disconnect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this,
                     SLOT(onResponse(uint, QVariantMap)));
    m_requestPath.clear();
}

void PortalShortcuts::call(const QString& method, const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    message.setArguments(arguments);
    // The request this call makes. Its reply can come after its answer, and after the next request
    // began (the bus hands a reply and a signal over in either order); it then concerns nothing that
    // is still awaited.
    const QString expected = m_requestPath;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, method, expected](QDBusPendingCallWatcher* answer) {
                answer->deleteLater();
                QDBusPendingReply<QDBusObjectPath> reply = *answer;
                if (reply.isError()) {
                    fail(QStringLiteral("the desktop's global shortcuts service refused %1: %2")
                             .arg(method, reply.error().message()));
                    return;
                }
                // A portal older than handle tokens names the request itself: its answer comes from there.
                const QString path = reply.value().path();
                if (!path.isEmpty() && path != expected && m_requestPath == expected && m_stage != Stage::Failed) {
                    dropResponse();
                    m_requestPath = path;
                    m_bus.connect(kService, m_requestPath, kRequest, QStringLiteral("Response"), this,
                                  SLOT(onResponse(uint, QVariantMap)));
                }
            });
}

void PortalShortcuts::fail(const QString& why)
{
    dropResponse();
    m_stage = Stage::Failed;
    emit unavailable(why);
}

void PortalShortcuts::onResponse(uint code, const QVariantMap& results)
{
    dropResponse();
    if (code != 0) {
        fail(code == 1 ? QStringLiteral("the desktop did not grant them")
                       : QStringLiteral("the desktop's global shortcuts service failed"));
        return;
    }
    switch (m_stage) {
    case Stage::Creating:
        m_session = handleIn(results.value(QStringLiteral("session_handle")));
        if (m_session.isEmpty()) {
            fail(QStringLiteral("the desktop's global shortcuts service opened no session"));
            return;
        }
        m_bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                      SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        // The whole message: a slot with the shortcuts' own type would need it in the header.
        m_bus.connect(kService, kPath, kInterface, QStringLiteral("ShortcutsChanged"), this,
                      SLOT(onShortcutsChanged(QDBusMessage)));
        listShortcuts();
        break;
    case Stage::Listing:
        bindMissing(results);
        break;
    case Stage::Binding:
        takeTriggers(results.value(QStringLiteral("shortcuts")));
        m_stage = Stage::Bound;
        emit ready();
        break;
    default:
        break;
    }
}

void PortalShortcuts::listShortcuts()
{
    m_stage = Stage::Listing;
    const QString token = expectResponse();
    call(QStringLiteral("ListShortcuts"),
         {QVariant::fromValue(QDBusObjectPath(m_session)), QVariantMap{{QStringLiteral("handle_token"), token}}});
}

QStringList PortalShortcuts::takeTriggers(const QVariant& shortcuts)
{
    QStringList ids;
    QList<Entry> entries;
    if (shortcuts.canConvert<QDBusArgument>())
        entries = qdbus_cast<QList<Entry>>(shortcuts.value<QDBusArgument>());
    else if (shortcuts.canConvert<QList<Entry>>())
        entries = shortcuts.value<QList<Entry>>();
    for (const Entry& entry : std::as_const(entries)) {
        ids.append(entry.id);
        m_triggers.insert(entry.id, entry.properties.value(QStringLiteral("trigger_description")).toString());
    }
    return ids;
}

void PortalShortcuts::bindMissing(const QVariantMap& listed)
{
    // A shortcut the desktop keeps without a key is not bound again: the desktop asked the user
    // already, and its settings are where the key is assigned.
    const QStringList kept = takeTriggers(listed.value(QStringLiteral("shortcuts")));
    QList<Entry> missing;
    for (const Shortcut& shortcut : std::as_const(m_wanted)) {
        if (kept.contains(shortcut.id))
            continue;
        missing.append({shortcut.id,
                        {{QStringLiteral("description"), shortcut.description},
                         {QStringLiteral("preferred_trigger"), shortcut.trigger}}});
    }
    if (missing.isEmpty()) {
        m_stage = Stage::Bound;
        emit ready();
        return;
    }
    m_stage = Stage::Binding;
    const QString token = expectResponse();
    call(QStringLiteral("BindShortcuts"),
         {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(missing), QString(),
          QVariantMap{{QStringLiteral("handle_token"), token}}});
}

void PortalShortcuts::onActivated(const QDBusObjectPath& session, const QString& id, qulonglong, const QVariantMap&)
{
    if (session.path() == m_session && m_stage == Stage::Bound && !m_triggers.value(id).isEmpty())
        emit activated(id);
}

void PortalShortcuts::onShortcutsChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2 || handleIn(arguments.at(0)) != m_session)
        return;
    const QMap<QString, QString> before = m_triggers;
    takeTriggers(arguments.at(1));
    if (m_stage != Stage::Bound)
        return;
    for (auto it = m_triggers.cbegin(); it != m_triggers.cend(); ++it)
        if (!it.value().isEmpty() && it.value() != before.value(it.key()))
            emit assigned(it.key(), it.value());
}
