#pragma once

#include <QString>
#include <QStringList>

// What the program was asked to do by its arguments. Parsed before any window system is touched, so
// "--help" and "--version" work without a display.
struct CommandLine {
    enum class Action { Run, Help, Version, Command, Error };
    Action action = Action::Run;
    QString home;         // "--home DIR", empty when not given
    QStringList commands; // "--command record+show": the commands for the running program, in order
    QString message;      // the error, for Action::Error
    QStringList rest;     // arguments left for the toolkit (for example -platform)
};

// The commands a running program answers to.
inline const QStringList kRemoteCommands{QStringLiteral("record"), QStringLiteral("pause"),  QStringLiteral("stop"),
                                         QStringLiteral("toggle"), QStringLiteral("status"), QStringLiteral("show"),
                                         QStringLiteral("quit"),   QStringLiteral("arm"),    QStringLiteral("disarm")};

// The timer's words ("record-at:21:30", "stop-after:90m", "cancel-timer", ...): in a chain, those in
// a row go to the running program as one command "timer:<words joined by +>".
inline const QString kTimerCommand = QStringLiteral("timer:");
bool isTimerWord(const QString& word);

CommandLine parseCommandLine(const QStringList& arguments);
QString usageText();

// Creates the "--home" folder when it is missing. Returns an error text, empty on success.
QString prepareHomeFolder(const QString& home);
