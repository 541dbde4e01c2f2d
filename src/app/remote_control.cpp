#include "app/remote_control.h"

#include "app/form1.h"
#include "control/controller.h"
#include "platform/command_line.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QTextStream>

#include <cstdio>

namespace {

QString commandMethod(const QString& command)
{
    QString method = command;
    method[0] = method[0].toUpper();
    return method;
}

} // namespace

RemoteControl::RemoteControl(Form1& window) : QObject(&window), m_window(window), m_controller(window.controller()) {}

RemoteControl::Claim RemoteControl::claim()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return Claim::NoBus;
    if (!bus.registerObject(QString::fromLatin1(kPath), this, QDBusConnection::ExportAllSlots))
        return Claim::NoBus;
    // Not queued behind the first program and not taking its name over: a second start is told
    // at once that the name is taken.
    if (bus.registerService(QString::fromLatin1(kService)))
        return Claim::Owned;
    bus.unregisterObject(QString::fromLatin1(kPath));
    return bus.interface() && bus.interface()->isServiceRegistered(QString::fromLatin1(kService)) ? Claim::Taken
                                                                                                  : Claim::NoBus;
}

int RemoteControl::send(const QStringList& commands, QTextStream& out)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusInterface program(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                           QStringLiteral("org.trelvik.Trelvik"), bus);
    for (const QString& command : commands) {
        if (command.startsWith(kTimerCommand)) {
            const QDBusMessage reply = program.call(QStringLiteral("Timer"), command.mid(kTimerCommand.size()));
            if (reply.type() != QDBusMessage::ReplyMessage) {
                out.flush();
                return 1;
            }
            // Refused by the running program (a take runs, the time has passed meanwhile): it says why.
            const QString refused = reply.arguments().value(0).toString();
            if (!refused.isEmpty()) {
                out.flush();
                std::fprintf(stderr, "trelvik: %s\n", refused.toLocal8Bit().constData());
                return 2;
            }
            continue;
        }
        // Stop is answered once its save is done; a conversion at Stop may take a while longer.
        program.setTimeout(command == u"stop" ? 120000 : -1);
        const QDBusMessage reply = program.call(commandMethod(command));
        if (reply.type() != QDBusMessage::ReplyMessage) {
            if (command == u"status")
                out << "not running\n";
            out.flush();
            return 1;
        }
        if (command == u"status") {
            out << reply.arguments().value(0).toString() << '\n';
            continue;
        }
        // Refused by the running program (arm while the setup test records): it says why.
        const QString refused = reply.arguments().value(0).toString();
        if (!refused.isEmpty()) {
            out.flush();
            std::fprintf(stderr, "trelvik: %s\n", refused.toLocal8Bit().constData());
            return 2;
        }
    }
    out.flush();
    return 0;
}

void RemoteControl::trigger(QAction* action)
{
    // As a hot key: a disabled action does nothing (Record while a save, a conversion or the
    // wizard's test runs; Pause and Stop while nothing records).
    action->trigger();
}

void RemoteControl::Record()
{
    trigger(m_controller.recordAction());
}

void RemoteControl::Pause()
{
    trigger(m_controller.pauseAction());
}

void RemoteControl::Stop()
{
    const bool stops = m_controller.stopAction()->isEnabled();
    trigger(m_controller.stopAction());
    // The answer waits for the save (and the conversion it starts); the event loop runs on.
    if (stops)
        answerWhen([this] { return !m_controller.isBusy(); }, {});
}

void RemoteControl::answerWhen(const std::function<bool()>& done, const std::function<QVariant()>& answer)
{
    if (!calledFromDBus() || done())
        return;
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection bus = connection();
    auto* waiting = new QObject(this);
    connect(&m_controller, &Controller::changed, waiting, [done, answer, call, bus, waiting]() mutable {
        if (!done())
            return;
        bus.send(answer ? call.createReply(answer()) : call.createReply());
        waiting->deleteLater();
    });
}

QString RemoteControl::Arm()
{
    return m_controller.arm(m_controller.settings().soundStart());
}

void RemoteControl::Disarm()
{
    m_controller.disarm();
}

QString RemoteControl::Timer(const QString& words)
{
    return m_controller.setTimer(words);
}

void RemoteControl::Toggle()
{
    if (m_controller.recordAction()->isEnabled())
        Record();
    else if (m_controller.stopAction()->isEnabled())
        Stop();
}

QString RemoteControl::Status()
{
    // While Record starts, the answer waits for the source; while Stop saves, for the file: "idle"
    // means the take is on disk.
    const auto saved = [this] {
        const Controller::State state = m_controller.state();
        return state != Controller::State::Saving && state != Controller::State::Starting;
    };
    if (!saved()) {
        answerWhen(saved, [this] { return QVariant(stateName()); });
        return {};
    }
    return stateName();
}

QString RemoteControl::stateName() const
{
    switch (m_controller.state()) {
    case Controller::State::Recording:
        return QStringLiteral("recording");
    case Controller::State::Paused:
        return QStringLiteral("paused");
    default:
        return m_controller.timerArmed() || m_controller.armed() ? QStringLiteral("armed") : QStringLiteral("idle");
    }
}

void RemoteControl::Show()
{
    m_window.bringToFront();
}

void RemoteControl::Quit()
{
    // After this call has been answered: shutdown may wait for a save and show a message.
    QMetaObject::invokeMethod(&m_window, &QWidget::close, Qt::QueuedConnection);
}
