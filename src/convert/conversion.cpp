#include "convert/conversion.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <csignal>

namespace {

// Pieces of the encoder's output are handed on at most this many bytes at a time.
constexpr qint64 kPieceSize = 256;

} // namespace

Conversion::Conversion(const AppPaths& paths, SharedState& state, QObject* parent)
    : QObject(parent), m_paths(paths), m_state(state)
{
}

Conversion::~Conversion()
{
    // The program is going: an encoder still running is not waited for, and its partial output
    // is no MP3 anybody asked for.
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(1000);
        QFile::remove(m_running.outputf);
    }
}

QString Conversion::encoderPath() const
{
    const QString bundled = m_paths.programFile(QStringLiteral("lame"));
    if (QFileInfo(bundled).isExecutable())
        return bundled;
    const QString found = QStandardPaths::findExecutable(QStringLiteral("lame"));
    return found.isEmpty() ? bundled : found;
}

QStringList Conversion::arguments(const QString& inputf, const QString& outputf) const
{
    // The options are words the options window put together, separated by blanks; the file names
    // go as they are, blanks, quotes and all.
    QStringList arguments = m_state.LameOptions.split(u' ', Qt::SkipEmptyParts);
    arguments << inputf << outputf;
    return arguments;
}

void Conversion::setHold(bool hold)
{
    if (m_holdsRecord == hold)
        return;
    m_holdsRecord = hold;
    Q_EMIT holdChanged();
}

void Conversion::Converting(const QString& inputf, const QString& outputf)
{
    m_waiting.enqueue({inputf, outputf});
    setHold(true);
    if (!m_process || m_process->state() == QProcess::NotRunning)
        startNext();
}

void Conversion::startNext()
{
    if (m_waiting.isEmpty()) {
        setHold(false);
        return;
    }
    m_running = m_waiting.dequeue();
    Q_EMIT toneChanged(StatusTone::Busy);
    if (!m_process) {
        m_process = new QProcess(this);
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->setStandardInputFile(QProcess::nullDevice());
        // Signals this program ignores or blocks are not passed on to the encoder.
        m_process->setChildProcessModifier([] {
            for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD})
                ::signal(signal, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
        });
        connect(m_process, &QProcess::readyReadStandardOutput, this, &Conversion::readOutput);
        connect(m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus exitStatus) {
            ended(exitCode, exitStatus == QProcess::CrashExit);
        });
        connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            // No end will come: the next one, if any, starts, and Record is free once none waits.
            Q_EMIT toneChanged(StatusTone::Attention);
            Q_EMIT failedToStart(QStringLiteral("File or command not found"));
            Q_EMIT converted(m_running.outputf, false);
            QMetaObject::invokeMethod(this, &Conversion::startNext, Qt::QueuedConnection);
        });
    }
    m_process->start(encoderPath(), arguments(m_running.inputf, m_running.outputf));
}

void Conversion::readOutput()
{
    while (m_process->bytesAvailable() > 0) {
        const QByteArray piece = m_process->read(kPieceSize);
        if (piece.isEmpty())
            break;
        receiveOutputs(QString::fromLocal8Bit(piece));
    }
}

void Conversion::ended(int exitCode, bool crashed)
{
    readOutput();
    const bool ok = !crashed && exitCode == 0;
    if (!ok) {
        const QString how = crashed ? QStringLiteral("the encoder stopped unexpectedly")
                                    : QStringLiteral("the encoder ended with status %1").arg(exitCode);
        Q_EMIT status(QStringLiteral("%1 could not be converted: %2; the wave file is kept.")
                          .arg(QFileInfo(m_running.inputf).fileName(), how),
                      StatusTone::Unchanged);
    } else {
        Q_EMIT status(QStringLiteral("Finish Converting"), StatusTone::Unchanged);
    }
    Q_EMIT toneChanged(StatusTone::Attention);
    Q_EMIT converted(m_running.outputf, ok);
    startNext();
}

QString Conversion::progressIn(const QString& piece)
{
    const qsizetype percent = piece.indexOf(u'%');
    if (percent < 2)
        return {};
    qsizetype start = percent;
    while (start > 0 && piece[start - 1].isDigit())
        --start;
    if (start == percent)
        return {};
    // The whole number, so 100 shows as "100%"; shorter numbers keep three characters (" 9%").
    return percent - start >= 3 ? piece.mid(start, percent - start + 1) : piece.mid(percent - 2, 3);
}

void Conversion::receiveOutputs(const QString& CommandOutputs)
{
    const QString progress = progressIn(CommandOutputs);
    if (!progress.isNull())
        Q_EMIT status(QStringLiteral("Encoding in progress...  Status=") + progress, StatusTone::Unchanged);
}

QString Conversion::outputFor(const QString& inputf)
{
    if (inputf.size() < 3)
        return {};
    // A take saved compressed: its name minus three letters would be no MP3 name ("take.fmp3"), and
    // encoding it again would only lose more.
    const QString suffix = QFileInfo(inputf).suffix().toLower();
    if (suffix == u"flac" || suffix == u"ogg" || suffix == u"opus") {
        Q_EMIT status(
            QStringLiteral("%1 is saved compressed already; only wave files are converted to MP3.").arg(inputf),
            StatusTone::Attention);
        return {};
    }
    const QString outputf = inputf.left(inputf.size() - 3) + QStringLiteral("mp3");
    if (outputf == inputf) {
        Q_EMIT status(alreadyMp3(inputf), StatusTone::Attention);
        return {};
    }
    return outputf;
}

QString Conversion::alreadyMp3(const QString& inputf)
{
    return QStringLiteral("%1 is already an MP3 file; it is not converted again.").arg(inputf);
}
