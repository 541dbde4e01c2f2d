// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

Notifier::Notifier(QObject* parent) : Notifier(QDBusConnection::sessionBus(), parent) {}

Notifier::Notifier(QDBusConnection session, QObject* parent) : QObject(parent), m_session(std::move(session)) {}

bool Notifier::notify(const QString& summary, const QString& body)
{
    if (!m_session.isConnected()) {
        m_available = false;
        return false;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopEntry));
    // app_name, replaces_id (none), app_icon, summary, body, actions (none), hints, expire_timeout (the
    // desktop's own).
    message << QStringLiteral("Trelvik") << uint(0) << QString::fromLatin1(kIcon) << summary << body << QStringList()
            << hints << qint32(-1);
    auto* watcher = new QDBusPendingCallWatcher(m_session.asyncCall(message, kAnswerMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &Notifier::answered);
    return true;
}

void Notifier::answered(QDBusPendingCallWatcher* answer)
{
    answer->deleteLater();
    const QDBusPendingReply<uint> reply = *answer;
    m_available = !reply.isError();
    emit finished(m_available);
}
