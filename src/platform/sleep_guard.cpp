// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sleep_guard.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInhibit = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

// What the portal keeps from happening: suspending (4) and the session going idle (8).
constexpr uint kPortalSuspendAndIdle = 4 | 8;

const QString kNoticeStart = QStringLiteral("the computer may go to sleep during a timed recording: ");

} // namespace

SleepGuard::SleepGuard(QObject* parent)
    : SleepGuard(QDBusConnection::systemBus(), QDBusConnection::sessionBus(), parent)
{
}

SleepGuard::SleepGuard(QDBusConnection system, QDBusConnection session, QObject* parent)
    : QObject(parent), m_system(std::move(system)), m_session(std::move(session))
{
    if (m_system.isConnected())
        m_system.connect(kLogind, kLogindPath, kManager, QStringLiteral("PrepareForSleep"), this,
                         SLOT(onPrepareForSleep(bool)));
}

SleepGuard::~SleepGuard()
{
    if (m_system.isConnected())
        m_system.disconnect(kLogind, kLogindPath, kManager, QStringLiteral("PrepareForSleep"), this,
                            SLOT(onPrepareForSleep(bool)));
    // An answer still on its way is dropped with its watcher; logind's descriptor in it closes with
    // the reply, and the portal ends a request when its caller leaves the bus.
    drop();
}

void SleepGuard::hold(const QString& why)
{
    m_wanted = true;
    if (m_stage != Stage::Idle && m_stage != Stage::Unavailable)
        return;
    m_why = why;
    askLogind();
}

void SleepGuard::release()
{
    m_wanted = false;
    // A call still waiting for its answer gives the inhibitor back when it comes.
    if (m_stage == Stage::AskingLogind || m_stage == Stage::AskingPortal)
        return;
    drop();
    setStage(Stage::Idle);
    setNotice(QString());
}

void SleepGuard::askLogind()
{
    if (!m_system.isConnected()) {
        askPortal();
        return;
    }
    setStage(Stage::AskingLogind);
    QDBusMessage message = QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, QStringLiteral("Inhibit"));
    message << QStringLiteral("sleep:idle") << QStringLiteral("Trelvik") << m_why << QStringLiteral("block");
    auto* watcher = new QDBusPendingCallWatcher(m_system.asyncCall(message, kAnswerMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &SleepGuard::logindAnswered);
}

void SleepGuard::logindAnswered(QDBusPendingCallWatcher* answer)
{
    answer->deleteLater();
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *answer;
    // A copy of our own, closed on exec: a program started meanwhile (the encoder) must not keep the
    // computer awake after release().
    const int fd =
        !reply.isError() && reply.value().isValid() ? ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0) {
        if (m_wanted) {
            askPortal();
        } else {
            setStage(Stage::Idle);
        }
        return;
    }
    if (!m_wanted) {
        ::close(fd);
        setStage(Stage::Idle);
        return;
    }
    m_fd = fd;
    setNotice(QString());
    setStage(Stage::HeldByLogind);
}

void SleepGuard::askPortal()
{
    if (!m_session.isConnected()) {
        giveUp(QStringLiteral("neither logind nor the desktop portal answers"));
        return;
    }
    setStage(Stage::AskingPortal);
    m_portalRefused = false;
    // The request's object is named after the caller and the token. Its Response, which reports a
    // failure of the desktop's backend, may follow the call's answer at once: it is watched for
    // before the call.
    QString sender = m_session.baseService();
    sender.remove(0, sender.startsWith(u':') ? 1 : 0).replace(u'.', u'_');
    const QString token = QStringLiteral("trelvik_sleep_%1_%2").arg(QCoreApplication::applicationPid()).arg(++m_tokens);
    watchRequest(QStringLiteral("%1/request/%2/%3").arg(kPortalPath, sender, token));

    QVariantMap options;
    options.insert(QStringLiteral("handle_token"), token);
    options.insert(QStringLiteral("reason"), m_why);
    QDBusMessage message = QDBusMessage::createMethodCall(kPortal, kPortalPath, kInhibit, QStringLiteral("Inhibit"));
    message << QString() << kPortalSuspendAndIdle << options;
    auto* watcher = new QDBusPendingCallWatcher(m_session.asyncCall(message, kAnswerMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &SleepGuard::portalAnswered);
}

void SleepGuard::portalAnswered(QDBusPendingCallWatcher* answer)
{
    answer->deleteLater();
    const QDBusPendingReply<QDBusObjectPath> reply = *answer;
    if (reply.isError() || reply.value().path().isEmpty() || m_portalRefused) {
        unwatchRequest();
        if (m_wanted) {
            giveUp(m_portalRefused ? QStringLiteral("the desktop portal does not keep it awake")
                                   : QStringLiteral("neither logind nor the desktop portal answers"));
        } else {
            setStage(Stage::Idle);
        }
        return;
    }
    // A portal older than handle tokens names the request itself.
    if (reply.value().path() != m_request)
        watchRequest(reply.value().path());
    if (!m_wanted) {
        closePortalRequest();
        setStage(Stage::Idle);
        return;
    }
    setNotice(QString());
    setStage(Stage::HeldByPortal);
}

void SleepGuard::onPortalResponse(uint code, const QVariantMap& results)
{
    Q_UNUSED(results);
    // Success needs no answer: the request stands until it is closed.
    if (code == 0)
        return;
    if (m_stage == Stage::AskingPortal) {
        m_portalRefused = true;
        return;
    }
    if (m_stage != Stage::HeldByPortal)
        return;
    // The request is gone with its failure: nothing left to close.
    unwatchRequest();
    giveUp(QStringLiteral("the desktop portal does not keep it awake"));
}

void SleepGuard::onPrepareForSleep(bool before)
{
    emit sleeping(before);
}

void SleepGuard::giveUp(const QString& why)
{
    setNotice(kNoticeStart + why);
    setStage(Stage::Unavailable);
}

void SleepGuard::drop()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    closePortalRequest();
}

void SleepGuard::closePortalRequest()
{
    if (m_request.isEmpty())
        return;
    const QString request = m_request;
    unwatchRequest();
    // No answer is awaited: the portal ends the request either way.
    m_session.send(QDBusMessage::createMethodCall(kPortal, request, kRequest, QStringLiteral("Close")));
}

void SleepGuard::watchRequest(const QString& path)
{
    unwatchRequest();
    m_request = path;
    m_session.connect(kPortal, m_request, kRequest, QStringLiteral("Response"), this,
                      SLOT(onPortalResponse(uint, QVariantMap)));
}

void SleepGuard::unwatchRequest()
{
    if (m_request.isEmpty())
        return;
    m_session.disconnect(kPortal, m_request, kRequest, QStringLiteral("Response"), this,
                         SLOT(onPortalResponse(uint, QVariantMap)));
    m_request.clear();
}

void SleepGuard::setStage(Stage stage)
{
    const bool was = isHeld();
    m_stage = stage;
    if (isHeld() != was)
        emit heldChanged(isHeld());
}

void SleepGuard::setNotice(const QString& notice)
{
    if (notice == m_notice)
        return;
    m_notice = notice;
    emit noticeChanged(m_notice);
}
