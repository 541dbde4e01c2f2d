#pragma once

#include "platform/app_paths.h"
#include "platform/shared_state.h"
#include "platform/status_tone.h"

#include <QObject>
#include <QString>

class DOSOutputs;

// Turning wave files into MP3 files with the encoder, run through the command runner: the command
// line, the progress shown while it runs, and the hold it keeps on Record from its start until the
// end of the encoder's output.
class Conversion : public QObject {
    Q_OBJECT
public:
    Conversion(DOSOutputs& runner, const AppPaths& paths, SharedState& state, QObject* parent = nullptr);

    // Runs the encoder from inputf to outputf and returns when it has ended. Progress and the end
    // are shown as the runner's output arrives (receiveOutputs).
    void Converting(const QString& inputf, const QString& outputf);

    // The runner's output: one read, or an empty text at the end of the output.
    void receiveOutputs(const QString& CommandOutputs);

    // True from the start of a conversion until the end of the encoder's output (a conversion
    // started inside another one lifts it when it ends, as the end of any output does).
    bool holdsRecord() const { return m_holdsRecord; }

    // The encoder: "lame" beside the program when there is one, else the one on PATH.
    QString encoderPath() const;

    // The output for inputf: its last three characters replaced by "mp3". Empty, with a message,
    // when that would be inputf itself (the encoder would destroy the file it reads) or inputf is
    // too short to have an extension.
    QString outputFor(const QString& inputf);
    // What is said when inputf is an MP3 already.
    static QString alreadyMp3(const QString& inputf);

    // What a piece of the encoder's output shows as progress ("42%", " 9%", "100%"): the number
    // before the first "%". Null when the piece carries no progress: no "%", fewer than two
    // characters before it, or no number right before it (lame's closing "mono %" statistics).
    static QString progressIn(const QString& piece);

signals:
    // A status-line message.
    void status(const QString& text, StatusTone tone);
    // The status line's colour alone.
    void toneChanged(StatusTone tone);
    void holdChanged();

private:
    void setHold(bool hold);

    DOSOutputs& m_runner;
    const AppPaths& m_paths;
    SharedState& m_state;
    bool m_holdsRecord = false;
};
