#pragma once

#include "platform/app_paths.h"
#include "platform/settings.h"
#include "platform/shared_state.h"
#include "platform/sound_start.h"
#include "platform/status_tone.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class CaptureComponent;
class Conversion;
class Player;
class Playback;
class QAction;
class Recorder;
class RecordTimer;

// The work behind the windows: the recording session, the conversions and the playback, and the
// Record, Pause/Resume and Stop actions that the window's buttons, the hot keys and the remote
// commands all trigger. No widget here: the window binds to the actions and shows what is emitted.
//
// A take saved while "Convert recording to MP3 on completion" is on is converted here, and Record
// stays refused while any conversion runs.
class Controller : public QObject {
    Q_OBJECT
public:
    enum class State {
        Idle,
        Starting, // Record waits for the source to deliver
        Recording,
        Paused,
        Saving,     // Stop is writing the file
        Converting, // a conversion runs and holds Record
        Testing,    // the setup wizard's test recording
    };
    Q_ENUM(State)

    Controller(CaptureComponent& capture, Player* player, const AppPaths& paths, SharedState& state,
               QObject* parent = nullptr);
    ~Controller() override;

    // Config.ini.
    const Settings& settings() const { return m_settings; }
    Recorder& recorder() const { return *m_recorder; }
    Conversion& conversion() const { return *m_conversion; }
    Playback& playback() const { return *m_playback; }

    // Each enabled exactly when it would act; a disabled one does nothing when triggered.
    QAction* recordAction() const { return m_record; }
    QAction* pauseAction() const { return m_pause; }
    QAction* stopAction() const { return m_stop; }

    State state() const;
    bool canRecord() const;
    // Starting, saving, converting or testing: shutdown waits for it.
    bool isBusy() const;

    // Converts a wave file chosen by the user; the MP3 is listed by whoever asked.
    void convert(const QString& inputf, const QString& outputf);

    // The timer, from its words ("record-at:21:30+stop-after:90m", "cancel-timer"): empty when set
    // or cancelled, else why not (nothing is set then).
    QString setTimer(const QString& words);
    // A timer waits for its start.
    bool timerArmed() const;
    RecordTimer& timer() const { return *m_timer; }
    // The timer looks at the wall clock now: every second, and when the machine wakes up.
    void checkTimer();
    // The machine is about to sleep (before) or has woken up: a running take goes to the disk first;
    // on waking the timer looks at the clock at once.
    void machineSleeps(bool before);

    // Armed: sound above the threshold starts a take (or resumes it), and quiet for the hang time
    // pauses it (or ends it, one file for each sound). Empty when armed, else why not (nothing is
    // armed then). Disarming leaves a take under way to its Stop.
    QString arm(const SoundStart& how);
    void disarm();
    bool armed() const { return m_armed; }
    const SoundStart& soundStart() const { return m_soundStart; }
    // The pre-record buffer: while idle, the last seconds of the source are kept for the next take,
    // in the format Preferences chose. 0 turns it off.
    void setPreRecord(int seconds);
    int preRecordSeconds() const { return m_preRecordSeconds; }
    // The line under the meter: that the source is listened to while idle (the pre-record buffer,
    // or armed for sound), or that it cannot be yet (sourceDelivers false); empty when neither is on.
    QString listeningText(bool sourceDelivers) const;
    // Why the machine may sleep while a timer waits or records (nothing keeps it awake); empty
    // once something does. Said at once, and with the countdown from then on.
    void setSleepWarning(const QString& why);

signals:
    // The state, or what the actions allow, changed.
    void changed();
    // A status-line message; path, when given, is a file the text names.
    void status(const QString& text, StatusTone tone, const QString& path = {});
    // The status line's colour alone.
    void toneChanged(StatusTone tone);
    // A file for the recordings list, with the length to show.
    void listed(const QString& lengthText, const QString& path);
    // The encoder could not be started; text says so.
    void encoderMissing(const QString& text);
    // What the timer did, for a desktop notification: started, finished (with its file), missed or
    // failed.
    void timerNews(const QString& summary, const QString& body);

private:
    void update();
    void convertSaved(const QString& path, const QString& lengthText);
    void timerStartDue(bool late, qint64 lateBySeconds);
    // Follows the recorder for a take the timer started: how much it has recorded, and its end.
    void followTimedTake();
    void feedRecordedTime();
    // While a timed take records and the status line says no more than that, it also says when the
    // timer stops the take.
    void showTimeLeft();

    Settings m_settings;
    Recorder* m_recorder;
    Conversion* m_conversion;
    Playback* m_playback;
    SharedState& m_shared;
    // The MP3 of the take whose conversion at Stop runs.
    QString m_stopMp3;
    QAction* m_record;
    QAction* m_pause;
    QAction* m_stop;
    CaptureComponent& m_capture;
    RecordTimer* m_timer;
    QTimer m_timerCheck;
    // A take the timer started: its recorded time (paused time left out) and the moment it is due
    // to have recorded its duration.
    bool m_timedTake = false;
    qint64 m_lateBySeconds = 0;
    qint64 m_recordedMs = 0;
    // How far the take's frames run behind the time it has recorded when nothing is lost: the
    // least seen during the timed take (the delivery's own lag, less the seconds kept from before
    // Record).
    qint64 m_frameLag = 0;
    bool m_frameLagKnown = false;
    // The file of the timed take, once it is listed.
    QString m_timedFile;
    QElapsedTimer m_recordingSince;
    QTimer m_durationDue;
    QTimer m_startDue;
    // What the status line says now: the last text sent to it, its tone and since when. The
    // timer's countdown leaves news that asks for attention on the line for this long.
    static constexpr int kNewsSeconds = 10;
    QString m_statusText;
    QString m_sleepWarning;
    StatusTone m_statusTone = StatusTone::Unchanged;
    QElapsedTimer m_statusSince;
    // Sound-activated recording, and whether the take under way is one that sound started.
    void soundChanged(bool sound);
    QString armedText() const;
    bool m_armed = false;
    SoundStart m_soundStart;
    bool m_soundTake = false;
    // Sound began while the take before was being saved.
    bool m_soundPending = false;
    int m_preRecordSeconds = 0;
};
