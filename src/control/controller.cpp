#include "control/controller.h"

#include "control/record_timer.h"
#include "convert/conversion.h"
#include "library/playback.h"
#include "platform/capture_component.h"
#include "recording/recorder.h"

#include <QAction>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <utility>

Controller::Controller(CaptureComponent& capture, Player* player, const AppPaths& paths, SharedState& state,
                       QObject* parent)
    : QObject(parent), m_settings(paths.configFile()),
      m_recorder(new Recorder(capture, paths, m_settings, state, this)),
      m_conversion(new Conversion(paths, state, this)), m_playback(new Playback(player, this)), m_shared(state),
      m_record(new QAction(QStringLiteral("Record F9"), this)), m_pause(new QAction(QStringLiteral("Pause F10"), this)),
      m_stop(new QAction(QStringLiteral("Stop F11"), this)), m_capture(capture),
      m_timer(new RecordTimer(RecordTimer::Clock::system(), QTimeZone::systemTimeZone(), this))
{
    m_record->setObjectName(QStringLiteral("RecordAction"));
    m_pause->setObjectName(QStringLiteral("PauseAction"));
    m_stop->setObjectName(QStringLiteral("StopAction"));
    connect(m_record, &QAction::triggered, m_recorder, [this] {
        if (canRecord())
            m_recorder->record();
    });
    connect(m_pause, &QAction::triggered, m_recorder, &Recorder::pauseOrResume);
    connect(m_stop, &QAction::triggered, m_recorder, &Recorder::stop);

    connect(m_recorder, &Recorder::changed, this, &Controller::update);
    connect(m_conversion, &Conversion::holdChanged, this, &Controller::update);
    connect(m_recorder, &Recorder::status, this, &Controller::status);
    connect(this, &Controller::status, this, [this](const QString& text, StatusTone tone) {
        m_statusText = text;
        m_statusTone = tone;
        m_statusSince.start();
    });
    connect(m_recorder, &Recorder::listed, this, &Controller::listed);
    connect(m_recorder, &Recorder::saved, this, &Controller::convertSaved);
    connect(m_conversion, &Conversion::status, this,
            [this](const QString& text, StatusTone tone) { Q_EMIT status(text, tone); });
    connect(m_conversion, &Conversion::toneChanged, this, &Controller::toneChanged);
    connect(m_conversion, &Conversion::failedToStart, this, &Controller::encoderMissing);
    connect(m_conversion, &Conversion::converted, this, [this](const QString& outputf, bool ok) {
        // Stop's work ends with its conversion: the status line says the take is saved.
        if (outputf != m_stopMp3)
            return;
        m_stopMp3.clear();
        if (ok)
            Q_EMIT status(Recorder::savedText(), StatusTone::Unchanged);
    });
    connect(m_playback, &Playback::status, this,
            [this](const QString& text, StatusTone tone) { Q_EMIT status(text, tone); });

    // The timer is checked against the wall clock every second, never by one long timer, which
    // would stop while the machine sleeps.
    m_timerCheck.setInterval(1000);
    connect(&m_timerCheck, &QTimer::timeout, this, &Controller::checkTimer);
    m_durationDue.setSingleShot(true);
    m_durationDue.setTimerType(Qt::PreciseTimer);
    connect(&m_durationDue, &QTimer::timeout, this, &Controller::feedRecordedTime);
    m_startDue.setSingleShot(true);
    m_startDue.setTimerType(Qt::PreciseTimer);
    connect(&m_startDue, &QTimer::timeout, m_timer, &RecordTimer::check);
    connect(m_timer, &RecordTimer::startDue, this, &Controller::timerStartDue);
    connect(m_timer, &RecordTimer::stopDue, this, [this] {
        if (m_timedTake && m_recorder->takesStop())
            m_recorder->stop();
    });
    connect(m_timer, &RecordTimer::missed, this, [this] {
        Q_EMIT timerNews(QStringLiteral("Timed recording missed"),
                         QStringLiteral("Its time passed while the computer was asleep or Trelvik was not running."));
        Q_EMIT status(QStringLiteral("The timed recording was missed: its time passed while the computer was asleep "
                                     "or Trelvik was not running."),
                      StatusTone::Attention);
    });
    connect(m_timer, &RecordTimer::changed, this, &Controller::update);
    connect(m_recorder, &Recorder::changed, this, &Controller::followTimedTake);
    // Record by hand while a timer waits: the timer stays set, and the line says so.
    connect(m_recorder, &Recorder::recordingStarted, this, [this] {
        if (m_timedTake || !timerArmed())
            return;
        // After the recorder's own "recording" text.
        QTimer::singleShot(0, this, [this] {
            if (timerArmed() && m_recorder->canStop())
                Q_EMIT status(QStringLiteral("%1 The timer set for %2 stays set.")
                                  .arg(Recorder::recordingText(),
                                       QLocale().toString(m_timer->startTime().toLocalTime(), QLocale::ShortFormat)),
                              StatusTone::Busy);
        });
    });
    // A take that sound started is over once the recorder is idle again; while armed, the window
    // goes back to saying so.
    connect(m_recorder, &Recorder::changed, this, [this] {
        if (m_recorder->state() != Recorder::State::Idle)
            return;
        const bool soundTake = std::exchange(m_soundTake, false);
        if (std::exchange(m_soundPending, false) && m_armed) {
            QTimer::singleShot(0, this, [this] { soundChanged(true); });
            return;
        }
        if (soundTake && m_armed)
            QTimer::singleShot(0, this, [this] {
                if (m_armed && m_recorder->state() == Recorder::State::Idle)
                    Q_EMIT status(armedText(), StatusTone::Unchanged);
            });
    });
    connect(m_recorder, &Recorder::listed, this, [this](const QString&, const QString& path) {
        if (m_timedTake)
            m_timedFile = path;
    });
    update();
}

QString Controller::setTimer(const QString& words)
{
    const record_timer::TimerCommand command = record_timer::parseTimerCommand(words, QDateTime::currentDateTimeUtc());
    if (!command.ok())
        return command.error;
    if (command.cancel) {
        const bool armed = m_timer->state() != RecordTimer::State::Idle;
        m_timer->cancel();
        if (m_timer->state() == RecordTimer::State::Idle)
            m_timerCheck.stop();
        if (armed)
            Q_EMIT status(QStringLiteral("The timer is cancelled."), StatusTone::Attention);
        return {};
    }
    // A take under way is never cut short or doubled by a timer set meanwhile: a timer for later
    // may be set while a take runs by hand (if that take still runs at the timer's time, the
    // timer says it could not start), one that would start now may not, nor a second timer while
    // the first one's take runs.
    const bool startsNow =
        command.plan.start == record_timer::TimerPlan::Start::Now ||
        (command.plan.start == record_timer::TimerPlan::Start::After && command.plan.startDelay == 0);
    if (m_timer->state() == RecordTimer::State::Running)
        return QStringLiteral("the timed recording is under way: the timer is not set");
    if (m_recorder->state() != Recorder::State::Idle && startsNow)
        return QStringLiteral("a recording is under way: a timer that starts now is not set");
    QString error;
    if (!m_timer->arm(command.plan, &error))
        return error;
    m_timerCheck.start();
    checkTimer();
    if (m_timer->state() == RecordTimer::State::Armed) {
        const QString at = QLocale().toString(m_timer->startTime().toLocalTime(), QLocale::ShortFormat);
        QString text = QStringLiteral("Timer set: recording starts at %1.").arg(at);
        if (!m_timer->note().isEmpty())
            text += u' ' + m_timer->note();
        Q_EMIT status(text, StatusTone::Attention);
    }
    return {};
}

void Controller::machineSleeps(bool before)
{
    if (before) {
        if (m_recorder->canStop())
            m_capture.syncSoon();
        return;
    }
    checkTimer();
}

bool Controller::timerArmed() const
{
    return m_timer->state() == RecordTimer::State::Armed;
}

void Controller::checkTimer()
{
    m_timer->check();
    // The last second before the start is timed to the millisecond; the checks every second stay,
    // for the wall clock may move and the machine may sleep meanwhile.
    if (m_timer->state() == RecordTimer::State::Armed) {
        const qint64 left = QDateTime::currentDateTimeUtc().msecsTo(m_timer->startTime());
        if (left >= 0 && left < 1500)
            m_startDue.start(int(left) + 1);
    }
    if (m_timedTake && m_recorder->canStop()) {
        feedRecordedTime();
        // The size of the file the take becomes: its compressed copy when it is saved as one.
        const QString file = m_recorder->fileBeingWritten();
        if (!file.isEmpty())
            m_timer->fileBytes(QFileInfo(file).size());
        showTimeLeft();
    }
    // The window says, every second, how long until the timer starts the take, with what a change of
    // the clocks did to its times; news that asks for attention (a missed take, a failure, what was
    // kept and where) is read first.
    const QString countdown = QStringLiteral("Timer set: ");
    const bool lineFree = m_statusTone != StatusTone::Attention || m_statusText.startsWith(countdown) ||
                          !m_statusSince.isValid() || m_statusSince.hasExpired(kNewsSeconds * 1000);
    if (m_timer->state() == RecordTimer::State::Armed && m_recorder->state() == Recorder::State::Idle && lineFree) {
        QString text = countdown + QStringLiteral("recording %1.").arg(m_timer->timeLeftText());
        if (!m_timer->note().isEmpty())
            text += u' ' + m_timer->note();
        if (!m_sleepWarning.isEmpty())
            text += QStringLiteral(" But %1.").arg(m_sleepWarning);
        Q_EMIT status(text, StatusTone::Unchanged);
    }
    if (m_timer->state() == RecordTimer::State::Idle && !m_timedTake)
        m_timerCheck.stop();
}

void Controller::timerStartDue(bool late, qint64 lateBySeconds)
{
    if (!canRecord()) {
        // A take by hand (or a save) that still runs is left alone. A daily timer stays set for
        // its next day; any other is over.
        if (m_timer->plan().daily) {
            m_timer->takeEnded();
            const QString next = QLocale().toString(m_timer->startTime().toLocalTime(), QLocale::ShortFormat);
            Q_EMIT timerNews(
                QStringLiteral("Timed recording failed"),
                QStringLiteral("Trelvik was busy at its time; the daily timer records next at %1.").arg(next));
            Q_EMIT status(QStringLiteral("The timer could not start the recording: Trelvik was busy. The daily timer "
                                         "records next at %1.")
                              .arg(next),
                          StatusTone::Attention);
            return;
        }
        m_timer->cancel();
        Q_EMIT timerNews(QStringLiteral("Timed recording failed"),
                         QStringLiteral("Trelvik was busy at its time; the timer is off."));
        Q_EMIT status(QStringLiteral("The timer could not start the recording: Trelvik was busy. The timer is off."),
                      StatusTone::Attention);
        return;
    }
    m_timedTake = true;
    m_lateBySeconds = late ? lateBySeconds : 0;
    m_recordedMs = 0;
    m_frameLagKnown = false;
    if (!m_recorder->record())
        followTimedTake();
}

void Controller::followTimedTake()
{
    if (!m_timedTake)
        return;
    const Recorder::State state = m_recorder->state();
    const bool recording = state == Recorder::State::Recording;
    if (recording && !m_recordingSince.isValid()) {
        if (m_recordedMs == 0)
            Q_EMIT timerNews(
                QStringLiteral("Timed recording started"),
                m_lateBySeconds > 0
                    ? QStringLiteral("%1 s late: the computer was asleep or busy at its time.").arg(m_lateBySeconds)
                    : QString());
        m_recordingSince.start();
        // After the recorder's own "recording" text, which would take the line otherwise.
        if (m_lateBySeconds > 0) {
            QTimer::singleShot(0, this, [this, late = m_lateBySeconds] {
                if (m_timedTake && m_recorder->state() == Recorder::State::Recording)
                    Q_EMIT status(
                        QStringLiteral("Recording: the timer started it %1 s late, the computer was asleep or "
                                       "busy at its time.")
                            .arg(late),
                        StatusTone::Busy);
            });
            m_lateBySeconds = 0;
        } else {
            QTimer::singleShot(0, this, &Controller::showTimeLeft);
        }
        // Ends on the very moment the take has its duration, not at the next second's check.
        const qint64 rate = m_shared.SamplesPerSec > 0 ? m_shared.SamplesPerSec : 22050;
        const qint64 frames = m_timer->framesToRecord(int(rate));
        // Looked at every quarter of a second until then: the frames' lag is learnt from the start.
        if (frames > 0)
            m_durationDue.start(int(std::clamp<qint64>((frames * 1000 + rate - 1) / rate - m_recordedMs, 0, 250)));
    } else if (!recording && m_recordingSince.isValid()) {
        // Paused, or the take ends: the time recorded so far is kept; nothing is due while paused.
        m_recordedMs += m_recordingSince.elapsed();
        m_recordingSince.invalidate();
        m_durationDue.stop();
    }
    if (state == Recorder::State::Idle) {
        if (m_timedFile.isEmpty())
            Q_EMIT timerNews(QStringLiteral("Timed recording failed"),
                             QStringLiteral("Nothing was recorded; the status line in Trelvik says why."));
        else
            Q_EMIT timerNews(QStringLiteral("Timed recording finished"), m_timedFile);
        m_timedFile.clear();
        m_timedTake = false;
        m_recordedMs = 0;
        m_timer->takeEnded();
        if (m_timer->state() == RecordTimer::State::Idle)
            m_timerCheck.stop();
    }
}

void Controller::feedRecordedTime()
{
    if (!m_timedTake)
        return;
    const qint64 rate = m_shared.SamplesPerSec > 0 ? m_shared.SamplesPerSec : 22050;
    const qint64 ms = m_recordedMs + (m_recordingSince.isValid() ? m_recordingSince.elapsed() : 0);
    const qint64 timeFrames = (ms * rate + 999) / 1000;
    // The take's length is what it holds: a source that stalls makes the take run on in time, not
    // shorter in sound. The frames arrive a moment behind the time, a fragment at a time, and the
    // seconds kept from before Record arrive at once: the least lag seen is the delivery's own, and
    // only a shortfall beyond it and a tenth of a second of jitter counts as sound that did not come.
    // The time recorded stands in where the component cannot count its frames.
    qint64 recorded = timeFrames;
    const int64_t frames = m_capture.framesInTake();
    if (frames > 0) {
        const qint64 lag = timeFrames - qint64(frames);
        if (!m_frameLagKnown || lag < m_frameLag) {
            m_frameLag = lag;
            m_frameLagKnown = true;
        }
        recorded = std::min(timeFrames, qint64(frames) + m_frameLag + rate / 10);
    } else if (frames == 0) {
        // Nothing has reached the take yet, so its lag is not known (a monitor's first handovers are
        // held a moment): at most half a second counts until the first audio comes.
        recorded = std::min(timeFrames, rate / 2);
    }
    m_timer->recordedFrames(recorded, int(rate));
    // Not there yet while the take records: due again once the frames missing can have come, and
    // looked at every quarter of a second meanwhile.
    const qint64 total = m_timer->framesToRecord(int(rate));
    if (total > recorded && m_recordingSince.isValid() && m_timer->state() == RecordTimer::State::Running)
        m_durationDue.start(int(std::clamp<qint64>(((total - recorded) * 1000 + rate - 1) / rate, 1, 250)));
}

void Controller::setSleepWarning(const QString& why)
{
    m_sleepWarning = why;
    if (!why.isEmpty())
        Q_EMIT status(QStringLiteral("Timer set, but %1.").arg(why), StatusTone::Attention);
}

QString Controller::listeningText(bool sourceDelivers) const
{
    const int seconds = m_preRecordSeconds;
    const bool idle = m_recorder->state() == Recorder::State::Idle;
    if (idle && (seconds > 0 || m_armed) && !sourceDelivers)
        return QStringLiteral("Not listening yet: the recording source delivers nothing so far.");
    if (m_armed) {
        const QString level = QLocale().toString(m_soundStart.thresholdDb, 'f', 0);
        // One line under the meter: the shorter text where the seconds before are kept too.
        return seconds > 0 ? QStringLiteral("Armed for sound above %1 dBFS, keeping the %2 s before it.")
                                 .arg(level)
                                 .arg(seconds)
                           : QStringLiteral("Armed: recording starts on sound above %1 dBFS.").arg(level);
    }
    if (idle && seconds > 0)
        return QStringLiteral("Listening: the last %1 s before Record are kept.").arg(seconds);
    return {};
}

void Controller::showTimeLeft()
{
    if (!m_timedTake || m_recorder->state() != Recorder::State::Recording ||
        m_timer->state() != RecordTimer::State::Running)
        return;
    const QString left = m_timer->timeLeftText();
    const QString recording = Recorder::recordingText();
    const QString prefix = recording + QStringLiteral(" The timed recording ");
    // Any other news on the line (a late start, a source standing in, a copy that fails) stays.
    if (left.isEmpty() || (m_statusText != recording && !m_statusText.startsWith(prefix)))
        return;
    const QString text = prefix + left + u'.';
    if (text != m_statusText)
        Q_EMIT status(text, StatusTone::Unchanged);
}

QString Controller::arm(const SoundStart& how)
{
    if (m_recorder->state() == Recorder::State::Testing)
        return QStringLiteral("the setup test is recording");
    m_soundStart = how;
    m_armed = true;
    m_capture.watchSound(how, [this](bool sound) { soundChanged(sound); });
    Q_EMIT status(armedText(), StatusTone::Attention);
    update();
    return {};
}

QString Controller::armedText() const
{
    return QStringLiteral("Armed: recording starts on sound above %1 dBFS.")
        .arg(QLocale().toString(m_soundStart.thresholdDb, 'f', 0));
}

void Controller::disarm()
{
    if (!m_armed)
        return;
    m_armed = false;
    m_capture.watchSound(m_soundStart, {});
    m_capture.beginAtSound(false);
    if (m_recorder->state() == Recorder::State::Idle)
        Q_EMIT status(QStringLiteral("Disarmed: sound no longer starts a recording."), StatusTone::Attention);
    update();
}

void Controller::soundChanged(bool sound)
{
    if (!m_armed)
        return;
    const Recorder::State state = m_recorder->state();
    if (sound) {
        // The take (or the part after a pause) begins where the sound began, with the pre-record
        // seconds before it.
        if (state == Recorder::State::Idle && canRecord()) {
            m_capture.beginAtSound(true);
            m_soundTake = true;
            if (!m_recorder->record()) {
                m_capture.beginAtSound(false);
                m_soundTake = false;
            }
        } else if (state == Recorder::State::Paused && m_soundTake) {
            m_capture.beginAtSound(true);
            m_recorder->pauseOrResume();
        } else if (state == Recorder::State::Saving) {
            // The take before is still being saved: the next one starts as soon as it is, from
            // where this sound began.
            m_soundPending = true;
        }
        return;
    }
    m_soundPending = false;
    // Quiet for the hang time: a take that sound started pauses, or ends with its file. A take
    // started by hand is the user's to stop.
    if (!m_soundTake)
        return;
    if (m_soundStart.takes == SoundStart::Takes::FilePerSound) {
        if (m_recorder->takesStop())
            m_recorder->stop();
    } else if (state == Recorder::State::Recording) {
        m_recorder->pauseOrResume();
    }
}

void Controller::setPreRecord(int seconds)
{
    m_preRecordSeconds = std::clamp(seconds, 0, 30);
    m_capture.setPreRecord(m_preRecordSeconds, m_shared.Channels, m_shared.SamplesPerSec, m_shared.BitsPerSample);
}

Controller::~Controller()
{
    // The capture outlives the controller: it must not call back into it.
    if (m_armed)
        m_capture.watchSound(m_soundStart, {});
}

Controller::State Controller::state() const
{
    switch (m_recorder->state()) {
    case Recorder::State::Starting:
        return State::Starting;
    case Recorder::State::Recording:
        return State::Recording;
    case Recorder::State::Paused:
        return State::Paused;
    case Recorder::State::Saving:
        return State::Saving;
    case Recorder::State::Testing:
        return State::Testing;
    case Recorder::State::Idle:
        break;
    }
    return m_conversion->holdsRecord() ? State::Converting : State::Idle;
}

bool Controller::canRecord() const
{
    return m_recorder->canRecord() && !m_conversion->holdsRecord();
}

bool Controller::isBusy() const
{
    return m_recorder->isBusy() || m_conversion->holdsRecord();
}

void Controller::update()
{
    m_record->setEnabled(canRecord());
    m_pause->setText(m_recorder->pauseCaption());
    m_pause->setEnabled(m_recorder->canStop());
    m_stop->setEnabled(m_recorder->takesStop());
    Q_EMIT changed();
}

void Controller::convert(const QString& inputf, const QString& outputf)
{
    m_conversion->Converting(inputf, outputf);
}

void Controller::convertSaved(const QString& path, const QString& lengthText)
{
    if (m_shared.ConvertOnCompletion != 1)
        return;
    // A take saved under an MP3 name would be converted onto itself: refused as from the menu.
    const QString mp3 = path.left(path.size() - 3) + QStringLiteral("mp3");
    if (mp3 == path) {
        Q_EMIT status(Conversion::alreadyMp3(path), StatusTone::Attention, path);
        return;
    }
    m_stopMp3 = mp3;
    m_conversion->Converting(path, mp3);
    Q_EMIT listed(lengthText, mp3);
}
