// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

// Desktop notifications (org.freedesktop.Notifications on the session bus), for what happens while
// nobody looks at the window: a timed take that started or ended.
//
// notify() sends the notification and returns at once; finished() reports later whether the desktop
// showed it. Without a notification service nothing else happens (the status line says what the
// notification would have said), and available() turns false until a later one is shown.
class Notifier : public QObject {
    Q_OBJECT
public:
    explicit Notifier(QObject* parent = nullptr);
    explicit Notifier(QDBusConnection session, QObject* parent = nullptr);

    // Returns false when there is no session bus to send it on; finished() follows every call that
    // returned true.
    bool notify(const QString& summary, const QString& body);
    // The last notification that got an answer was shown; true before the first.
    bool available() const { return m_available; }

    // Named as the installed desktop entry and icon are, so that the desktop shows the program's
    // name and icon with the notification and can lead to the program from it.
    static constexpr const char* kDesktopEntry = "org.trelvik.Trelvik";
    static constexpr const char* kIcon = "trelvik";
    // How long the notification service may take to answer.
    static constexpr int kAnswerMs = 5000;

signals:
    void finished(bool shown);

private:
    void answered(QDBusPendingCallWatcher* answer);

    QDBusConnection m_session;
    bool m_available = true;
};
