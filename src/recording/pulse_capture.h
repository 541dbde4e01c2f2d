#pragma once

#include "platform/capture_component.h"
#include "platform/pulse_context.h"
#include "recording/level_meter.h"
#include "recording/sound_trigger.h"
#include "recording/wave_spool.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct pa_stream;

// The capture component on the sound server: a record stream with fragments of about 50 ms whose
// audio streams into a spool wave file beside the destination; save drains what the server still
// holds, completes the file and moves it into place without replacing anything.
//
// The stream is tied to its source: when the source goes (a device unplugged, a module unloaded)
// or the server goes, or the disk refuses a write, the failure handler hears of it at once.
// The chosen source is kept ready by a stream that carries no audio, and made ready again when the
// source or the server comes back.
class PulseCapture : public CaptureComponent {
public:
    static constexpr int fragmentMs = 50;
    // The idle level meter's readings a second.
    static constexpr uint32_t peaksPerSecond = 25;
    // How long the disk may stall without losing audio.
    static constexpr int bufferSeconds = 20;

    explicit PulseCapture(std::shared_ptr<PulseContext> pulse);
    ~PulseCapture() override;

    int32_t start(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample) override;
    void pause() override { setPaused(true); }
    void resume() override { setPaused(false); }
    int32_t save(const QString& path) override { return endSession(path); }
    int32_t sourceCount() override;
    bool selectSource(int32_t index) override;
    QString keptPath() const override { return m_keptPath; }
    void saveLater(const QString& path, std::function<void(int32_t result)> done) override;
    void startLater(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample,
                    std::function<void(int32_t result)> done) override;
    void setSpoolTarget(const QString& plannedPath) override;
    // A spool folder without a planned name: the take is named when it stops.
    void setSpoolFolder(const QString& folder);
    void setFallbackFolders(const QStringList& folders) override { m_fallbackFolders = folders; }
    void setFailureHandler(std::function<void(Failure)> handler) override { m_failureHandler = std::move(handler); }
    void setStandInHandler(std::function<void(const QString& chosen, const QString& instead)> handler) override
    {
        m_standInHandler = std::move(handler);
    }
    Failure failure() const override { return Failure(m_failure.load()); }
    int writeError() const override { return m_writeError.load(); }
    void selectSourceNamed(const QString& name) override;
    StandIn standIn() override;
    void whenSourcesKnown(std::function<void()> ready) override;
    QString sourceName(int32_t index) override;
    int32_t sourceIndex(const QString& name) override;
    void watchLevels(bool on) override;
    InputLevels readLevels() override { return m_levels.read(); }
    float takeLoudest() override { return hasSession() ? m_levels.takeLoudest() : -1.0f; }
    QString recordingSourceDescription() override;
    int missedAtStartMs() override;
    void setPreRecord(int seconds, int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample) override;
    bool isListening() override;
    int keptBeforeStartMs() override { return m_keptBeforeMs.load(); }
    void watchSound(const SoundStart& how, std::function<void(bool sound)> handler) override;
    void beginAtSound(bool on) override { m_atSound = on; }

    // The format start records for the given arguments: unsupported values fall back to 2 channels,
    // 22050 Hz, 16 bits, each on its own.
    static WaveSpool::Format formatFor(int32_t channels, int32_t rate, int32_t bits);

    // What the component is doing, for the program's diagnostics and for tests.
    bool isRecording() const { return hasSession(); }
    // The source the running recording reads, as the server names it; empty when none.
    std::string recordingSourceName();
    // The source selectSource chose; empty for the default source.
    const std::string& selectedSourceName() const { return m_selectedName; }
    // The spool file of the running recording.
    QString spoolPath() const override;
    int64_t framesInTake() const override;
    void syncSoon() override;
    // The stream that measures the selected source while idle is open.
    bool isMeasuringIdle();

    // One recording: its stream and its spool file (the stream's callbacks see it).
    struct Session;
    // The measuring of the idle meter's stream, on the loop thread.
    struct IdleMeter {
        level_meter::LevelTap* tap = nullptr;
        std::unique_ptr<level_meter::Analyser> analyser;
    };
    // From any thread: the running capture failed. The handler runs once, on the UI thread.
    void reportFailure(Failure failure);
    // From the loop thread: sound began or has ended. The handler hears it on the UI thread.
    void reportSound(bool sound);
    // From the loop thread: a stream that runs while no take does (the listening, the idle meter's,
    // the one that keeps the source ready) ended while its source may still be there; somebody
    // ended it, or the server failed it. They are made again after restoreDelay, which a source
    // that keeps failing them cannot turn into a busy loop.
    void idleStreamEndedLocked();
    static constexpr std::chrono::milliseconds restoreDelay{250};
    // How much a listening stream keeps beyond the pre-record seconds: what a monitor hands over
    // before it is heard, and the time a start takes to reach the stream.
    static constexpr int ringMarginSeconds = 3;

private:
    // A session the UI thread may look at: none while a start runs on its own thread.
    bool hasSession() const { return !m_starting && m_session; }
    std::vector<PulseSource> listedSources();
    int32_t beginSession(int32_t channels, int32_t rate, int32_t bits, uint64_t askedAt, bool atSound);
    // Takes the listening stream over for a take in that format from that source, when it has one;
    // the take's spool is open by then. Lock held.
    std::unique_ptr<Session> adoptListeningLocked(const std::string& source, const WaveSpool::Format& format);
    // Starts the listening stream when it is wanted and none runs (or the one running reads another
    // source, format or length), ends it when it is not wanted; never waits. Lock held.
    void listenLocked();
    void stopListeningLocked();
    bool wantsListeningLocked() const;
    // From the UI thread: no take runs any more, so the source is listened to again if wanted.
    void takeOver();
    int32_t openSpool(Session& session, const WaveSpool::Format& format, int extraSeconds);
    int32_t adoptSession(std::unique_ptr<Session> session, const WaveSpool::Format& format, int preRecordSeconds,
                         uint64_t askedAt, bool atSound);
    void makeTrigger(Session& session) const;
    int32_t endSession(const QString& path);
    void setPaused(bool paused);
    void keepSourceAwake();
    void releaseAwakeStream();
    void connectAwakeStreamLocked();
    // The source recordings use now: the chosen one, or the default while the chosen one is away.
    std::string liveSourceLocked() const;
    StandIn standInLocked() const;
    // Tells the handler when the chosen source went away or came back since the last list.
    void followStandInLocked();
    bool awakeIsLiveLocked() const;
    void sourcesChangedLocked();
    // Makes the streams that run while no take does (the listening, the idle meter's, the one that
    // keeps the source ready) again where one ended or reads another source than the live one.
    void restoreIdleStreamsLocked();
    struct pa_time_event* m_restoring = nullptr;
    void openPeakStreamLocked();
    void closePeakStreamLocked();
    void measureIdle();
    void openOrCloseIdleMeterLocked();
    void endMeasuring();
    void abandonSession();
    int32_t placeTake(const QString& path, bool complete);
    // The spool of the take being saved.
    WaveSpool& takeSpool() const;

    QString spoolFolderFor() const;
    // Stops the stream at stopAt (after draining it up to there when drain is set) and completes the
    // spool file.
    bool finishSession(bool drain, uint64_t stopAt);
    // Ends the session's stream and file and puts the take at path; the session itself stays.
    int32_t closeSession(const QString& path, uint64_t stopAt);

    std::shared_ptr<PulseContext> m_pulse;
    // Queued calls to the failure handler belong to it, so none arrives after the component is gone.
    std::unique_ptr<QObject> m_uiThread;
    int m_watcher = 0;
    QString m_spoolFolder;
    QString m_spoolName;
    QStringList m_fallbackFolders;
    QString m_keptPath;
    std::function<void(Failure)> m_failureHandler;
    std::function<void(const QString& chosen, const QString& instead)> m_standInHandler;
    // Lock held: the source chosen when the server last listed the sources, and whether it was
    // missing then. A different choice is not news: only its going away or coming back is.
    std::string m_standInChosen;
    bool m_standInMissing = false;
    std::atomic<int> m_failure{int(Failure::None)};
    std::atomic<int> m_writeError{0};
    // The start the last capture missed, in microseconds.
    uint64_t m_lastMissed = 0;
    // Set by selectSource, read on the loop thread: lock held.
    std::string m_selectedName;
    bool m_sourceChosen = false;
    // A source chosen by its place in a list the server has not sent yet: named once it comes.
    int32_t m_pendingIndex = -1;
    // Lock held: someone waits for the first list (whenSourcesKnown). The waiting calls themselves
    // live on the UI thread.
    bool m_awaitingSources = false;
    std::vector<std::function<void()>> m_sourcesKnown;
    void sourcesKnownNow();
    // A corked record stream on the selected source. It carries no audio, so it costs nothing while
    // idle, but it keeps the source's latency low: a monitor source would otherwise hand a new
    // recording nothing for the time its sink had rendered ahead, up to two seconds.
    struct pa_stream* m_awake = nullptr;
    std::string m_awakeSource;
    std::unique_ptr<Session> m_session;
    // A save on its own thread (saveLater): the session stays until its result is back on the UI
    // thread.
    std::thread m_saver;
    bool m_saving = false;
    // A start on its own thread (startLater): it makes the session, which the UI thread leaves alone
    // until the result is back.
    std::thread m_starter;
    bool m_starting = false;

    // The level meter. A recording measures the samples it receives, in the stream's callback; while
    // idle and watched, a stream of the selected source's samples, handed over 25 times a second,
    // stands in for it. Neither runs beside the other, and nothing runs while idle and not watched.
    // Lock held for the two below.
    level_meter::LevelTap m_levels;
    bool m_watching = false;
    bool m_capturing = false;
    struct pa_stream* m_peaks = nullptr;
    std::string m_peaksSource;
    std::unique_ptr<IdleMeter> m_idleMeter;

    // Listening while no take runs: the pre-record buffer and the sound trigger. Lock held for all
    // but the handler and the flag for the next start.
    int m_preRecordSeconds = 0;
    WaveSpool::Format m_listenFormat;
    bool m_hasListenFormat = false;
    bool m_soundWatched = false;
    SoundStart m_soundStart;
    // From start to the end of the take's save: no listening stream beside it.
    bool m_takeUnderWay = false;
    std::unique_ptr<Session> m_listening;
    std::function<void(bool)> m_soundHandler;
    bool m_atSound = false;
    std::atomic<int> m_keptBeforeMs{0};
};
