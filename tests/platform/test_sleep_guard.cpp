// SPDX-License-Identifier: GPL-3.0-or-later
// SleepGuard and Notifier against stand-ins for logind, the desktop portal and the notification
// service, on two private buses of the test's own: one the program takes for the system bus, one for
// the session bus. Neither activates anything, so a service installed on the machine never answers.
#include "platform/notifier.h"
#include "platform/sleep_guard.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");

// A dbus-daemon of the test's own, ended with the test even when the test crashes.
class PrivateBus {
public:
    ~PrivateBus() { stop(); }

    // Starts the bus with a configuration in folder; returns its address, empty when it did not start.
    QByteArray start(const QString& folder, const QString& name)
    {
        const QString services = folder + QStringLiteral("/services-") + name;
        QDir().mkpath(services);
        const QString config = folder + QStringLiteral("/") + name + QStringLiteral(".conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        // Nothing to activate but what lies in its own service folder, which stays empty.
        file.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                  "<busconfig>\n"
                                  "  <type>session</type>\n"
                                  "  <listen>unix:tmpdir=/tmp</listen>\n"
                                  "  <servicedir>%1</servicedir>\n"
                                  "  <policy context=\"default\">\n"
                                  "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                  "    <allow eavesdrop=\"true\"/>\n"
                                  "    <allow own=\"*\"/>\n"
                                  "  </policy>\n"
                                  "</busconfig>\n")
                       .arg(services)
                       .toUtf8());
        file.close();

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return {};
        const QByteArray configArg = "--config-file=" + QFile::encodeName(config);
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                ::_exit(1);
            // A copy of the pipe that survives exec, for the address.
            const int address = ::dup(out[1]);
            const QByteArray printArg = "--print-address=" + QByteArray::number(address);
            ::execlp("dbus-daemon", "dbus-daemon", configArg.constData(), "--nofork", printArg.constData(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        QByteArray address;
        char c = 0;
        // The bus prints its address once it accepts connections.
        while (m_pid > 0 && ::read(out[0], &c, 1) == 1 && c != '\n')
            address.append(c);
        ::close(out[0]);
        return address;
    }

    void stop()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

// The calls a stand-in logged, of one method.
QList<QJsonObject> logged(const QString& log, const QString& method)
{
    QList<QJsonObject> found;
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return found;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.value(QStringLiteral("method")).toString() == method)
            found.append(entry);
    }
    return found;
}

QDBusMessage callLogind(const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(kLogind, QStringLiteral("/org/freedesktop/login1"),
                                                          QStringLiteral("org.trelvik.TestLogind"), method);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message);
}

} // namespace

class TestSleepGuard : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_logs = std::make_unique<QTemporaryDir>();
        QVERIFY(m_logs->isValid());
    }

    void cleanup()
    {
        for (auto& standIn : m_standIns)
            stopStandIn(*standIn);
        m_standIns.clear();
    }

    void holdsOneLogindInhibitorAndClosesIt()
    {
        const QString log = startStandIn(QStringLiteral("logind_standin.py"), {});
        QVERIFY(!log.isEmpty());
        auto guard = std::make_unique<SleepGuard>();
        QSignalSpy held(guard.get(), &SleepGuard::heldChanged);

        // Asked twice before the answer and once more after it: one inhibitor.
        guard->hold(QStringLiteral("A timed recording at 21:30"));
        guard->hold(QStringLiteral("Recording"));
        QVERIFY(!guard->isHeld());
        QTRY_VERIFY(guard->isHeld());
        guard->hold(QStringLiteral("Recording again"));
        QCOMPARE(callLogind(QStringLiteral("Sync")).type(), QDBusMessage::ReplyMessage);
        const QList<QJsonObject> inhibits = logged(log, QStringLiteral("Inhibit"));
        QCOMPARE(inhibits.size(), 1);
        QCOMPARE(inhibits[0].value(QStringLiteral("what")).toString(), QStringLiteral("sleep:idle"));
        QCOMPARE(inhibits[0].value(QStringLiteral("who")).toString(), QStringLiteral("Trelvik"));
        QCOMPARE(inhibits[0].value(QStringLiteral("why")).toString(), QStringLiteral("A timed recording at 21:30"));
        QCOMPARE(inhibits[0].value(QStringLiteral("mode")).toString(), QStringLiteral("block"));
        QVERIFY(logged(log, QStringLiteral("released")).isEmpty());
        QVERIFY(guard->notice().isEmpty());

        // A program started while the inhibitor is held (the encoder) does not keep it.
        QProcess child;
        child.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(child.waitForStarted());
        guard->release();
        QVERIFY(!guard->isHeld());
        QVERIFY(!guard->isWanted());
        QTRY_COMPARE(logged(log, QStringLiteral("released")).size(), 1);
        child.kill();
        child.waitForFinished();
        QCOMPARE(held.size(), 2);
        QCOMPARE(held[0][0].toBool(), true);
        QCOMPARE(held[1][0].toBool(), false);

        // Held again: a new inhibitor, given back when the guard goes.
        guard->hold(QStringLiteral("The next take"));
        QTRY_VERIFY(guard->isHeld());
        QCOMPARE(logged(log, QStringLiteral("Inhibit")).size(), 2);
        guard.reset();
        QTRY_COMPARE(logged(log, QStringLiteral("released")).size(), 2);
        QCOMPARE(logged(log, QStringLiteral("released"))[1].value(QStringLiteral("why")).toString(),
                 QStringLiteral("The next take"));
    }

    void releaseBeforeTheAnswerGivesTheInhibitorBack()
    {
        const QString log = startStandIn(QStringLiteral("logind_standin.py"), {});
        QVERIFY(!log.isEmpty());
        SleepGuard guard;
        QSignalSpy held(&guard, &SleepGuard::heldChanged);

        guard.hold(QStringLiteral("A timed recording"));
        guard.release();
        QTRY_COMPARE(logged(log, QStringLiteral("released")).size(), 1);
        QCOMPARE(logged(log, QStringLiteral("Inhibit")).size(), 1);
        QVERIFY(!guard.isHeld());
        QVERIFY(held.isEmpty());

        // Released and held again before the answer: the answer is kept.
        guard.hold(QStringLiteral("A timed recording"));
        guard.release();
        guard.hold(QStringLiteral("A timed recording"));
        QTRY_VERIFY(guard.isHeld());
        QCOMPARE(callLogind(QStringLiteral("Sync")).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(logged(log, QStringLiteral("Inhibit")).size(), 2);
        QCOMPARE(logged(log, QStringLiteral("released")).size(), 1);
    }

    void reportsSleepAndWake()
    {
        const QString log = startStandIn(QStringLiteral("logind_standin.py"), {});
        QVERIFY(!log.isEmpty());
        // Also while it holds nothing: after a wake the program checks its timer either way.
        SleepGuard guard;
        QSignalSpy sleeping(&guard, &SleepGuard::sleeping);
        QCOMPARE(callLogind(QStringLiteral("Sleep"), {true}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(callLogind(QStringLiteral("Sleep"), {false}).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(sleeping.size(), 2);
        QCOMPARE(sleeping[0][0].toBool(), true);
        QCOMPARE(sleeping[1][0].toBool(), false);
    }

    void fallsBackToThePortal()
    {
        // No logind on the system bus.
        QString log = startStandIn(QStringLiteral("logind_standin.py"), {QStringLiteral("--portal")});
        QVERIFY(!log.isEmpty());
        {
            SleepGuard guard;
            guard.hold(QStringLiteral("A timed recording at 21:30"));
            QTRY_VERIFY(guard.isHeld());
            QVERIFY(guard.notice().isEmpty());
            const QList<QJsonObject> inhibits = logged(log, QStringLiteral("Inhibit"));
            QCOMPARE(inhibits.size(), 1);
            QCOMPARE(inhibits[0].value(QStringLiteral("window")).toString(), QString());
            QCOMPARE(inhibits[0].value(QStringLiteral("flags")).toInt(), 4 | 8);
            QCOMPARE(inhibits[0].value(QStringLiteral("reason")).toString(),
                     QStringLiteral("A timed recording at 21:30"));
            guard.release();
            QVERIFY(!guard.isHeld());
            QTRY_COMPARE(logged(log, QStringLiteral("Request.Close")).size(), 1);
            QCOMPARE(logged(log, QStringLiteral("Request.Close"))[0].value(QStringLiteral("handle")),
                     inhibits[0].value(QStringLiteral("handle")));
        }
        {
            // No system bus at all.
            SleepGuard guard(QDBusConnection(QStringLiteral("no system bus")), QDBusConnection::sessionBus());
            guard.hold(QStringLiteral("A timed recording"));
            QTRY_VERIFY(guard.isHeld());
            QCOMPARE(logged(log, QStringLiteral("Inhibit")).size(), 2);
        }
        // Leaving holds nothing.
        QTRY_COMPARE(logged(log, QStringLiteral("Request.Close")).size(), 2);
        cleanup();

        // A desktop whose portal cannot keep the computer awake says so right after its answer.
        log =
            startStandIn(QStringLiteral("logind_standin.py"), {QStringLiteral("--portal"), QStringLiteral("--refuse")});
        QVERIFY(!log.isEmpty());
        SleepGuard guard;
        guard.hold(QStringLiteral("A timed recording"));
        QTRY_COMPARE(guard.notice(),
                     QStringLiteral("the computer may go to sleep during a timed recording: the desktop portal does "
                                    "not keep it awake"));
        QVERIFY(!guard.isHeld());
        QCOMPARE(logged(log, QStringLiteral("Inhibit")).size(), 1);
    }

    void saysWhenNothingKeepsTheComputerAwake()
    {
        const QString neither =
            QStringLiteral("the computer may go to sleep during a timed recording: neither logind nor the desktop "
                           "portal answers");
        SleepGuard guard;
        QSignalSpy notices(&guard, &SleepGuard::noticeChanged);
        guard.hold(QStringLiteral("A timed recording"));
        QTRY_COMPARE(guard.notice(), neither);
        QVERIFY(!guard.isHeld());
        QVERIFY(guard.isWanted());
        QCOMPARE(notices.size(), 1);
        // Released, there is nothing to warn about.
        guard.release();
        QCOMPARE(guard.notice(), QString());

        // Held again once logind is there: the warning goes.
        guard.hold(QStringLiteral("A timed recording"));
        QTRY_COMPARE(guard.notice(), neither);
        const QString log = startStandIn(QStringLiteral("logind_standin.py"), {});
        QVERIFY(!log.isEmpty());
        guard.hold(QStringLiteral("A timed recording"));
        QTRY_VERIFY(guard.isHeld());
        QCOMPARE(guard.notice(), QString());
        QCOMPARE(logged(log, QStringLiteral("Inhibit")).size(), 1);
    }

    void aHungLogindHoldsNothingUp()
    {
        const QString logindLog = startStandIn(QStringLiteral("logind_standin.py"), {QStringLiteral("--hang")});
        QVERIFY(!logindLog.isEmpty());
        const QString portalLog = startStandIn(QStringLiteral("logind_standin.py"), {QStringLiteral("--portal")});
        QVERIFY(!portalLog.isEmpty());
        SleepGuard guard;
        QElapsedTimer clock;
        clock.start();
        guard.hold(QStringLiteral("A timed recording"));
        QVERIFY2(clock.elapsed() < SleepGuard::kAnswerMs / 2, qPrintable(QString::number(clock.elapsed())));
        // logind took the call and keeps it.
        QTRY_COMPARE(logged(logindLog, QStringLiteral("Inhibit")).size(), 1);
        QVERIFY(!guard.isHeld());
        QVERIFY(logged(portalLog, QStringLiteral("Inhibit")).isEmpty());

        // logind goes without answering: the portal keeps the computer awake instead.
        stopStandIn(*m_standIns.front());
        QTRY_VERIFY(guard.isHeld());
        QCOMPARE(logged(portalLog, QStringLiteral("Inhibit")).size(), 1);
        QVERIFY(guard.notice().isEmpty());
    }

    void notifies()
    {
        const QString log = startStandIn(QStringLiteral("notifications_standin.py"), {});
        QVERIFY(!log.isEmpty());
        Notifier notifier;
        QSignalSpy finished(&notifier, &Notifier::finished);
        QVERIFY(notifier.notify(QStringLiteral("Timed recording started"),
                                QStringLiteral("Recording into take.wav since 21:30")));
        // The answer comes later, through the event loop.
        QVERIFY(finished.isEmpty());
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished[0][0].toBool(), true);
        QVERIFY(notifier.available());

        const QList<QJsonObject> notes = logged(log, QStringLiteral("Notify"));
        QCOMPARE(notes.size(), 1);
        const QJsonObject note = notes[0];
        QCOMPARE(note.value(QStringLiteral("app_name")).toString(), QStringLiteral("Trelvik"));
        QCOMPARE(note.value(QStringLiteral("replaces_id")).toInt(-1), 0);
        QCOMPARE(note.value(QStringLiteral("app_icon")).toString(), QStringLiteral("trelvik"));
        QCOMPARE(note.value(QStringLiteral("summary")).toString(), QStringLiteral("Timed recording started"));
        QCOMPARE(note.value(QStringLiteral("body")).toString(), QStringLiteral("Recording into take.wav since 21:30"));
        QCOMPARE(note.value(QStringLiteral("actions")).toArray(), QJsonArray());
        QCOMPARE(note.value(QStringLiteral("hints")).toObject(),
                 QJsonObject({{QStringLiteral("desktop-entry"), QStringLiteral("org.trelvik.Trelvik")}}));
        QCOMPARE(note.value(QStringLiteral("expire_timeout")).toInt(0), -1);
        // The hint and the icon name the desktop entry that is installed, and its icon.
        QFile entry(QStringLiteral(TRELVIK_STANDIN_DIR "/../../install/") +
                    QString::fromLatin1(Notifier::kDesktopEntry) + QStringLiteral(".desktop"));
        QVERIFY2(entry.open(QIODevice::ReadOnly), qPrintable(entry.fileName()));
        QVERIFY(entry.readAll().split('\n').contains(QByteArray("Icon=") + Notifier::kIcon));
    }

    void notifyWithoutAServiceReportsFalse()
    {
        Notifier notifier;
        QSignalSpy finished(&notifier, &Notifier::finished);
        QVERIFY(notifier.notify(QStringLiteral("Timed recording started"), QStringLiteral("take.wav")));
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished[0][0].toBool(), false);
        QVERIFY(!notifier.available());

        // A service that takes the call and never answers holds nothing up; when it goes, the
        // notification counts as not shown.
        const QString hung = startStandIn(QStringLiteral("notifications_standin.py"), {QStringLiteral("--hang")});
        QVERIFY(!hung.isEmpty());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(notifier.notify(QStringLiteral("Timed recording ended"), QStringLiteral("take.wav")));
        QVERIFY2(clock.elapsed() < Notifier::kAnswerMs / 2, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE(logged(hung, QStringLiteral("Notify")).size(), 1);
        QCOMPARE(finished.size(), 1);
        cleanup();
        QTRY_COMPARE(finished.size(), 2);
        QCOMPARE(finished[1][0].toBool(), false);

        // A service that came later shows the next one.
        const QString log = startStandIn(QStringLiteral("notifications_standin.py"), {});
        QVERIFY(!log.isEmpty());
        QVERIFY(notifier.notify(QStringLiteral("Timed recording ended"), QStringLiteral("take.wav")));
        QTRY_COMPARE(finished.size(), 3);
        QCOMPARE(finished[2][0].toBool(), true);
        QVERIFY(notifier.available());

        // No session bus: nothing is sent.
        Notifier alone(QDBusConnection(QStringLiteral("no session bus")));
        QSignalSpy aloneFinished(&alone, &Notifier::finished);
        QVERIFY(!alone.notify(QStringLiteral("Timed recording ended"), QStringLiteral("take.wav")));
        QVERIFY(!alone.available());
        QVERIFY(aloneFinished.isEmpty());
    }

private:
    struct StandIn {
        QProcess process;
        QString service;
        bool systemBus = false;
    };

    // Starts a stand-in and waits until it owns its name; returns its log, empty when it did not
    // start.
    QString startStandIn(const QString& script, const QStringList& options)
    {
        const QString log = m_logs->filePath(QStringLiteral("standin-%1.log").arg(++m_started));
        auto standIn = std::make_unique<StandIn>();
        standIn->systemBus =
            script == QStringLiteral("logind_standin.py") && !options.contains(QStringLiteral("--portal"));
        standIn->service = script == QStringLiteral("notifications_standin.py") ? kNotifications
                           : standIn->systemBus                                 ? kLogind
                                                                                : kPortal;
        standIn->process.setProcessChannelMode(QProcess::ForwardedChannels);
        standIn->process.start(QStringLiteral("/usr/bin/python3"),
                               QStringList{QStringLiteral(TRELVIK_STANDIN_DIR "/") + script, log} + options);
        QProcess& process = standIn->process;
        m_standIns.push_back(std::move(standIn));
        const bool ready =
            process.waitForStarted() &&
            QTest::qWaitFor(
                [&] { return process.state() != QProcess::Running || !logged(log, QStringLiteral("ready")).isEmpty(); },
                10000);
        if (!ready || process.state() != QProcess::Running) {
            qWarning("%s did not start", qPrintable(script));
            return {};
        }
        return log;
    }

    // Ends a stand-in and waits until its name has left the bus, so that the next call to it finds
    // nobody.
    void stopStandIn(StandIn& standIn)
    {
        if (standIn.process.state() == QProcess::NotRunning)
            return;
        standIn.process.kill();
        standIn.process.waitForFinished();
        QDBusConnectionInterface* bus =
            (standIn.systemBus ? QDBusConnection::systemBus() : QDBusConnection::sessionBus()).interface();
        QVERIFY(QTest::qWaitFor([&] { return !bus->isServiceRegistered(standIn.service).value(); }, 10000));
    }

    std::unique_ptr<QTemporaryDir> m_logs;
    std::vector<std::unique_ptr<StandIn>> m_standIns;
    int m_started = 0;
};

int main(int argc, char** argv)
{
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) {
        std::puts("SKIP: dbus-daemon is not installed");
        return 77;
    }
    // The buses exist before anything in the program connects to one.
    QTemporaryDir folder;
    PrivateBus system;
    PrivateBus session;
    const QByteArray systemAddress = system.start(folder.path(), QStringLiteral("system"));
    const QByteArray sessionAddress = session.start(folder.path(), QStringLiteral("session"));
    if (!folder.isValid() || systemAddress.isEmpty() || sessionAddress.isEmpty()) {
        std::puts("FAIL: the private buses did not start");
        return 1;
    }
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemAddress);
    qputenv("DBUS_SESSION_BUS_ADDRESS", sessionAddress);
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        TestSleepGuard test;
        status = QTest::qExec(&test, argc, argv);
    }
    return status;
}

#include "test_sleep_guard.moc"
