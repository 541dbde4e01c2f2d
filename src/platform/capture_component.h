#pragma once

#include "platform/sound_start.h"

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>

// What a level meter reads of the sound arriving from the recording source: per channel, as
// fractions of full scale (1.0 is the largest sample the format holds).
struct InputLevels {
    static constexpr int maxChannels = 2;
    // Channels measured since the last reading; 0 when nothing new has arrived.
    int channels = 0;
    // The loudest sample of each channel since the last reading.
    std::array<float, maxChannels> peak{};
    // The samples themselves were measured (a recording runs), not only their peaks: rms holds the
    // root mean square of each channel over the last 50 ms.
    bool hasRms = false;
    std::array<float, maxChannels> rms{};
    // The capture this reading belongs to: it counts up with every recording started.
    uint32_t capture = 0;
    // Runs of 3 or more full-scale samples in a row, in that capture so far.
    uint32_t clips = 0;
};

// The capture component: recording from the selected source into a PCM wave file.
//
//   start     capture from the selected source in the given format. The result is one of
//             StartResult; a start that fails leaves no file behind, and a start while a capture
//             runs is refused (that one goes on).
//   pause     the audio arriving meanwhile stays out of the take; resume goes on into it.
//   save      ends the capture and writes what was captured to path, complete on return. The
//             result is one of SaveResult: saved at path; nothing captured (no file anywhere); at
//             path but incomplete (a write failed, what was written is there); or not at path, in
//             which case keptPath() names the file that holds the audio (a fallback folder, or the
//             spool itself). saveLater does the same work without waiting.
//   sources   sourceCount() lists them; selectSource picks one (0-based) for later captures.
// Every call returns promptly on the UI thread, except start and save, which wait for the sound
// server and the file (startLater and saveLater do not).
class CaptureComponent {
public:
    enum StartResult : int32_t { Started = 0, Busy = 2, NoServer = 3, NoSource = 4, NoFolder = 5 };
    enum SaveResult : int32_t { Saved = 0, NothingCaptured = 1, SavedIncomplete = 2, KeptElsewhere = 3 };
    // Why a capture ended before its Stop.
    enum class Failure { None, SourceGone, ServerGone, WriteFailed };

    virtual ~CaptureComponent() = default;

    virtual int32_t start(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample) = 0;
    // Starts the capture without holding up the caller: done gets start's result once the source
    // delivers (or cannot). A component that starts at once (the default) calls done before
    // startLater returns; one that waits for the sound server calls it later from the caller's
    // event loop. Until then, pause and save are not called.
    virtual void startLater(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample,
                            std::function<void(int32_t result)> done);
    virtual void pause() = 0;
    virtual void resume() = 0;
    // Ends the capture and writes it to path.
    virtual int32_t save(const QString& path) = 0;
    // Ends the capture at this moment and writes it to path without holding up the caller: done
    // runs later from the caller's event loop with save's result, once the file is closed. A component
    // that saves at once (the default) still calls done from the event loop, never from inside.
    virtual void saveLater(const QString& path, std::function<void(int32_t result)> done);
    // The number of recording sources.
    virtual int32_t sourceCount() = 0;
    // Selects a source (0-based) for later captures; false when the index is outside the list, and
    // then the default source records.
    virtual bool selectSource(int32_t index) = 0;

    // Where the audio of the last save is when it is not at the path asked for; empty otherwise.
    virtual QString keptPath() const = 0;

    // The machine is about to sleep: what the running capture has is put on the disk now.
    virtual void syncSoon() {}
    // The wave file the running capture streams into, which grows as it records; empty when the
    // component keeps the audio elsewhere until save.
    virtual QString spoolPath() const { return {}; }
    // The frames the running take holds so far (the audio that reached it, gaps the server reported
    // filled, the seconds kept from before Record included); -1 when the component cannot tell.
    virtual int64_t framesInTake() const { return -1; }
    // The file the next start is planned to become: the recording streams to disk beside it, in a
    // spool named after it, so that save is a rename and a take left by a killed program is found.
    virtual void setSpoolTarget(const QString& plannedPath) { Q_UNUSED(plannedPath); }
    // Where save puts a take whose destination folder is gone and cannot be made again, in order.
    virtual void setFallbackFolders(const QStringList& folders) { Q_UNUSED(folders); }

    // Called on the UI thread as soon as the running capture fails: the source went away, the
    // sound server went away, or the disk refused a write. What was captured is still there for
    // save, which the handler is expected to call.
    virtual void setFailureHandler(std::function<void(Failure)> handler) { Q_UNUSED(handler); }
    // The failure that ended the running or last capture early; None when it ran until its Stop.
    virtual Failure failure() const { return Failure::None; }
    // The system's error number of a failed write (ENOSPC for a full disk); 0 otherwise.
    virtual int writeError() const { return 0; }

    // Selects a source by the sound server's name for it: later captures use it whenever the server
    // lists it, and the default source while it does not.
    virtual void selectSourceNamed(const QString& name) { selectSource(sourceIndex(name)); }
    // When the source chosen by name is not there: its name, and how the server describes the source
    // that records in its place (empty when there is none). Both empty otherwise.
    struct StandIn {
        QString chosen;
        QString instead;
    };
    virtual StandIn standIn() { return {}; }
    // Called on this thread when the source chosen by name goes away, or comes back, while the
    // program runs: with its name, and how the server describes the source that records in its place
    // (empty once it is back).
    virtual void setStandInHandler(std::function<void(const QString& chosen, const QString& instead)> handler)
    {
        Q_UNUSED(handler);
    }
    // Calls ready on this thread once the sources can be told: the sound server has listed them, or
    // it could not be reached. At once when that is already so.
    virtual void whenSourcesKnown(std::function<void()> ready) { ready(); }

    // The name of the source at a 0-based index of the list; empty outside the list.
    virtual QString sourceName(int32_t index) = 0;
    // The index of the source of that name in the list; -1 when there is none.
    virtual int32_t sourceIndex(const QString& name) = 0;

    // The level meter. While watched, the selected source is measured also when nothing records;
    // unwatched, nothing is measured while idle. A running capture is always measured, from the
    // samples it records.
    virtual void watchLevels(bool on) { Q_UNUSED(on); }
    // What was measured since the last reading.
    virtual InputLevels readLevels() { return {}; }
    // The loudest sample of the running capture since the last call, 0 to 1; negative when the
    // component measures nothing.
    virtual float takeLoudest() { return -1; }
    // How the sound server describes the source the running capture reads; empty when not known.
    virtual QString recordingSourceDescription() { return {}; }
    // How much of the start of the running capture, or of the last one, is not in it: the time from
    // the start until the source's first audio, when the source delivered nothing of it. -1 while the
    // running capture has heard nothing from its source yet.
    virtual int missedAtStartMs() { return 0; }

    // The pre-record buffer: while no take runs, the selected source is captured into memory in the
    // format given, which the next take records in, and its last `seconds` are kept; a start in that
    // format begins with them, seamless with what follows. Nothing goes to the disk before the start.
    // 0 turns it off.
    virtual void setPreRecord(int seconds, int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample)
    {
        Q_UNUSED(seconds);
        Q_UNUSED(channels);
        Q_UNUSED(samplesPerSecond);
        Q_UNUSED(bitsPerSample);
    }
    // The source is open while no take runs: for the pre-record buffer, or to hear sound start.
    virtual bool isListening() { return false; }
    // How much of the running take, or of the last one, is from before its start, in milliseconds.
    virtual int keptBeforeStartMs() { return 0; }
    // Sound-activated recording: the selected source is measured, while idle too, and handler hears
    // on the UI thread when sound begins (true) and when it has ended (false). An empty handler
    // stops it.
    virtual void watchSound(const SoundStart& how, std::function<void(bool sound)> handler)
    {
        Q_UNUSED(how);
        Q_UNUSED(handler);
    }
    // The next start, or the next resume, begins where the last sound began (with the pre-record
    // seconds before it) instead of at its own moment.
    virtual void beginAtSound(bool on) { Q_UNUSED(on); }
};
