#include "convert/conversion.h"

#include "convert/dos_outputs.h"
#include "platform/event_pump.h"

#include <QFileInfo>
#include <QStandardPaths>

Conversion::Conversion(DOSOutputs& runner, const AppPaths& paths, SharedState& state, QObject* parent)
    : QObject(parent), m_runner(runner), m_paths(paths), m_state(state)
{
}

QString Conversion::encoderPath() const
{
    const QString bundled = m_paths.programFile(QStringLiteral("lame"));
    if (QFileInfo(bundled).isExecutable())
        return bundled;
    const QString found = QStandardPaths::findExecutable(QStringLiteral("lame"));
    return found.isEmpty() ? bundled : found;
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
    setHold(true);
    Q_EMIT toneChanged(StatusTone::Busy);
    // Paths holding blanks or quotes are quoted, so each reaches the encoder as one argument.
    m_runner.setCommandline(quoteWindowsArgument(encoderPath()) + m_state.LameOptions + u' ' +
                            quoteWindowsArgument(inputf) + u' ' + quoteWindowsArgument(outputf));
    bool started = false;
    m_runner.ExecuteCommand(QString(), &started);
    if (!started) {
        // No end of output will come to lift the hold; the runner has said why.
        setHold(false);
        Q_EMIT toneChanged(StatusTone::Attention);
    }
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
    if (!progress.isNull()) {
        Q_EMIT status(QStringLiteral("Encoding in progress...  Status=") + progress, StatusTone::Unchanged);
        event_pump::letPendingEventsRun();
    }
    if (CommandOutputs.isEmpty()) {
        Q_EMIT status(QStringLiteral("Finish Converting"), StatusTone::Unchanged);
        setHold(false);
        Q_EMIT toneChanged(StatusTone::Attention);
    }
}

QString Conversion::outputFor(const QString& inputf)
{
    if (inputf.size() < 3)
        return {};
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
