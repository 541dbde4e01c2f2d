// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusPendingCallWatcher;

// Keeps the computer awake while the program needs it: a timer armed for a take, or a timed take
// running while nobody is at the machine.
//
// hold() asks logind on the system bus for a blocking inhibitor of sleep and idle, which is a file
// descriptor the guard keeps open until release() closes it. Where logind does not answer (no system
// bus, no logind, or it refuses), the desktop portal's Inhibit on the session bus keeps the session
// from suspending and idling instead, until release() closes its request. Where neither does,
// notice() says so. Every call is asynchronous and limited in time: a bus or a service that hangs
// never holds up the caller's thread.
//
// hold() while held or asking keeps the one inhibitor; release() before the answer came gives the
// inhibitor back as soon as it arrives. sleeping() reports logind's PrepareForSleep whether the guard
// holds anything or not: true as the computer is about to sleep (the program saves what it has),
// false as it wakes (the program checks its timer at once).
class SleepGuard : public QObject {
    Q_OBJECT
public:
    // The system bus for logind, the session bus for the portal.
    explicit SleepGuard(QObject* parent = nullptr);
    SleepGuard(QDBusConnection system, QDBusConnection session, QObject* parent = nullptr);
    ~SleepGuard() override;

    SleepGuard(const SleepGuard&) = delete;
    SleepGuard& operator=(const SleepGuard&) = delete;

    // Keeps the computer awake; why is shown to the user by the desktop's power settings. While held
    // or asking, a second call changes nothing.
    void hold(const QString& why);
    // Lets the computer sleep again.
    void release();
    // An inhibitor is in hand (not only asked for).
    bool isHeld() const { return m_stage == Stage::HeldByLogind || m_stage == Stage::HeldByPortal; }
    // hold() was called and release() has not been since.
    bool isWanted() const { return m_wanted; }
    // Why the computer may sleep even though the guard is held; empty while it is kept awake or the
    // guard is released.
    QString notice() const { return m_notice; }

    // How long logind or the portal may take to answer.
    static constexpr int kAnswerMs = 5000;

signals:
    void heldChanged(bool held);
    void noticeChanged(const QString& notice);
    // true: the computer is about to sleep; false: it has woken.
    void sleeping(bool before);

private slots:
    void onPrepareForSleep(bool before);
    void onPortalResponse(uint code, const QVariantMap& results);

private:
    enum class Stage { Idle, AskingLogind, AskingPortal, HeldByLogind, HeldByPortal, Unavailable };

    void askLogind();
    void askPortal();
    void logindAnswered(QDBusPendingCallWatcher* answer);
    void portalAnswered(QDBusPendingCallWatcher* answer);
    void giveUp(const QString& why);
    // Gives back what is held and forgets the portal's request.
    void drop();
    void closePortalRequest();
    void watchRequest(const QString& path);
    void unwatchRequest();
    void setStage(Stage stage);
    void setNotice(const QString& notice);

    QDBusConnection m_system;
    QDBusConnection m_session;
    Stage m_stage = Stage::Idle;
    bool m_wanted = false;
    QString m_why;
    // logind's inhibitor.
    int m_fd = -1;
    // The portal's request, and whether it reported a failure before the call's answer came.
    QString m_request;
    bool m_portalRefused = false;
    int m_tokens = 0;
    QString m_notice;
};
