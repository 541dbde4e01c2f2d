#pragma once

#include <QDBusConnection>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusMessage;
class QDBusObjectPath;

// Global shortcuts through the desktop portal (org.freedesktop.portal.GlobalShortcuts), the way a
// program gets keys that work while another program has the focus on Wayland, and on X11 for a key
// another program holds.
//
// start() asks whether the portal is there, opens a session, lists the shortcuts the desktop already
// keeps for this program and binds only the missing ones, so that the desktop asks the user once, not
// at every start. Every request's Response is subscribed to before the request is made, under a
// handle token never used before; the session's token is always the same, so the desktop sees the
// same program at every start and keeps the keys the user assigned. A shortcut is bound only where
// the desktop's answer lists it with a key (a trigger): an answer that leaves it out, or lists it
// without one, binds nothing. Then ready() says which have keys, or unavailable() says why none can
// be had; assigned() follows when the desktop gives a shortcut a key later, and activated() reports
// each press.
class PortalShortcuts : public QObject {
    Q_OBJECT
public:
    struct Shortcut {
        QString id;          // stable, e.g. "record"
        QString description; // shown in the desktop's settings
        QString trigger;     // the preferred key, in the shortcuts notation: "F9"
    };

    explicit PortalShortcuts(QDBusConnection bus, QObject* parent = nullptr);
    ~PortalShortcuts() override;

    void start(const QList<Shortcut>& wanted);
    // The key the desktop assigned to a shortcut, as it describes it; empty while it has none.
    QString trigger(const QString& id) const { return m_triggers.value(id); }

    // The same at every start: the desktop names its record of the program's keys after it.
    static constexpr const char* kSessionToken = "trelvik";

signals:
    // The session is open and the wanted shortcuts are listed or bound: those with a key are usable.
    void ready();
    void unavailable(const QString& why);
    // The desktop gave a shortcut a key, or a new one, after ready().
    void assigned(const QString& id, const QString& trigger);
    void activated(const QString& id);

private slots:
    void onResponse(uint code, const QVariantMap& results);
    void onActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                     const QVariantMap& options);
    void onShortcutsChanged(const QDBusMessage& message);

private:
    enum class Stage { Idle, Probing, Creating, Listing, Binding, Bound, Failed };

    // Subscribes to the Response of the request this token will name; returns the token.
    QString expectResponse();
    void dropResponse();
    void call(const QString& method, const QVariantList& arguments);
    void fail(const QString& why);
    void listShortcuts();
    void bindMissing(const QVariantMap& listed);
    // Takes the keys a Response or ShortcutsChanged lists; returns the ids it lists.
    QStringList takeTriggers(const QVariant& shortcuts);

    QDBusConnection m_bus;
    QList<Shortcut> m_wanted;
    QMap<QString, QString> m_triggers;
    Stage m_stage = Stage::Idle;
    QString m_session;
    QString m_requestPath;
    int m_tokens = 0;
};
