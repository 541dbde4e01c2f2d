#include "recording/recorder.h"

#include "platform/recording_format.h"
#include "recording/level_meter.h"
#include "recording/output_location.h"
#include "recording/pulse_capture.h"
#include "recording/recording_clock.h"
#include "recording/recovery.h"
#include "recording/take_encoder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace {

const QString kRecording = QStringLiteral("The Program is Recording now........");
const QString kPaused = QStringLiteral("Recording Paused,Press Resume\\Stop to continue\\over");
const QString kSaving = QStringLiteral("Saving your recording, Please wait...");
const QString kSaved = QStringLiteral("Recording is over,Wave file has saved in appointed path");

// Counters that must never wrap: they stop at the largest value.
int16_t raised(int64_t value)
{
    return int16_t(std::min<int64_t>(value, std::numeric_limits<int16_t>::max()));
}

// Seconds of audio a wave file holds, counted from its frames; negative when it cannot be read.
double waveSeconds(const QString& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return -1;
    sf_close(file);
    return info.samplerate > 0 ? double(info.frames) / info.samplerate : -1;
}

// "0:41": whole minutes and two-digit seconds, as the clock shows them.
QString shortLength(double seconds)
{
    const auto whole = static_cast<qint64>(std::floor(seconds));
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QChar(u'0'));
}

QString failureReason(CaptureComponent::Failure failure, int error)
{
    switch (failure) {
    case CaptureComponent::Failure::SourceGone:
        return QStringLiteral("the source is gone");
    case CaptureComponent::Failure::ServerGone:
        return QStringLiteral("the sound server is gone");
    case CaptureComponent::Failure::WriteFailed:
        if (error == ENOSPC || error == EDQUOT)
            return QStringLiteral("the disk is full");
        return QStringLiteral("a write failed (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
    case CaptureComponent::Failure::None:
        break;
    }
    return {};
}

QString startFailure(int32_t result)
{
    switch (result) {
    case CaptureComponent::NoServer:
        return QStringLiteral("Recording could not start: no sound server answers.");
    case CaptureComponent::NoSource:
        return QStringLiteral("Recording could not start: the source is not available.");
    case CaptureComponent::NoFolder:
        return QStringLiteral("Recording could not start: no folder can take the recording.");
    default:
        return QStringLiteral("Recording could not start.");
    }
}

// "0.7": seconds with one decimal, in the user's locale.
QString tenths(int milliseconds)
{
    return QLocale().toString(double(milliseconds) / 1000.0, 'f', 1);
}

// The test recording of the setup wizard: small, and the same on every source.
constexpr int32_t kTestChannels = 1;
constexpr int32_t kTestRate = 22050;
constexpr int32_t kTestBits = 8;

} // namespace

Recorder::Recorder(CaptureComponent& capture, const AppPaths& paths, const Settings& settings, SharedState& state,
                   QObject* parent)
    : QObject(parent), m_capture(capture), m_paths(paths), m_settings(settings), m_shared(state)
{
    m_clock.setObjectName(QStringLiteral("Timer2"));
    m_clock.setInterval(1000);
    connect(&m_clock, &QTimer::timeout, this, &Recorder::tick);
    m_capture.setFailureHandler([this](CaptureComponent::Failure) { captureFailed(); });
    // Between takes the status line follows the chosen source: where the meter's sound comes from,
    // and what Record would record. A take says where it records as it starts.
    m_capture.setStandInHandler([this](const QString& chosen, const QString& instead) {
        if (m_state != State::Idle)
            return;
        if (instead.isEmpty())
            Q_EMIT status(QStringLiteral("%1 is connected again.").arg(chosen), StatusTone::Unchanged);
        else
            Q_EMIT status(standInText(chosen, instead), StatusTone::Attention);
    });
    // A take whose folder went away during the recording and cannot be made again goes to the
    // recordings folder, the Music folder or home, whichever takes it first.
    m_capture.setFallbackFolders(
        {m_paths.recordingFolder(), QStandardPaths::writableLocation(QStandardPaths::MusicLocation), QDir::homePath()});
}

Recorder::~Recorder() = default;

QString Recorder::standInText(const QString& chosen, const QString& instead)
{
    return QStringLiteral("%1 is not connected; recording from %2").arg(chosen, instead);
}

QString Recorder::savedText()
{
    return kSaved;
}

QString Recorder::recordingText()
{
    return kRecording;
}

bool Recorder::isBusy() const
{
    return m_state == State::Starting || m_state == State::Saving || m_state == State::Testing;
}

bool Recorder::canRecord() const
{
    return m_state == State::Idle;
}

QString Recorder::pauseCaption() const
{
    return m_resumeCaption ? QStringLiteral("Resume F10") : QStringLiteral("Pause F10");
}

void Recorder::setState(State state)
{
    m_state = state;
    Q_EMIT changed();
}

bool Recorder::record()
{
    if (!canRecord())
        return false;
    // A location that cannot be a file name would give a file called "_1.wav" or a cut name.
    const QString location = m_shared.OutputPath;
    if (location.contains(u'\n') || location.contains(u'\r')) {
        Q_EMIT status(QStringLiteral("The output file's name holds a line break: choose another with Output File."),
                      StatusTone::Attention);
        return false;
    }
    if (location.endsWith(u'/') || QFileInfo(location).isDir()) {
        Q_EMIT status(QStringLiteral("The output file %1 is a folder: choose a file with Output File.").arg(location),
                      StatusTone::Attention, location);
        return false;
    }
    // The recording streams to disk beside its destination, so that saving it is a rename. Its name
    // is free in the format it is saved as too.
    m_saveFormat = m_settings.saveFormat();
    const QString other = m_saveFormat == recording_format::SaveFormat::Wav
                              ? QString()
                              : recording_format::saveFormatExtension(m_saveFormat);
    const output_location::FreeName free =
        output_location::freeName(m_shared.OutputPath, m_outputSuffix, m_shared.ConvertOnCompletion == 1, other);
    const QString planned = free.path;
    m_plannedPath = QFileInfo(planned).absoluteFilePath();
    m_plannedSuffix = free.suffix;
    m_capture.setSpoolTarget(QFileInfo(planned).absoluteFilePath());
    m_folderAtRecord = QFileInfo(QFileInfo(planned).absolutePath()).isDir();
    m_stopWanted = false;
    setState(State::Starting);
    QPointer<Recorder> alive(this);
    m_capture.startLater(m_shared.Channels, m_shared.SamplesPerSec, m_shared.BitsPerSample, [alive](int32_t result) {
        if (alive)
            alive->started(result);
    });
    return true;
}

void Recorder::started(int32_t result)
{
    if (m_state != State::Starting)
        return;
    if (result != CaptureComponent::Started) {
        Q_EMIT status(startFailure(result), StatusTone::Attention);
        setState(State::Idle);
        return;
    }
    Q_EMIT recordingStarted();
    m_clock.start();
    // The seconds kept from before Record are in the take: the clock counts them.
    m_elapsedSeconds = std::max(0, m_capture.keptBeforeStartMs()) / 1000;
    m_resumeCaption = false;
    m_startWatched = false;
    startSilenceWatch();
    // The size estimate goes by the data rate Preferences shows for the format, rounded as shown.
    m_megabytesPerSecond = recording_clock::megabytesPerSecond(recording_format::dataRateText(
        recording_format::megabytesPerMinute(m_shared.SamplesPerSec, m_shared.Channels, m_shared.BitsPerSample)));
    beginEncoding();
    // A Stop while starting, or a source that failed as soon as it delivered: the take ends now, and
    // nobody sees it recording in between.
    if (m_stopWanted || m_capture.failure() != CaptureComponent::Failure::None) {
        m_state = State::Recording;
        finishTake();
        return;
    }
    setState(State::Recording);
    const CaptureComponent::StandIn standIn = m_capture.standIn();
    if (standIn.chosen.isEmpty()) {
        Q_EMIT status(kRecording, StatusTone::Busy);
    } else {
        const QString instead = m_capture.recordingSourceDescription();
        Q_EMIT status(standInText(standIn.chosen, instead.isEmpty() ? standIn.instead : instead), StatusTone::Busy);
    }
    if (!m_encoderTrouble.isEmpty())
        sayEncoderTrouble();
}

void Recorder::sayEncoderTrouble()
{
    Q_EMIT status(QStringLiteral("Recording, but it cannot be saved as %1: %2. The wave file will be kept.")
                      .arg(recording_format::saveFormatName(m_saveFormat), m_encoderTrouble),
                  StatusTone::Attention);
}

void Recorder::watchEncoder()
{
    // A copy that fails while the take goes on (its disk full, lame gone) is said at once; the take
    // goes on into its wave file, which is kept at Stop.
    if (!m_encoder || !m_encoderTrouble.isEmpty() || (m_state != State::Recording && m_state != State::Paused))
        return;
    std::string why;
    if (!m_encoder->failedWhileRecording(&why))
        return;
    m_encoderTrouble = encoderWords(QString::fromStdString(why));
    sayEncoderTrouble();
}

namespace {

TakeEncoder::Kind encoderKind(recording_format::SaveFormat format)
{
    switch (format) {
    case recording_format::SaveFormat::Flac:
        return TakeEncoder::Kind::Flac;
    case recording_format::SaveFormat::Vorbis:
        return TakeEncoder::Kind::Vorbis;
    case recording_format::SaveFormat::Opus:
        return TakeEncoder::Kind::Opus;
    case recording_format::SaveFormat::Mp3:
    case recording_format::SaveFormat::Wav:
        break;
    }
    return TakeEncoder::Kind::Mp3;
}

} // namespace

TakeEncoder::Mp3Options Recorder::mp3Options() const
{
    // lame as the conversion runs it: the one in the program's folder first, with the MP3 options.
    TakeEncoder::Mp3Options mp3;
    const QString bundled = m_paths.programFile(QStringLiteral("lame"));
    mp3.program = QFile::encodeName(QFileInfo(bundled).isExecutable() ? bundled : QStringLiteral("lame")).toStdString();
    mp3.arguments = m_shared.LameOptions.split(u' ', Qt::SkipEmptyParts);
    return mp3;
}

QString Recorder::fileBeingWritten() const
{
    if (m_encoder && m_encoderTrouble.isEmpty())
        return copyPath();
    return m_capture.spoolPath();
}

QString Recorder::copyPath() const
{
    return m_encodedPath + QString::fromLatin1(kCopySuffix);
}

QString Recorder::encoderWords(const QString& why) const
{
    // The copy is written under a passing name; the user knows the file by the name it would take.
    QString words = why;
    return words.replace(QFileInfo(copyPath()).fileName(), QFileInfo(m_encodedPath).fileName());
}

void Recorder::beginEncoding()
{
    m_encoder.reset();
    m_encoderTrouble.clear();
    m_encodedPath.clear();
    if (m_saveFormat == recording_format::SaveFormat::Wav)
        return;
    m_encodedPath = output_location::siblingPath(m_plannedPath, recording_format::saveFormatExtension(m_saveFormat));
    // A component without a growing file of its own: the copy is made from the saved file at Stop.
    const QString spool = m_capture.spoolPath();
    if (spool.isEmpty())
        return;
    const TakeEncoder::Mp3Options mp3 = mp3Options();
    auto encoder = std::make_unique<TakeEncoder>();
    std::string error;
    if (!encoder->start(QFile::encodeName(spool).toStdString(),
                        PulseCapture::formatFor(m_shared.Channels, m_shared.SamplesPerSec, m_shared.BitsPerSample),
                        encoderKind(m_saveFormat), QFile::encodeName(copyPath()).toStdString(), mp3, &error)) {
        m_encoderTrouble = encoderWords(QString::fromStdString(error));
        return;
    }
    m_encoder = std::move(encoder);
}

bool Recorder::pauseOrResume()
{
    if (m_state == State::Recording) {
        m_resumeCaption = true;
        setState(State::Paused);
        m_capture.pause();
        m_silenceShown = false;
        Q_EMIT status(kPaused, StatusTone::Attention);
        m_clock.stop();
        return true;
    }
    if (m_state == State::Paused) {
        m_resumeCaption = false;
        setState(State::Recording);
        m_capture.resume();
        // The paused time is not recorded: the watch starts again.
        startSilenceWatch();
        Q_EMIT status(kRecording, StatusTone::Busy);
        m_clock.start();
        return true;
    }
    return false;
}

void Recorder::tick()
{
    Mmss();
    if (m_elapsedSeconds < std::numeric_limits<int32_t>::max())
        ++m_elapsedSeconds;
    watchStart();
    watchSilence();
    watchEncoder();
}

void Recorder::watchStart()
{
    if (m_startWatched || m_state != State::Recording)
        return;
    const int missed = m_capture.missedAtStartMs();
    if (missed < 0)
        return; // nothing heard yet
    m_startWatched = true;
    if (missed > kMissedStartMs)
        Q_EMIT status(QStringLiteral("Recording, but the first %1 s after Record are missing: the source delivered "
                                     "no sound before.")
                          .arg(tenths(missed)),
                      StatusTone::Attention);
}

void Recorder::startSilenceWatch()
{
    m_silentSeconds = 0;
    m_silenceShown = false;
    m_capture.takeLoudest(); // what came before belongs to no second of this take
}

void Recorder::watchSilence()
{
    if (m_state != State::Recording)
        return;
    // One clock tick a second: the loudest sample of that second.
    const float loudest = m_capture.takeLoudest();
    if (loudest < 0)
        return; // a capture that measures nothing tells nothing
    if (loudest >= level_meter::silenceLevel) {
        m_silentSeconds = 0;
        if (m_silenceShown) {
            m_silenceShown = false;
            Q_EMIT status(kRecording, StatusTone::Busy);
        }
        return;
    }
    if (++m_silentSeconds < kSilentSeconds || m_silenceShown)
        return;
    m_silenceShown = true;
    QString source = m_capture.recordingSourceDescription();
    if (source.isEmpty())
        source = QStringLiteral("the recording source");
    Q_EMIT status(
        QStringLiteral("No sound is arriving from %1: is it muted, unplugged, or the wrong device?").arg(source),
        StatusTone::Attention);
}

void Recorder::Mmss()
{
    const recording_clock::Display display = recording_clock::display(m_elapsedSeconds, m_megabytesPerSecond);
    m_minutesText = display.minutesText;
    m_secondsText = display.secondsText;
    Q_EMIT clockShown(display.panelText);
}

bool Recorder::stop()
{
    if (m_state == State::Starting) {
        m_stopWanted = true;
        return true;
    }
    return finishTake();
}

void Recorder::captureFailed()
{
    // A Stop that came first has saved the take already and told why it ended.
    if (canStop())
        finishTake();
}

bool Recorder::finishTake()
{
    if (!canStop())
        return false;
    // A recording never replaces an existing file: names whose file exists are skipped.
    const bool converting = m_shared.ConvertOnCompletion == 1;
    output_location::FreeName name = output_location::freeName(m_shared.OutputPath, m_outputSuffix, converting);
    // A take saved in another format keeps the name its copy was made under at Record; the copy
    // itself holds that name in its own format.
    if (m_saveFormat != recording_format::SaveFormat::Wav)
        name = {m_plannedPath, m_plannedSuffix};
    m_shared.OutputPath = name.path;
    m_savedSuffix = name.suffix;
    m_savingPath = name.path;
    m_folderAtStop = QFileInfo(QFileInfo(m_shared.OutputPath).absolutePath()).isDir();
    m_resumeCaption = false;
    m_clock.stop();
    setState(State::Saving);
    Q_EMIT status(kSaving, StatusTone::Attention);
    // The file is written off the UI thread; the window goes on painting and answering meanwhile,
    // and finds the session saving, so nothing else starts.
    QPointer<Recorder> alive(this);
    m_capture.saveLater(m_savingPath, [alive](int32_t result) {
        if (alive)
            alive->takeSaved(result);
    });
    return true;
}

void Recorder::takeSaved(int32_t result)
{
    // Where the take is, and how much it holds: only a file that holds audio counts as saved.
    QString path;
    if (result == CaptureComponent::Saved || result == CaptureComponent::SavedIncomplete)
        path = canonicalPath(m_savingPath);
    else if (result == CaptureComponent::KeptElsewhere)
        path = canonicalPath(m_capture.keptPath());
    double seconds = path.isEmpty() ? -1 : waveSeconds(path);
    if (seconds == 0) {
        QFile::remove(path);
        path.clear();
    }
    // A take in the wave file in full: its copy in the chosen format is finished before it counts
    // as saved. Otherwise the wave file is what there is.
    const bool encoded = m_saveFormat != recording_format::SaveFormat::Wav;
    if (encoded && !path.isEmpty() && result == CaptureComponent::Saved && m_encoderTrouble.isEmpty()) {
        m_saveResult = result;
        m_wavePath = path;
        m_waveSeconds = seconds;
        if (finishEncoding(path))
            return;
    }
    m_encoder.reset();
    QString note;
    if (encoded && !path.isEmpty())
        note = QStringLiteral("It was not saved as %1%2.")
                   .arg(recording_format::saveFormatName(m_saveFormat),
                        m_encoderTrouble.isEmpty() ? QString() : QStringLiteral(": ") + m_encoderTrouble);
    report(result, path, seconds, note);
}

bool Recorder::finishEncoding(const QString& wavePath)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(wavePath).constData(), SFM_READ, &info);
    if (!file) {
        m_encoderTrouble = QStringLiteral("the wave file cannot be read");
        return false;
    }
    sf_close(file);
    if (!m_encoder) {
        // Nothing followed the take while it recorded: the copy is made from the saved file.
        m_encoder = std::make_unique<TakeEncoder>();
        const TakeEncoder::Mp3Options mp3 = mp3Options();
        const WaveSpool::Format format = PulseCapture::formatFor(
            info.channels, info.samplerate, (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_U8 ? 8 : 16);
        std::string error;
        if (!m_encoder->start(QFile::encodeName(wavePath).toStdString(), format, encoderKind(m_saveFormat),
                              QFile::encodeName(copyPath()).toStdString(), mp3, &error)) {
            m_encoder.reset();
            m_encoderTrouble = encoderWords(QString::fromStdString(error));
            return false;
        }
    }
    // The copy has followed the take; what is left takes a moment, on the encoder's thread.
    QPointer<Recorder> alive(this);
    const QString copy = copyPath();
    const QString encoded = m_encodedPath;
    m_encoder->finish(uint64_t(info.frames), [alive, copy, encoded, wavePath](const TakeEncoder::Result& result) {
        const bool ok = result.ok;
        // The checked copy takes its name, never replacing a file that took the name meanwhile; then
        // it holds the take, and the wave file it was made from goes. Here, off the window's thread:
        // the file system takes a tenth of a second or more to remove an hour of wave file.
        const bool named = ok && QFile::rename(copy, encoded);
        QFile::remove(named ? wavePath : copy);
        const QString error = QString::fromStdString(result.error);
        QMetaObject::invokeMethod(
            alive.data(),
            [alive, ok, named, error] {
                if (alive)
                    alive->takeEncoded(ok, named, error);
            },
            Qt::QueuedConnection);
    });
    return true;
}

void Recorder::takeEncoded(bool ok, bool named, const QString& error)
{
    if (m_encoder)
        m_encoder->wait();
    m_encoder.reset();
    QString why = encoderWords(error);
    if (named) {
        report(m_saveResult, canonicalPath(m_encodedPath), m_waveSeconds, {});
        return;
    }
    if (ok)
        why = QStringLiteral("%1 was taken meanwhile").arg(QFileInfo(m_encodedPath).fileName());
    m_encoderTrouble = why;
    report(m_saveResult, m_wavePath, m_waveSeconds,
           QStringLiteral("It was not saved as %1: %2.").arg(recording_format::saveFormatName(m_saveFormat), why));
}

void Recorder::report(int32_t result, QString path, double seconds, const QString& encodingNote)
{
    const CaptureComponent::Failure failure = m_capture.failure();
    const bool folderWasThere = m_folderAtStop;
    const QString reason = failureReason(failure, m_capture.writeError());
    QString outcome;
    if (path.isEmpty())
        outcome =
            reason.isEmpty()
                ? QStringLiteral("The recording could not be saved as %1: nothing was recorded.").arg(m_savingPath)
                : QStringLiteral("Recording stopped: %1. Nothing was recorded.").arg(reason);
    else if (!reason.isEmpty())
        outcome = QStringLiteral("Recording stopped: %1. %2 kept in %3")
                      .arg(reason, shortLength(std::max(seconds, 0.0)), path);
    else if (result == CaptureComponent::KeptElsewhere && folderWasThere)
        outcome = QStringLiteral("Could not save as %1; the recording is kept in %2")
                      .arg(QFileInfo(m_savingPath).fileName(), path);
    else if (result == CaptureComponent::KeptElsewhere)
        outcome = m_folderAtRecord
                      ? QStringLiteral("Its folder was removed; the recording is saved as %1").arg(path)
                      : QStringLiteral("Its folder did not exist and could not be made; the recording is saved as %1")
                            .arg(path);
    else if (result == CaptureComponent::SavedIncomplete)
        outcome = QStringLiteral("A write failed; what was written is kept in %1").arg(path);
    // Not in the chosen format: the wave file holds the take, and the message says so.
    if (!encodingNote.isEmpty())
        outcome = outcome.isEmpty()
                      ? QStringLiteral("%1 The recording is kept as the wave file %2").arg(encodingNote, path)
                      : outcome + u' ' + encodingNote;
    // Saved in full where it was meant to go, in a folder that had to be made: worth saying, but no
    // trouble, and the conversion goes on.
    QString folderNote;
    if (outcome.isEmpty() && !path.isEmpty() && !folderWasThere)
        folderNote =
            m_folderAtRecord
                ? QStringLiteral("Its folder was removed and made again; the recording is saved as %1").arg(path)
                : QStringLiteral("Its folder did not exist and was made; the recording is saved as %1").arg(path);

    Q_EMIT status(path, StatusTone::Unchanged);
    // The list shows the clock's length, or the file's where the two differ by a second or more.
    QString length = recording_clock::lengthText(m_minutesText, m_secondsText);
    const double shown = m_minutesText.toDouble() * 60 + m_secondsText.toDouble();
    if (seconds >= 0 && std::fabs(seconds - shown) >= 1) {
        const auto whole = static_cast<qint64>(std::floor(seconds));
        length = recording_clock::lengthText(QString::number(whole / 60), QString::number(whole % 60));
    }
    if (!path.isEmpty())
        Q_EMIT listed(length, path);
    const int missed = m_capture.missedAtStartMs();
    if (!folderNote.isEmpty()) {
        Q_EMIT status(folderNote, StatusTone::Attention, path);
    } else if (outcome.isEmpty() && missed > kMissedStartMs) {
        Q_EMIT status(QStringLiteral("Saved as %1, but its first %2 s are missing: the source delivered no sound "
                                     "before.")
                          .arg(path, tenths(missed)),
                      StatusTone::Attention, path);
    } else if (outcome.isEmpty() && m_saveFormat != recording_format::SaveFormat::Wav) {
        Q_EMIT status(QStringLiteral("Recording is over,%1 file has saved in appointed path")
                          .arg(recording_format::saveFormatName(m_saveFormat)),
                      StatusTone::Unchanged);
    } else if (outcome.isEmpty()) {
        Q_EMIT status(kSaved, StatusTone::Unchanged);
    } else {
        Q_EMIT status(outcome, StatusTone::Attention, path);
        Q_EMIT takeTroubled(outcome);
    }
    Savefile();
    m_outputSuffix = raised(m_savedSuffix + 1);
    // Saved in full where it was meant to go: whoever converts takes it from here, before the session
    // is idle, so that nothing starts in between.
    if (outcome.isEmpty() && m_saveFormat == recording_format::SaveFormat::Wav)
        Q_EMIT saved(path, length);
    setState(State::Idle);
}

bool Recorder::startTest(int32_t source, const QString& path)
{
    if (!canRecord())
        return false;
    setState(State::Testing);
    m_capture.selectSource(source);
    m_capture.setSpoolTarget(path);
    m_testPath.clear();
    m_testStarting = true;
    // A start that fails still ends with finishTest: its save finds nothing and says so.
    QPointer<Recorder> alive(this);
    m_capture.startLater(kTestChannels, kTestRate, kTestBits, [alive](int32_t) {
        if (alive)
            alive->testStarted();
    });
    return true;
}

void Recorder::testStarted()
{
    m_testStarting = false;
    const QString path = std::exchange(m_testPath, QString());
    if (m_state != State::Testing)
        return;
    if (!path.isEmpty())
        saveTest(path);
    else
        Q_EMIT testRunning();
}

void Recorder::finishTest(const QString& path)
{
    if (m_state != State::Testing)
        return;
    // Asked before the test has started: it is saved as soon as it has.
    if (m_testStarting) {
        m_testPath = path;
        return;
    }
    saveTest(path);
}

void Recorder::saveTest(const QString& path)
{
    QPointer<Recorder> alive(this);
    m_capture.saveLater(path, [alive](int32_t result) {
        if (!alive)
            return;
        alive->setState(State::Idle);
        Q_EMIT alive->testSaved(result == CaptureComponent::Saved);
    });
}

int Recorder::recoverTakes(const QStringList& folders)
{
    std::vector<std::string> where;
    for (const QString& folder : folders)
        where.push_back(QFile::encodeName(folder).toStdString());
    QStringList recovered;
    QStringList unfinished;
    for (OrphanTake& take : OrphanTake::find(where)) {
        // The setup wizard's test recordings are scratch, not takes of the user's.
        const QFileInfo spool(QFile::decodeName(take.path().c_str()));
        if (spool.fileName().startsWith(QStringLiteral("trelvik-test-")))
            continue;
        // The copy in another format that was being made beside it was cut off with the program: the
        // wave file holds the take, and the copy goes.
        QString planned = spool.fileName().chopped(int(std::strlen(WaveSpool::suffix)));
        static const QRegularExpression numbered(QStringLiteral("\\.[0-9]+$"));
        planned.remove(numbered);
        for (recording_format::SaveFormat format : recording_format::kSaveFormats) {
            if (format == recording_format::SaveFormat::Wav)
                continue;
            const QString copy = output_location::siblingPath(spool.dir().filePath(planned),
                                                              recording_format::saveFormatExtension(format)) +
                                 QString::fromLatin1(kCopySuffix);
            if (QFileInfo::exists(copy) && QFile::remove(copy))
                unfinished.append(recording_format::saveFormatName(format));
        }
        const OrphanTake::Verdict verdict = take.repair();
        if (verdict == OrphanTake::Verdict::Empty) {
            take.remove();
            continue;
        }
        if (verdict != OrphanTake::Verdict::Take)
            continue;
        // The name the next Stop would give: the take was the one that should have had it.
        QString path;
        for (int attempt = 0; attempt < 100 && path.isEmpty(); ++attempt) {
            const output_location::FreeName free = output_location::freeName(m_shared.OutputPath, m_outputSuffix);
            std::error_code error;
            const bool moved =
                take.moveTo(QFile::encodeName(QFileInfo(free.path).absoluteFilePath()).toStdString(), &error);
            if (moved || error == std::errc::file_exists)
                m_outputSuffix = raised(free.suffix + 1);
            if (moved)
                path = canonicalPath(free.path);
            else if (error != std::errc::file_exists)
                break;
        }
        if (path.isEmpty())
            continue;
        const auto seconds =
            static_cast<qint64>(take.sampleRate() > 0 ? take.frames() / uint64_t(take.sampleRate()) : 0);
        Q_EMIT listed(recording_clock::lengthText(QString::number(seconds / 60), QString::number(seconds % 60)), path);
        recovered.append(path);
    }
    // A program killed after Stop, while it finished a take's copy: the wave file is complete and
    // holds the take, but nothing lists it, and the unfinished copy beside it would stay for good.
    QStringList seen;
    for (const QString& folder : folders) {
        const QString absolute = QFileInfo(folder).absoluteFilePath();
        if (seen.contains(absolute))
            continue;
        seen.append(absolute);
        for (recording_format::SaveFormat format : recording_format::kSaveFormats) {
            if (format == recording_format::SaveFormat::Wav)
                continue;
            const QString ending =
                u'.' + recording_format::saveFormatExtension(format) + QString::fromLatin1(kCopySuffix);
            const QDir dir(absolute);
            for (const QString& name : dir.entryList({u'*' + ending}, QDir::Files | QDir::Hidden)) {
                const QString wave = dir.filePath(name.chopped(int(ending.size())) + QStringLiteral(".wav"));
                SF_INFO info{};
                SNDFILE* file = sf_open(QFile::encodeName(wave).constData(), SFM_READ, &info);
                if (!file)
                    continue; // no take of ours beside it: the copy is left alone
                sf_close(file);
                if (!QFile::remove(dir.filePath(name)))
                    continue;
                const QString path = canonicalPath(wave);
                const auto seconds = static_cast<qint64>(info.samplerate > 0 ? info.frames / info.samplerate : 0);
                Q_EMIT listed(recording_clock::lengthText(QString::number(seconds / 60), QString::number(seconds % 60)),
                              path);
                recovered.append(path);
                unfinished.append(recording_format::saveFormatName(format));
            }
        }
    }
    // Takes whose copy in another format was cut off are wave files now, and the line says why.
    QString kept;
    if (!unfinished.isEmpty())
        kept = recovered.size() == 1
                   ? QStringLiteral(" It is kept as a wave file: its %1 copy was not finished.").arg(unfinished.first())
                   : QStringLiteral(" They are kept as wave files: copies in another format were not finished.");
    if (recovered.size() == 1)
        Q_EMIT status(
            QStringLiteral("Recovered a recording not saved when Trelvik last ended: %1").arg(recovered.first()) + kept,
            StatusTone::Attention, recovered.first());
    else if (recovered.size() > 1)
        Q_EMIT status(QStringLiteral("Recovered %1 recordings not saved when Trelvik last ended; the last is %2")
                              .arg(recovered.size())
                              .arg(recovered.last()) +
                          kept,
                      StatusTone::Attention, recovered.last());
    return int(recovered.size());
}

int Recorder::recoverTakes()
{
    return recoverTakes({QFileInfo(m_shared.OutputPath).absolutePath(), QDir::homePath(), QDir::tempPath()});
}

void Recorder::Savefile()
{
    const QString stored = m_settings.savePosition();
    // A location without a folder ("Default", when none is stored) is in the recordings folder, not
    // in whatever folder the program happened to be started from.
    m_shared.OutputPath = QFileInfo(stored).isRelative() ? QDir(m_paths.recordingFolder()).filePath(stored) : stored;
}
