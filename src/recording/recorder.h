#pragma once

#include "platform/app_paths.h"
#include "platform/capture_component.h"
#include "platform/settings.h"
#include "platform/shared_state.h"
#include "platform/status_tone.h"
#include "recording/take_encoder.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

// The recording session: record, pause, resume and stop over the capture component, the recording
// clock and the naming of the files. It holds the state; the windows show what it emits. Stop
// returns at once: the state is Saving until the file is closed, then Idle.
//
// Every operation checks the state first and is refused when the state does not allow it, so no
// sequence of clicks, keys and close requests can start a second capture over a running one or run
// a second Stop inside the first.
class Recorder : public QObject {
    Q_OBJECT
public:
    enum class State {
        Idle,
        Starting, // Record waits for the source to deliver
        Recording,
        Paused,
        Saving,  // Stop is writing the file
        Testing, // the setup wizard's test recording
    };
    Q_ENUM(State)

    Recorder(CaptureComponent& capture, const AppPaths& paths, const Settings& settings, SharedState& state,
             QObject* parent = nullptr);
    ~Recorder() override;

    // What the status line says while the source chosen by name is away and another records in its
    // place.
    static QString standInText(const QString& chosen, const QString& instead);
    // What the status line says once a take is saved in full, and while a take records.
    static QString savedText();
    static QString recordingText();

    State state() const { return m_state; }
    // Starting, saving or testing: nothing else may start, and shutdown waits.
    bool isBusy() const;
    // Idle.
    bool canRecord() const;
    // Recording or paused: Pause/Resume and Stop act.
    bool canStop() const { return m_state == State::Recording || m_state == State::Paused; }
    // Stop acts, or while starting, ends the take as soon as it has started.
    bool takesStop() const { return canStop() || m_state == State::Starting; }
    // "Pause F10", or "Resume F10" while paused.
    QString pauseCaption() const;
    // The file the running take will be saved as, as far as it is written: its copy in the chosen
    // format while that is made, else the wave file. Empty when the component keeps no file of it.
    QString fileBeingWritten() const;

    // Record, Pause/Resume and Stop; each returns false when refused. Record returns once the start
    // is under way: the state is Starting until the source delivers, then Recording (or Idle again,
    // with the reason on the status line).
    bool record();
    bool pauseOrResume();
    bool stop();

    // The recording clock: ticks once a second while recording, and each tick runs tick().
    QTimer& clock() { return m_clock; }
    void tick();
    // Shows the time and size for the seconds counted so far.
    void Mmss();
    int32_t elapsedSeconds() const { return m_elapsedSeconds; }
    const QString& megabytesPerSecond() const { return m_megabytesPerSecond; }
    const QString& minutesText() const { return m_minutesText; }
    const QString& secondsText() const { return m_secondsText; }

    // Sources of the capture component.
    int32_t sourceCount() { return m_capture.sourceCount(); }
    void selectSource(int32_t index) { m_capture.selectSource(index); }
    void selectSourceNamed(const QString& name) { m_capture.selectSourceNamed(name); }
    CaptureComponent::StandIn standIn() { return m_capture.standIn(); }
    void whenSourcesKnown(std::function<void()> ready) { m_capture.whenSourcesKnown(std::move(ready)); }
    QString sourceName(int32_t index) { return m_capture.sourceName(index); }
    int32_t sourceIndex(const QString& name) { return m_capture.sourceIndex(name); }

    // The setup wizard's test: startTest records source in the test format, to go to path, until
    // finishTest, which saves it there and says so with testSaved. Refused (false) unless idle: a
    // running recording is never cut short by a test.
    bool startTest(int32_t source, const QString& path);
    // The test recording's stream is still being made: testRunning follows once it runs.
    bool testStarting() const { return m_testStarting; }
    void finishTest(const QString& path);

    // Takes that a killed program left in folders are repaired, named as the next takes of the
    // current location, listed and announced. Spools of a program still running are left alone.
    // Returns how many were recovered.
    int recoverTakes(const QStringList& folders);
    // In the places takes stream into while they are recorded: beside the destination, or in home
    // or the temporary folder when that folder would not take them.
    int recoverTakes();

    // The naming of the files: the stored location reloaded, and the running number.
    void Savefile();
    void restartNumbering() { m_outputSuffix = 0; }
    int16_t outputSuffix() const { return m_outputSuffix; }

signals:
    // The state, or what the controls allow, changed.
    void changed();
    // A status-line message; path, when given, is a file the text names (a window too narrow for
    // the whole text shortens it there).
    void status(const QString& text, StatusTone tone, const QString& path = {});
    // A take ended otherwise than saved in full where it was meant to go; text says what happened
    // and where the audio is.
    void takeTroubled(const QString& text);
    void clockShown(const QString& panelText);
    // Record started a take (not a resume, not the wizard's test).
    void recordingStarted();
    // A file for the recordings list, with the length to show.
    void listed(const QString& lengthText, const QString& path);
    // A take was saved in full at path, where it was meant to go (emitted just before the session is
    // idle again).
    void saved(const QString& path, const QString& lengthText);
    // The wizard's test recording runs (or could not start): what plays from now on is in it.
    void testRunning();
    // The wizard's test recording is saved (ok) or nothing could be recorded.
    void testSaved(bool ok);

private:
    void setState(State state);
    void started(int32_t result);
    void testStarted();
    void saveTest(const QString& path);
    void captureFailed();
    bool finishTake();
    void takeSaved(int32_t result);
    // The take's copy in the chosen format, made while it records: started with the take, finished
    // after the wave file is saved; the wave file goes once the copy is checked.
    void beginEncoding();
    void watchEncoder();
    void sayEncoderTrouble();
    // While it is made, the copy is "<take>.<extension>.encoding": a file of that name beside a take
    // left by a killed program is its unfinished copy.
    static constexpr const char* kCopySuffix = ".encoding";
    QString copyPath() const;
    // An encoder's reason, naming the file the copy would become rather than its passing name.
    QString encoderWords(const QString& why) const;
    TakeEncoder::Mp3Options mp3Options() const;
    bool finishEncoding(const QString& wavePath);
    // The copy's end: checked (ok), and given its name in place of the wave file (named).
    void takeEncoded(bool ok, bool named, const QString& error);
    void report(int32_t result, QString path, double seconds, const QString& encodingNote);
    // The silence watch: a take whose peak stays below -60 dBFS for this long says so on the status
    // line, and the line goes back to the recording text once sound arrives.
    static constexpr int kSilentSeconds = 10;
    void startSilenceWatch();
    void watchSilence();
    // A start the source did not deliver: more than a fragment of it missing is said at once, and
    // again when the take is saved.
    static constexpr int kMissedStartMs = 50;
    void watchStart();

    CaptureComponent& m_capture;
    const AppPaths& m_paths;
    const Settings& m_settings;
    SharedState& m_shared;

    State m_state = State::Idle;
    bool m_resumeCaption = false;
    QTimer m_clock;
    int32_t m_elapsedSeconds = 0;
    QString m_megabytesPerSecond;
    QString m_minutesText;
    QString m_secondsText;
    int16_t m_outputSuffix = 0;
    int m_silentSeconds = 0;
    bool m_silenceShown = false;
    bool m_startWatched = false;
    // A Stop that came while starting: the take ends as soon as it has started.
    bool m_stopWanted = false;
    // The wizard's test: its start is under way, and where finishTest asked it to go meanwhile.
    bool m_testStarting = false;
    QString m_testPath;
    // Whether the take's folder was there when it started: a folder missing at Stop was then
    // removed during the take, or never there.
    bool m_folderAtRecord = true;
    // The take being saved: the suffix its name took, and whether its folder was there at Stop.
    int64_t m_savedSuffix = 0;
    QString m_savingPath;
    // The take's format and the name its wave file was planned under at Record.
    recording_format::SaveFormat m_saveFormat = recording_format::SaveFormat::Wav;
    QString m_plannedPath;
    qint64 m_plannedSuffix = 0;
    // Its copy in that format, where it goes, and why it could not be made.
    std::unique_ptr<TakeEncoder> m_encoder;
    QString m_encodedPath;
    QString m_encoderTrouble;
    // The saved take while its copy is finished: the save's result and the wave file's length.
    int32_t m_saveResult = 0;
    QString m_wavePath;
    double m_waveSeconds = -1;
    bool m_folderAtStop = true;
};
