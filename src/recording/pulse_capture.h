#pragma once

#include "platform/capture_component.h"
#include "recording/wave_spool.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class PulseContext;
struct pa_stream;

// The capture component on the sound server: a record stream with fragments of about 50 ms whose
// audio streams into a spool wave file beside the destination; op 0 drains what the server still
// holds, completes the file and moves it into place.
class PulseCapture : public CaptureComponent {
public:
    static constexpr int fragmentMs = 50;
    // How long the disk may stall without losing audio.
    static constexpr int bufferSeconds = 20;

    explicit PulseCapture(std::shared_ptr<PulseContext> pulse);
    ~PulseCapture() override;

    int32_t Brelloc(const QString& path, int32_t operation, int32_t value1, int32_t value2, int32_t value3,
                    int32_t source) override;
    QString keptPath() const override { return m_keptPath; }
    void setSpoolFolder(const QString& folder) override { m_spoolFolder = folder; }

    // The format op 1 records for the given arguments: unsupported values fall back to 2 channels,
    // 22050 Hz, 16 bits, each on its own.
    static WaveSpool::Format formatFor(int32_t channels, int32_t rate, int32_t bits);

    // What the component is doing, for the program's diagnostics and for tests.
    bool isRecording() const { return m_session != nullptr; }
    // The source the running recording reads, as the server names it; empty when none.
    std::string recordingSourceName();
    // The source op 5 chose; empty for the default source.
    const std::string& selectedSourceName() const { return m_selectedName; }
    // The spool file of the running recording.
    QString spoolPath() const;

    // One recording: its stream and its spool file (the stream's callbacks see it).
    struct Session;

private:

    int32_t start(int32_t channels, int32_t rate, int32_t bits);
    int32_t stop(const QString& path);
    void setPaused(bool paused);
    int32_t sourceCount();
    int32_t select(int32_t index);
    void keepSourceAwake();
    void releaseAwakeStream();

    QString spoolFolderFor() const;
    // Stops the stream (after draining it when drain is set) and completes the spool file.
    bool finishSession(bool drain);

    std::shared_ptr<PulseContext> m_pulse;
    QString m_spoolFolder;
    QString m_keptPath;
    std::string m_selectedName;
    // A corked record stream on the selected source. It carries no audio, so it costs nothing while
    // idle, but it keeps the source's latency low: a monitor source would otherwise hand a new
    // recording nothing for the time its sink had rendered ahead, up to two seconds.
    struct pa_stream* m_awake = nullptr;
    std::string m_awakeSource;
    std::unique_ptr<Session> m_session;
};
