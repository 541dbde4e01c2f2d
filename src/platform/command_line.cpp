#include "platform/command_line.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

bool isTimerWord(const QString& word)
{
    for (const char* prefix : {"record-at:", "record-after:", "stop-after:", "stop-at:", "stop-at-size:"})
        if (word.startsWith(QLatin1String(prefix)) && word.size() > int(qstrlen(prefix)))
            return true;
    return word == u"cancel-timer" || word == u"daily";
}

CommandLine parseCommandLine(const QStringList& arguments)
{
    CommandLine result;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == u"--help" || arg == u"-h") {
            result.action = CommandLine::Action::Help;
            return result;
        }
        if (arg == u"--version" || arg == u"-v") {
            result.action = CommandLine::Action::Version;
            return result;
        }
        if (arg == u"--command" || arg.startsWith(u"--command=")) {
            QString names;
            if (arg == u"--command") {
                if (i + 1 >= arguments.size()) {
                    result.action = CommandLine::Action::Error;
                    result.message = QStringLiteral("--command needs a command");
                    return result;
                }
                names = arguments[++i];
            } else {
                names = arg.mid(10);
            }
            result.action = CommandLine::Action::Command;
            result.commands.clear();
            // A "+" followed by a letter starts the next command; in "21:30+01:00" it is a time's offset.
            static const QRegularExpression next(QStringLiteral("\\+(?=[a-z])"));
            for (const QString& name : names.split(next)) {
                if (isTimerWord(name)) {
                    if (!result.commands.isEmpty() && result.commands.last().startsWith(kTimerCommand))
                        result.commands.last() += u'+' + name;
                    else
                        result.commands.append(kTimerCommand + name);
                    continue;
                }
                if (!kRemoteCommands.contains(name)) {
                    result.action = CommandLine::Action::Error;
                    result.message = QStringLiteral("unknown command \"%1\" (the commands are %2)")
                                         .arg(name, kRemoteCommands.join(QStringLiteral(", ")) +
                                                        QStringLiteral(", and the timer's record-at:TIME, "
                                                                       "record-after:DURATION, stop-after:DURATION, "
                                                                       "stop-at:TIME, stop-at-size:SIZE, daily, "
                                                                       "cancel-timer"));
                    return result;
                }
                result.commands.append(name);
            }
            continue;
        }
        if (arg == u"--home") {
            if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty()) {
                result.action = CommandLine::Action::Error;
                result.message = QStringLiteral("--home needs a folder");
                return result;
            }
            result.home = arguments[++i];
            continue;
        }
        if (arg.startsWith(u"--home=")) {
            result.home = arg.mid(7);
            if (result.home.isEmpty()) {
                result.action = CommandLine::Action::Error;
                result.message = QStringLiteral("--home needs a folder");
                return result;
            }
            continue;
        }
        result.rest.append(arg);
    }
    return result;
}

QString usageText()
{
    return QStringLiteral(
        "Usage: trelvik [--home DIR] [--help] [--version]\n"
        "       trelvik --command COMMAND[+COMMAND...]\n"
        "\n"
        "Trelvik records what the chosen recording source delivers into wave files,\n"
        "plays them, converts them to MP3 and mails them. F9 records, F10 pauses and\n"
        "resumes, F11 stops, also while another program has the focus.\n"
        "\n"
        "  --home DIR        keep Config.ini and the default recording in DIR (created when missing)\n"
        "  --command NAMES   tell the running Trelvik what to do, then exit: record, pause\n"
        "                    (pauses or resumes), stop, toggle (record when idle, stop\n"
        "                    otherwise), status (prints recording, paused, idle or not\n"
        "                    running; armed while a timer waits or sound starts takes),\n"
        "                    show, quit, arm (sound above the threshold set in the Timer\n"
        "                    window starts a take), disarm; several are joined with \"+\"\n"
        "                    The timer: record-at:TIME, record-after:DURATION, and\n"
        "                    stop-after:DURATION, stop-at:TIME or stop-at-size:SIZE, daily,\n"
        "                    cancel-timer (for example record-at:21:30+stop-after:1h30m);\n"
        "                    TIME is HH:MM[:SS] or an ISO 8601 date and time, DURATION like\n"
        "                    45s, 90m or 1h30m, SIZE like 700MB; status prints armed while\n"
        "                    a timer waits\n"
        "  --help            show this text and exit\n"
        "  --version         show the version and exit\n");
}

QString prepareHomeFolder(const QString& home)
{
    const QFileInfo info(home);
    if (info.exists() && !info.isDir())
        return QStringLiteral("trelvik: --home %1: not a folder").arg(home);
    if (!info.exists() && !QDir().mkpath(home))
        return QStringLiteral("trelvik: --home %1: the folder cannot be created").arg(home);
    return {};
}
