#pragma once

#include "platform/app_paths.h"
#include "platform/shared_state.h"
#include "platform/status_tone.h"

#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>

class QProcess;

// Turning wave files into MP3 files with the encoder, run as a child process with an argument list:
// the progress shown while it runs, the end, and the hold it keeps on Record from its start until the
// encoder has ended. Nothing waits: the encoder's output and its end arrive through the event loop.
// A conversion asked for while one runs waits its turn.
class Conversion : public QObject {
    Q_OBJECT
public:
    Conversion(const AppPaths& paths, SharedState& state, QObject* parent = nullptr);
    ~Conversion() override;

    // Starts the encoder from inputf to outputf (or queues it behind the one running) and returns
    // at once.
    void Converting(const QString& inputf, const QString& outputf);

    // One piece of the encoder's output (at most 256 bytes of it): progress is shown when it carries
    // some.
    void receiveOutputs(const QString& CommandOutputs);

    // True from the start of a conversion until the encoder of the last one queued has ended.
    bool holdsRecord() const { return m_holdsRecord; }

    // The encoder: "lame" beside the program when there is one, else the one on PATH.
    QString encoderPath() const;
    // The encoder's arguments: the options of "MP3 Options", then inputf and outputf.
    QStringList arguments(const QString& inputf, const QString& outputf) const;

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
    // The encoder could not be started at all; text says so.
    void failedToStart(const QString& text);
    // The encoder for outputf has ended; ok when it ended well.
    void converted(const QString& outputf, bool ok);

private:
    struct Job {
        QString inputf;
        QString outputf;
    };
    void setHold(bool hold);
    void startNext();
    void readOutput();
    void ended(int exitCode, bool crashed);

    const AppPaths& m_paths;
    SharedState& m_state;
    QProcess* m_process = nullptr;
    Job m_running;
    QQueue<Job> m_waiting;
    bool m_holdsRecord = false;
};
