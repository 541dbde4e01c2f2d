#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusObjectPath;

// Global shortcuts through the desktop portal (org.freedesktop.portal.GlobalShortcuts), the way a
// program gets keys that work while another program has the focus on Wayland, and on X11 desktops
// that manage shortcuts themselves.
//
// start() asks whether the portal is there, opens a session, lists the shortcuts the desktop already
// keeps for this program and binds only the missing ones, so that the desktop asks the user once, not
// at every start. Every request's Response is subscribed to before the request is made, under a
// handle token never used before. Then bound() follows, or unavailable() when there is no portal or
// the desktop refused; activated() reports each press of a bound shortcut.
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
    bool isBound() const { return m_stage == Stage::Bound; }

signals:
    void bound();
    void unavailable(const QString& why);
    void activated(const QString& id);

private slots:
    void onResponse(uint code, const QVariantMap& results);
    void onActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                     const QVariantMap& options);

private:
    enum class Stage { Idle, Probing, Creating, Listing, Binding, Bound, Failed };

    // Subscribes to the Response of the request this token will name; returns the token.
    QString expectResponse();
    void dropResponse();
    void call(const QString& method, const QVariantList& arguments);
    void fail(const QString& why);
    void listShortcuts();
    void bindMissing(const QVariantMap& listed);

    QDBusConnection m_bus;
    QList<Shortcut> m_wanted;
    Stage m_stage = Stage::Idle;
    QString m_session;
    QString m_requestPath;
    int m_tokens = 0;
};
