#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class Dialogs;

// Splits a command line into arguments the way Windows programs do: blanks (space, tab) separate,
// double quotes group, 2n backslashes before a quote give n backslashes and the quote groups,
// 2n+1 give n backslashes and a literal quote, other backslashes are literal, and "" inside a
// quoted part is a literal quote. The program's name, the first word, follows the same rules.
QStringList splitWindowsCommandLine(const QString& commandLine);

// Quotes one argument so that splitWindowsCommandLine gives it back unchanged as one argument.
// Arguments that are not empty and hold no blank and no quote are returned as they are.
QString quoteWindowsArgument(const QString& argument);

// Runs one console program as a child process and captures its standard output and standard
// error through one pipe. Every read (at most 256 bytes) is handed on at once through
// ReceiveOutputs, followed by one last event with empty text when the output has ended; the whole
// text is collected as well. The run is synchronous: ExecuteCommand returns when every writer has
// closed the pipe, which is normally when the child exits.
//
// A handler of ReceiveOutputs may let pending events run, and a command handled then may start
// another run on the same instance. That run has its own pipe and child; only the command line
// and the collected output are shared.
class DOSOutputs : public QObject {
    Q_OBJECT
public:
    // Failures are reported to the user through dialogs.
    explicit DOSOutputs(Dialogs& dialogs, QObject* parent = nullptr);

    QString Commandline() const { return m_commandLine; }
    void setCommandline(const QString& DOSCommand) { m_commandLine = DOSCommand; }

    // All text read during the last run that started a child.
    QString Outputs() const { return m_outputs; }

    // Runs Commandline when it is not empty (it then becomes the stored line), else the stored
    // line. Returns the text this run read, or an empty string when nothing could be started;
    // started, when given, tells the two apart (a child that printed nothing was still started).
    QString ExecuteCommand(const QString& Commandline, bool* started = nullptr);

signals:
    // The text of one read; empty once, at the end of the output.
    void ReceiveOutputs(const QString& CommandOutputs);

private:
    void showMessage(const QString& text);

    Dialogs& m_dialogs;
    QString m_commandLine;
    QString m_outputs;
};
