#include "app/backends.h"
#include "app/form1.h"
#include "app/remote_control.h"
#include "app/stall_watch.h"
#include "control/record_timer.h"
#include "platform/command_line.h"
#include "platform/termination_signals.h"
#include "ui/icon.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QTextStream>
#include <cstdio>
#include <fontconfig/fontconfig.h>
#include <thread>

namespace {

// Whether another copy runs on this session: asked on a thread of its own while the window is built.
bool otherCopyRuns()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    const QDBusMessage reply = bus.call(
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"))
        << QString::fromLatin1(RemoteControl::kService));
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().toBool();
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine commandLine = parseCommandLine(arguments);
    switch (commandLine.action) {
    case CommandLine::Action::Help:
        std::fputs(usageText().toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Action::Version:
        std::printf("trelvik %s\n", TRELVIK_VERSION);
        return 0;
    case CommandLine::Action::Error:
        std::fprintf(stderr, "trelvik: %s\n%s", commandLine.message.toLocal8Bit().constData(),
                     usageText().toLocal8Bit().constData());
        return 2;
    case CommandLine::Action::Command: {
        // A timer that cannot be set is refused here, before anything reaches the program.
        for (const QString& command : commandLine.commands) {
            if (!command.startsWith(kTimerCommand))
                continue;
            const record_timer::TimerCommand timer =
                record_timer::parseTimerCommand(command.mid(kTimerCommand.size()), QDateTime::currentDateTimeUtc());
            if (!timer.ok()) {
                std::fprintf(stderr, "trelvik: %s\n", timer.error.toLocal8Bit().constData());
                return 2;
            }
        }
        QCoreApplication app(argc, argv);
        QTextStream out(stdout);
        return RemoteControl::send(commandLine.commands, out);
    }
    case CommandLine::Action::Run:
        break;
    }
    if (!commandLine.home.isEmpty()) {
        const QString error = prepareHomeFolder(commandLine.home);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
            return 2;
        }
    }

    // The font configuration is read on a second core while the toolkit starts: the window's first
    // text would otherwise wait the 4 to 5 ms it takes.
    std::jthread fontsReady([] { FcInit(); });

    // Under X11 the level meter repaints a small strip some 30 times a second. Sent as a shared-memory
    // image, each repaint costs a completion event and a wake-up of Qt's event reader besides; a strip
    // that small costs less sent through the connection itself (a fifth less processor time while
    // recording with the window on screen). Whoever sets the variable keeps their choice, and the
    // programs we start (the encoder, the mail program) do not inherit ours.
    const bool sharedImagesChosen = qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM");
    if (!sharedImagesChosen)
        qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication app(argc, argv);
    if (!sharedImagesChosen)
        qunsetenv("QT_XCB_NO_MITSHM");
    QApplication::setApplicationName(QStringLiteral("Trelvik"));
    QApplication::setApplicationVersion(QStringLiteral(TRELVIK_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("trelvik"));
    // The window icon's pictures are decoded on a second core while the window is built: the image
    // reader first reads what its plugins can do, which costs 2 to 3 ms the first time. Not before
    // the toolkit starts: the first thread that makes one of its objects becomes its main thread.
    QList<QImage> iconImages;
    std::jthread iconDecoded([&iconImages] { iconImages = trelvikWindowIconImages(); });
    // The program ends when the main window is unloaded, not when its last window closes: on a first
    // run the main window is hidden while the wizard is up.
    QApplication::setQuitOnLastWindowClosed(false);
    // Logout, Ctrl+C and kill end the program as the close box does: a running recording is saved.
    // Caught from here on, so a signal that comes while the window is still being built (after the
    // program has connected to the sound server) waits for the event loop instead of killing it.
    TerminationSignals termination;

    const AppPaths paths = AppPaths::forExecutable(QCoreApplication::applicationDirPath(), commandLine.home);
    // An installed program records into the Music folder by default, which a new account may lack.
    QDir().mkpath(paths.configFolder());
    QDir().mkpath(paths.recordingFolder());

    // A second start on the same session finds the first before it shows or loads anything; the
    // session bus is asked while the window is built.
    bool otherCopy = false;
    std::jthread otherCopyCheck([&otherCopy] { otherCopy = otherCopyRuns(); });
    Platform platform = makePlatform();
    SharedState state;
    // Should the thread still be reading, the window's first text waits for it instead of reading
    // the configuration a second time beside it.
    fontsReady.join();
    Form1 form(paths, platform, state);
    otherCopyCheck.join();
    if (otherCopy) {
        QTextStream out(stdout);
        return RemoteControl::send({QStringLiteral("show")}, out) == 0 ? 0 : 1;
    }
    // One recorder a session: a second start brings the running one forward instead.
    RemoteControl remote(form);
    if (remote.claim() == RemoteControl::Claim::Taken) {
        QTextStream out(stdout);
        return RemoteControl::send({QStringLiteral("show")}, out) == 0 ? 0 : 1;
    }
    QObject::connect(&termination, &TerminationSignals::received, &form, &QWidget::close);
    StallWatch::startIfAsked(&form);
    // Before any window is shown: each takes the icon as it is shown.
    iconDecoded.join();
    QApplication::setWindowIcon(trelvikWindowIcon(iconImages));
    form.Form_Load();
    form.HotKeyPump();
    return 0;
}
