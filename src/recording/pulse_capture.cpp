#include "recording/pulse_capture.h"

#include "platform/pulse_context.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

struct PulseCapture::Session {
    PulseContext* pulse = nullptr;
    WaveSpool spool;
    pa_sample_spec sampleSpec{};
    pa_stream* stream = nullptr;
    std::atomic<bool> paused{false};
    // Touched with the main loop's lock held.
    uint64_t received = 0;
    bool waking = false; // op 0 is waiting for data
    pa_usec_t readyAt = 0; // when the stream started, on the server's clock
    bool gotData = false;
};

namespace {

void streamStateChanged(pa_stream* stream, void* userdata)
{
    auto* session = static_cast<PulseCapture::Session*>(userdata);
    if (pa_stream_get_state(stream) == PA_STREAM_READY && session->readyAt == 0)
        session->readyAt = pa_rtclock_now();
    session->pulse->wake();
}

// A monitor source hands over nothing for the time its sink had already rendered ahead when the
// stream started (up to the sink's whole buffer). That time is in the recording as silence, so the
// file's timeline stays the time recorded; a source that delivers at once needs no filler.
void fillStartGap(PulseCapture::Session* session, size_t firstBytes)
{
    const pa_usec_t now = pa_rtclock_now();
    const pa_usec_t covered = pa_bytes_to_usec(firstBytes, &session->sampleSpec);
    // Half a fragment of slack for delivery jitter: a larger shortfall is time the source did not
    // hand over, and it is filled.
    const pa_usec_t slack = pa_usec_t(PulseCapture::fragmentMs) * 1000 / 2;
    if (session->readyAt == 0 || now < session->readyAt + covered + slack)
        return;
    const size_t gap = pa_usec_to_bytes(now - session->readyAt - covered, &session->sampleSpec);
    session->received += gap;
    if (!session->paused.load(std::memory_order_relaxed))
        session->spool.pushSilence(gap);
}

// Runs on the main loop's thread: copies into the spool's ring and returns; the disk is the
// writer's business.
void streamReadable(pa_stream* stream, size_t, void* userdata)
{
    auto* session = static_cast<PulseCapture::Session*>(userdata);
    if (!session->gotData) {
        session->gotData = true;
        fillStartGap(session, pa_stream_readable_size(stream));
    }
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            break;
        if (!session->paused.load(std::memory_order_relaxed)) {
            if (data)
                session->spool.push(data, bytes);
            else
                session->spool.pushSilence(bytes);
        }
        session->received += bytes;
        pa_stream_drop(stream);
    }
    if (session->waking)
        session->pulse->wake();
}

void timingUpdated(pa_stream*, int, void* userdata)
{
    static_cast<PulseCapture::Session*>(userdata)->pulse->wake();
}

bool folderWritable(const QString& folder)
{
    if (folder.isEmpty())
        return false;
    const QFileInfo info(folder);
    return info.isDir() && ::access(QFile::encodeName(info.absoluteFilePath()).constData(), W_OK | X_OK) == 0;
}

// Moves a finished file into place: a rename on the same file system; a copy beside the
// destination then a rename across file systems, so the destination is never half written.
bool moveFile(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::rename(source.constData(), target.constData()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    const QString partial = to + QStringLiteral(".part");
    QFile::remove(partial);
    if (!QFile::copy(from, partial))
        return false;
    if (::rename(QFile::encodeName(partial).constData(), target.constData()) != 0) {
        QFile::remove(partial);
        return false;
    }
    QFile::remove(from);
    return true;
}

} // namespace

PulseCapture::PulseCapture(std::shared_ptr<PulseContext> pulse) : m_pulse(std::move(pulse)) {}

PulseCapture::~PulseCapture()
{
    // A recording nobody stopped stays in its spool file.
    if (m_session)
        finishSession(false);
    releaseAwakeStream();
}

void PulseCapture::releaseAwakeStream()
{
    if (!m_awake)
        return;
    PulseContext::Lock lock(*m_pulse);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_awake)))
        pa_stream_disconnect(m_awake);
    pa_stream_unref(m_awake);
    m_awake = nullptr;
    m_awakeSource.clear();
}

void PulseCapture::keepSourceAwake()
{
    if (!m_pulse)
        return;
    if (m_awake) {
        PulseContext::Lock lock(*m_pulse);
        if (m_awakeSource == m_selectedName && PA_STREAM_IS_GOOD(pa_stream_get_state(m_awake)))
            return;
    }
    releaseAwakeStream();
    if (!m_pulse->ensureConnected())
        return;
    PulseContext::Lock lock(*m_pulse);
    pa_context* context = m_pulse->context();
    if (!context)
        return;
    const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, 8000, 1};
    m_awake = pa_stream_new(context, "Keeping the source ready", &sampleSpec, nullptr);
    if (!m_awake)
        return;
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(-1);
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(pa_usec_to_bytes(pa_usec_t(fragmentMs) * 1000, &sampleSpec));
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
    if (pa_stream_connect_record(m_awake, m_selectedName.empty() ? nullptr : m_selectedName.c_str(), &attr, flags) < 0) {
        pa_stream_unref(m_awake);
        m_awake = nullptr;
        return;
    }
    m_awakeSource = m_selectedName;
}

WaveSpool::Format PulseCapture::formatFor(int32_t channels, int32_t rate, int32_t bits)
{
    WaveSpool::Format format;
    if (channels == 1 || channels == 2)
        format.channels = channels;
    if (rate == 8000 || rate == 11025 || rate == 22050 || rate == 44100)
        format.rate = rate;
    if (bits == 8 || bits == 16)
        format.bits = bits;
    return format;
}

int32_t PulseCapture::Brelloc(const QString& path, int32_t operation, int32_t value1, int32_t value2, int32_t value3,
                              int32_t source)
{
    switch (operation) {
    case 0:
        return stop(path);
    case 1:
        return start(value1, value2, value3);
    case 2:
        setPaused(true);
        return 0;
    case 3:
        setPaused(false);
        return 0;
    case 4:
        return sourceCount();
    case 5:
        return select(source);
    default:
        return -1;
    }
}

int32_t PulseCapture::sourceCount()
{
    if (!m_pulse)
        return 0;
    return int32_t(m_pulse->sources().size());
}

int32_t PulseCapture::select(int32_t index)
{
    m_selectedName.clear();
    if (!m_pulse)
        return 1;
    const std::vector<PulseSource> all = m_pulse->sources();
    if (index >= 0 && size_t(index) < all.size()) {
        m_selectedName = all[size_t(index)].name;
        keepSourceAwake();
        return 0;
    }
    // Outside the list: the default source, whichever it is when recording starts.
    keepSourceAwake();
    return 1;
}

QString PulseCapture::spoolFolderFor() const
{
    if (folderWritable(m_spoolFolder))
        return m_spoolFolder;
    if (folderWritable(QDir::homePath()))
        return QDir::homePath();
    return QDir::tempPath();
}

QString PulseCapture::spoolPath() const
{
    return m_session ? QFile::decodeName(m_session->spool.path().c_str()) : QString();
}

std::string PulseCapture::recordingSourceName()
{
    if (!m_session || !m_session->stream)
        return {};
    PulseContext::Lock lock(*m_pulse);
    if (pa_stream_get_state(m_session->stream) != PA_STREAM_READY)
        return {};
    const char* name = pa_stream_get_device_name(m_session->stream);
    return name ? name : "";
}

void PulseCapture::setPaused(bool paused)
{
    // The stream keeps running while paused and its audio is dropped, so resuming loses nothing
    // to a restart and the paused time adds nothing to the file.
    if (m_session)
        m_session->paused = paused;
}

int32_t PulseCapture::start(int32_t channels, int32_t rate, int32_t bits)
{
    if (m_session) {
        // A second start without a stop: the first recording stays in its spool file.
        finishSession(false);
        m_keptPath = spoolPath();
        m_session.reset();
    }
    m_keptPath.clear();

    const WaveSpool::Format format = formatFor(channels, rate, bits);
    auto session = std::make_unique<Session>();
    session->pulse = m_pulse.get();
    std::string error;
    const QString folder = spoolFolderFor();
    if (!session->spool.open(QFile::encodeName(folder).toStdString(), format, bufferSeconds, &error)) {
        if (folder == QDir::tempPath() ||
            !session->spool.open(QFile::encodeName(QDir::tempPath()).toStdString(), format, bufferSeconds, &error))
            return 1;
    }
    session->sampleSpec.format = format.bits == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    session->sampleSpec.rate = uint32_t(format.rate);
    session->sampleSpec.channels = uint8_t(format.channels);
    m_session = std::move(session);
    if (!m_pulse)
        return 1;

    // Resolve the chosen source by name now: it may have gone and come back since op 5.
    std::string device;
    if (!m_selectedName.empty()) {
        for (const PulseSource& s : m_pulse->sources())
            if (s.name == m_selectedName)
                device = s.name;
    }

    const auto deadline = PulseContext::deadlineFromNow();
    if (device.empty() && !m_pulse->ensureConnected())
        return 1;
    // Never wait with the lock taken twice: the loop thread could not run.
    PulseContext::Lock lock(*m_pulse);
    pa_context* context = m_pulse->context();
    if (!context)
        return 1;
    Session* s = m_session.get();
    s->stream = pa_stream_new(context, "Recording", &s->sampleSpec, nullptr);
    if (!s->stream)
        return 1;
    pa_stream_set_state_callback(s->stream, streamStateChanged, s);
    pa_stream_set_read_callback(s->stream, streamReadable, s);

    // Small fragments: the server otherwise hands record data over in bursts of up to 2 s, and
    // what it still holds at the end would be lost.
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(-1);
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(pa_usec_to_bytes(pa_usec_t(fragmentMs) * 1000, &s->sampleSpec));
    const auto flags = PA_STREAM_ADJUST_LATENCY;
    if (pa_stream_connect_record(s->stream, device.empty() ? nullptr : device.c_str(), &attr, flags) < 0)
        return 1;
    const bool ready = m_pulse->waitUntil(
        [s] {
            const pa_stream_state_t state = pa_stream_get_state(s->stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        deadline);
    return ready && pa_stream_get_state(s->stream) == PA_STREAM_READY ? 0 : 1;
}

bool PulseCapture::finishSession(bool drain)
{
    Session* s = m_session.get();
    if (!s)
        return false;
    if (s->stream) {
        const pa_usec_t stopAt = pa_rtclock_now();
        PulseContext::Lock lock(*m_pulse);
        if (!s->gotData && s->readyAt != 0) {
            // Stopped before the source handed over anything: the time recorded is silence.
            s->gotData = true;
            const pa_usec_t now = pa_rtclock_now();
            if (now > s->readyAt) {
                const size_t silence = pa_usec_to_bytes(now - s->readyAt, &s->sampleSpec);
                s->received += silence;
                if (!s->paused)
                    s->spool.pushSilence(silence);
            }
        }
        if (drain && !s->paused && pa_stream_get_state(s->stream) == PA_STREAM_READY) {
            // What the source captured up to now but the server has not handed over yet: the
            // stream's latency. Wait until that much more has arrived.
            const auto deadline = PulseContext::deadlineFromNow(std::chrono::milliseconds(1000));
            m_pulse->waitOperation(pa_stream_update_timing_info(s->stream, timingUpdated, s), deadline);
            pa_usec_t latency = 0;
            int negative = 0;
            const int latencyResult = pa_stream_get_latency(s->stream, &latency, &negative);
            if (latencyResult == 0 && !negative) {
                const uint64_t target = s->received + pa_usec_to_bytes(latency, &s->sampleSpec);
                const auto wait = std::min(std::chrono::milliseconds(latency / 1000 + 250), std::chrono::milliseconds(1000));
                s->waking = true;
                m_pulse->waitUntil(
                    [s, target] {
                        return s->received >= target || pa_stream_get_state(s->stream) != PA_STREAM_READY;
                    },
                    std::min(deadline, PulseContext::Clock::now() + wait));
                s->waking = false;
            }
            // A source hands its audio over a fragment at a time, and the latency it reports may
            // not count the fragment it is filling: wait until the stream has delivered the whole
            // time since it started, up to the moment of the stop.
            if (s->readyAt != 0 && stopAt > s->readyAt) {
                const uint64_t due = pa_usec_to_bytes(stopAt - s->readyAt, &s->sampleSpec);
                const uint64_t slack = pa_usec_to_bytes(5000, &s->sampleSpec);
                const auto wait = std::chrono::milliseconds(2 * fragmentMs + 50);
                s->waking = true;
                m_pulse->waitUntil(
                    [s, due, slack] {
                        return s->received + slack >= due || pa_stream_get_state(s->stream) != PA_STREAM_READY;
                    },
                    std::min(deadline, PulseContext::Clock::now() + wait));
                s->waking = false;
            }
        }
        pa_stream_set_read_callback(s->stream, nullptr, nullptr);
        pa_stream_set_state_callback(s->stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(s->stream)))
            pa_stream_disconnect(s->stream);
        pa_stream_unref(s->stream);
        s->stream = nullptr;
    }
    return s->spool.close();
}

int32_t PulseCapture::stop(const QString& path)
{
    m_keptPath.clear();
    if (!m_session)
        return 1;
    const QString spool = spoolPath();
    const bool complete = finishSession(true);
    m_session.reset();
    if (!path.isEmpty() && moveFile(spool, path)) {
        if (complete)
            return 0;
        m_keptPath = path;
        return 2;
    }
    m_keptPath = spool;
    return 1;
}
