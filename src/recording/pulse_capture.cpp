#include "recording/pulse_capture.h"

#include "platform/pulse_context.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include "recording/output_location.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <unistd.h>

namespace {

// Bytes waiting in arrival order: new ones join at the end, the oldest leave from the front. Leaving
// moves nothing; the space before the first byte is taken back once it is four times what waits, so
// each byte is moved a quarter of a time on average and the memory stays bounded.
class HeldBytes {
public:
    size_t size() const { return m_bytes.size() - m_first; }
    const uint8_t* data() const { return m_bytes.data() + m_first; }
    void reserve(size_t bytes) { m_bytes.reserve(bytes); }
    // Appends bytes, or as many of the given silence value when data is null.
    void append(const void* data, size_t bytes, uint8_t silence)
    {
        if (m_first > 0 && m_first >= 4 * size()) {
            m_bytes.erase(m_bytes.begin(), m_bytes.begin() + std::ptrdiff_t(m_first));
            m_first = 0;
        }
        const size_t end = m_bytes.size();
        m_bytes.resize(end + bytes);
        if (data)
            std::memcpy(m_bytes.data() + end, data, bytes);
        else
            std::memset(m_bytes.data() + end, silence, bytes);
    }
    void dropFront(size_t bytes)
    {
        m_first += std::min(bytes, size());
        if (m_first == m_bytes.size()) {
            m_bytes.clear();
            m_first = 0;
        }
    }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_first = 0;
};

} // namespace

struct PulseCapture::Session {
    PulseCapture* owner = nullptr;
    PulseContext* pulse = nullptr;
    std::unique_ptr<WaveSpool> spool = std::make_unique<WaveSpool>();
    pa_sample_spec sampleSpec{};
    pa_stream* stream = nullptr;
    // Touched with the main loop's lock held.
    bool paused = false;       // as last asked; the audio follows at the cut below
    uint64_t received = 0;     // bytes taken since the source's first audio
    bool waking = false;       // save is waiting for data
    pa_usec_t readyAt = 0;     // when the stream started, on the server's clock
    pa_usec_t askedAt = 0;     // when Record reached the capture, for a stream made for the take
    bool gotData = false;      // the source's first audio has arrived
    size_t warmUp = 0;         // bytes of silence before it, not (yet) taken
    pa_usec_t warmUpAt = 0;    // when the first of them arrived
    size_t warmUpReadable = 0; // and how much that handover held
    // Pause, resume and stop take effect at the place in the stream that belongs to the moment they
    // were asked, not at whatever the source has handed over by then: it hands its audio over a
    // fragment at a time, a monitor some of it before it plays. Each cut says from which byte on
    // audio is kept or dropped; they come in the order of their places.
    struct Cut {
        uint64_t at;
        bool keep;
    };
    std::deque<Cut> cuts;
    bool keeping = true;
    // Cuts asked before the first handover: until then nobody knows where the stream stands
    // against the clock, so they wait for it with the moment they were asked.
    struct Pending {
        pa_usec_t moment;
        bool keep;
    };
    std::vector<Pending> pending;
    // How long after the stream started the source's first audio was taken (or, from a monitor,
    // played): the recording holds nothing of that time. Known from the first handover on.
    pa_usec_t missed = 0;
    // Where the stream stands against the clock, measured at each handover (bytes handed over less
    // the bytes of the time since the stream started). A source hands over what it took before the
    // handover: just after one, the stream is level with the clock. A PulseAudio monitor (the server
    // then reports its sink's buffer with the stream's timing) hands over what plays from the
    // handover on: just before one, it is level. Handovers come on time or late, never early, so the
    // highest level of the last second is where the stream stands.
    bool playsFromHandover = false;
    // A sink may render further ahead than the monitor's handovers show: a device whose buffer
    // cannot be made as small as the stream asks. For a monitor whose timing the server sends by
    // itself, the least of its sink's latencies in the last reports is how much of that stays ahead
    // of what is heard; the null sink's goes down to nearly nothing between its renderings.
    bool followsSink = false;
    std::array<pa_usec_t, 8> sinkLatencies{};
    size_t sinkReports = 0;
    struct timeval lastReport {};
    pa_usec_t sinkAhead = 0;
    struct Level {
        pa_usec_t at;
        int64_t bytes;
    };
    std::array<Level, 64> levels{};
    size_t levelCount = 0;
    // The last bytes handed over by a monitor wait here before they go to the spool, so that a cut
    // at the audio playing now, behind what has been handed over, can still fall among them.
    HeldBytes held;
    size_t holdBytes = 0;
    // The level meter's measuring of what arrives, on the loop thread.
    std::unique_ptr<level_meter::Analyser> analyser;

    // A stream that listens while no take runs: nothing of it is kept until a take takes it over.
    bool listening = false;
    // The source it was asked for: empty for the default.
    std::string source;
    // The last of what the stream delivered, by place (the byte at place p is at p % size): the
    // pre-record buffer, and what a resume at an earlier sound takes from. Empty when not kept.
    std::vector<uint8_t> ring;
    // The stream goes on listening once its take is stopped (set when the take is stopped): the
    // take's spool is then closed and placed from here, while a fresh one waits for the next take.
    bool listensAfter = false;
    std::unique_ptr<WaveSpool> closing;
    // The place after the last byte that went to the spool.
    uint64_t keptUntil = 0;
    // A monitor that listens waits for the server's timing before it takes anything: whether it
    // hands over what plays from the handover on is not known before.
    bool timingKnown = true;
    // The sound trigger, and where the last sound began.
    std::unique_ptr<SoundTrigger> trigger;
    std::vector<SoundTrigger::Event> events;
    uint64_t triggerFrom = 0; // the place of the trigger's first frame
    bool haveOnset = false;
    uint64_t onsetPlace = 0;
};

namespace {

// The server's description of a take's format.
pa_sample_spec sampleSpecOf(const WaveSpool::Format& format)
{
    pa_sample_spec sampleSpec{};
    sampleSpec.format = format.bits == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    sampleSpec.rate = uint32_t(format.rate);
    sampleSpec.channels = uint8_t(format.channels);
    return sampleSpec;
}

// A record stream's buffer: the server's defaults, with handovers of the given length.
pa_buffer_attr handoversOf(pa_usec_t length, const pa_sample_spec& sampleSpec)
{
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(-1);
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(pa_usec_to_bytes(length, &sampleSpec));
    return attr;
}

// Ends a stream of ours: none of its callbacks runs after this, and the server lets it go.
void endStream(pa_stream*& stream)
{
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

void streamStateChanged(pa_stream* stream, void* userdata)
{
    auto* session = static_cast<PulseCapture::Session*>(userdata);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY && session->readyAt == 0)
        session->readyAt = pa_rtclock_now();
    // A listening stream that ends is made again; no take lost it.
    if (session->listening) {
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
            session->owner->idleStreamEndedLocked();
        session->pulse->wake();
        return;
    }
    // Our own ending clears this callback first, so a stream that ends here was ended for us: by
    // its source going away, or by the whole connection.
    if (session->readyAt != 0 && (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)) {
        const bool serverAnswers = session->pulse->context() != nullptr;
        session->owner->reportFailure(serverAnswers ? CaptureComponent::Failure::SourceGone
                                                    : CaptureComponent::Failure::ServerGone);
    }
    session->pulse->wake();
}

// Hands bytes from the stream's place at on to the spool, apart from the stretches that lie
// between a pause and its resume or after the stop; null data is silence.
void toSpool(PulseCapture::Session* session, const uint8_t* data, size_t bytes, uint64_t at)
{
    size_t done = 0;
    while (done < bytes) {
        while (!session->cuts.empty() && session->cuts.front().at <= at + done) {
            session->keeping = session->cuts.front().keep;
            session->cuts.pop_front();
        }
        size_t part = bytes - done;
        if (!session->cuts.empty())
            part = size_t(std::min<uint64_t>(part, session->cuts.front().at - at - done));
        if (session->keeping) {
            if (data)
                session->spool->push(data + done, part);
            else
                session->spool->pushSilence(part);
            session->keptUntil = at + done + part;
        }
        done += part;
    }
}

// Hands the held bytes before the place upTo on to the spool.
void release(PulseCapture::Session* session, uint64_t upTo)
{
    const uint64_t heldFrom = session->received - session->held.size();
    if (upTo <= heldFrom)
        return;
    const auto bytes = size_t(std::min<uint64_t>(upTo - heldFrom, session->held.size()));
    toSpool(session, session->held.data(), bytes, heldFrom);
    session->held.dropFront(bytes);
}

// Keeps what the source handed over at the place `received` in the ring, and measures it for the
// sound trigger.
void remember(PulseCapture::Session* session, const void* data, size_t bytes)
{
    std::vector<uint8_t>& ring = session->ring;
    if (!ring.empty()) {
        const uint8_t silence = session->sampleSpec.format == PA_SAMPLE_U8 ? 0x80 : 0;
        const auto* from = static_cast<const uint8_t*>(data);
        size_t done = bytes > ring.size() ? bytes - ring.size() : 0;
        while (done < bytes) {
            const size_t offset = size_t((session->received + done) % ring.size());
            const size_t part = std::min(bytes - done, ring.size() - offset);
            if (from)
                std::memcpy(ring.data() + offset, from + done, part);
            else
                std::memset(ring.data() + offset, silence, part);
            done += part;
        }
    }
    if (session->trigger) {
        const size_t frame = pa_frame_size(&session->sampleSpec);
        session->events.clear();
        session->trigger->feed(data, bytes / frame, session->events);
        for (const SoundTrigger::Event& event : session->events) {
            if (event.sound) {
                session->onsetPlace = session->triggerFrom + event.frame * frame;
                session->haveOnset = true;
            }
            session->owner->reportSound(event.sound);
        }
    }
}

// Takes what the source handed over (null data: silence) and counts it as received.
void deliver(PulseCapture::Session* session, const void* data, size_t bytes)
{
    remember(session, data, bytes);
    if (session->holdBytes == 0) {
        toSpool(session, static_cast<const uint8_t*>(data), bytes, session->received);
        session->received += bytes;
        return;
    }
    session->held.append(data, bytes, session->sampleSpec.format == PA_SAMPLE_U8 ? 0x80 : 0);
    session->received += bytes;
    if (session->received > session->holdBytes)
        release(session, session->received - session->holdBytes);
}

int64_t bytesSinceReady(const PulseCapture::Session* session, pa_usec_t now)
{
    return now > session->readyAt ? int64_t(pa_usec_to_bytes(now - session->readyAt, &session->sampleSpec)) : 0;
}

// Notes where the stream stands against the clock when it has handed over `received` bytes at
// the moment now.
void noteLevel(PulseCapture::Session* session, pa_usec_t now, uint64_t received)
{
    session->levels[session->levelCount % session->levels.size()] = {now,
                                                                     int64_t(received) - bytesSinceReady(session, now)};
    ++session->levelCount;
}

// The place in the stream of the audio the source takes (or its sink plays) at the moment now, in
// whole frames; for a cut (`inSpool`), never before what has gone to the spool already.
uint64_t placeOf(const PulseCapture::Session* session, pa_usec_t now, bool inSpoolToo = true)
{
    // The latest level, then the highest of the others in the last second.
    const auto& levels = session->levels;
    const size_t count = std::min(session->levelCount, levels.size());
    int64_t level = count > 0 ? levels[(session->levelCount - 1) % levels.size()].bytes : 0;
    for (size_t i = 1; i < count; ++i) {
        const PulseCapture::Session::Level& seen = levels[(session->levelCount - 1 - i) % levels.size()];
        if (seen.at + 1000000 < now)
            break;
        level = std::max(level, seen.bytes);
    }
    const int64_t inSpool = inSpoolToo ? int64_t(session->received - session->held.size()) : 0;
    const int64_t ahead = session->playsFromHandover && session->sinkAhead > 0
                              ? int64_t(pa_usec_to_bytes(session->sinkAhead, &session->sampleSpec))
                              : 0;
    const int64_t place =
        std::max<int64_t>(std::max<int64_t>(bytesSinceReady(session, now) + level - ahead, inSpool), 0);
    const auto frame = int64_t(pa_frame_size(&session->sampleSpec));
    return uint64_t((place + frame / 2) / frame * frame);
}

// A cut from the place at on: later cuts come at later places, so one asked for a place at or
// before the cut before it replaces that one.
void pushCut(PulseCapture::Session* session, uint64_t at, bool keep)
{
    while (!session->cuts.empty() && session->cuts.back().at >= at)
        session->cuts.pop_back();
    session->cuts.push_back({at, keep});
}

// Keeps the audio from the place `from` on: a place not reached yet is a cut; one already passed
// takes what the ring still holds of it since the take last kept anything (never audio twice).
void keepFrom(PulseCapture::Session* session, uint64_t from)
{
    const uint64_t processed = session->received - session->held.size();
    if (from >= processed || session->keeping) {
        pushCut(session, std::max(from, processed), true);
        return;
    }
    const std::vector<uint8_t>& ring = session->ring;
    const uint64_t ringStart = session->received - std::min<uint64_t>(session->received, ring.size());
    uint64_t at = std::max({from, ringStart, session->keptUntil});
    session->cuts.clear();
    while (at < processed) {
        const size_t offset = size_t(at % ring.size());
        const size_t part = size_t(std::min<uint64_t>(processed - at, ring.size() - offset));
        session->spool->push(ring.data() + offset, part);
        at += part;
        session->keptUntil = at;
    }
    session->keeping = true;
}

// Where what a take missed at its start is counted from. A stream made at Record took nothing before
// it was ready, and the server takes a round trip or two to make it: the take misses what was heard
// from Record on.
pa_usec_t missedSince(const PulseCapture::Session* session)
{
    return session->askedAt != 0 && session->askedAt < session->readyAt ? session->askedAt : session->readyAt;
}

// The first handover tells where the stream stands. Nothing is put in for the time before it: a
// source hands over what it took since the stream started, but a PulseAudio monitor whose sink had
// rendered ahead when the stream started hands over only what plays from the sink's next rendering
// on, up to the sink's whole buffer later. That time was never captured; the recording starts where
// the audio does, and the capture says how much of the start is missing.
void beginLine(PulseCapture::Session* session, pa_usec_t now, size_t firstBytes)
{
    // A source's first handover holds what it took before now; a monitor's, what plays from now on.
    const uint64_t firstEnd = session->received + (session->playsFromHandover ? 0 : firstBytes);
    noteLevel(session, now, firstEnd);
    const pa_usec_t covered = session->playsFromHandover ? 0 : pa_bytes_to_usec(firstBytes, &session->sampleSpec);
    const pa_usec_t firstTaken = now > covered ? now - covered : 0;
    // A monitor that plays from the handover on is placed against its sink's rendering, from the
    // moment it started.
    const pa_usec_t since = session->playsFromHandover ? session->readyAt : missedSince(session);
    session->missed = firstTaken > since ? firstTaken - since : 0;
    for (const PulseCapture::Session::Pending& cut : session->pending)
        pushCut(session, placeOf(session, cut.moment), cut.keep);
    session->pending.clear();
}

// Bytes of digital silence at the start of data, in whole frames.
size_t leadingSilence(const PulseCapture::Session* session, const void* data, size_t bytes)
{
    if (!data)
        return bytes; // a hole: nothing was delivered there
    const auto* at = static_cast<const uint8_t*>(data);
    const uint8_t silence = session->sampleSpec.format == PA_SAMPLE_U8 ? 0x80 : 0;
    size_t zeros = 0;
    while (zeros < bytes && at[zeros] == silence)
        ++zeros;
    const size_t frame = pa_frame_size(&session->sampleSpec);
    return zeros / frame * frame;
}

// The start of the stream, until its first sound: a stream of PipeWire's hands over one quantum of
// digital silence (about 23 ms) before the first audio of the source, whatever plays. That silence
// was never heard, and the recording starts after it. Silence that goes on for longer than a
// fragment is the source's own, and all of it is kept.
void warmUp(PulseCapture::Session* session, const void* data, size_t bytes, size_t readable)
{
    const size_t zeros = leadingSilence(session, data, bytes);
    const size_t limit = pa_usec_to_bytes(pa_usec_t(PulseCapture::fragmentMs) * 1000, &session->sampleSpec);
    if (zeros == bytes && session->warmUp + bytes <= limit) {
        if (session->warmUp == 0) {
            session->warmUpAt = pa_rtclock_now();
            session->warmUpReadable = readable;
        }
        session->warmUp += bytes;
        return;
    }
    session->gotData = true;
    if (session->warmUp + zeros > limit) {
        // The line begins with the first of the silence, where and when it arrived.
        if (session->warmUp == 0)
            beginLine(session, pa_rtclock_now(), readable);
        else
            beginLine(session, session->warmUpAt, session->warmUpReadable);
        deliver(session, nullptr, session->warmUp);
        deliver(session, data, bytes);
    } else {
        beginLine(session, pa_rtclock_now(), readable - std::min(readable, zeros));
        deliver(session, static_cast<const uint8_t*>(data) + zeros, bytes - zeros);
    }
}

// Runs on the main loop's thread: copies into the spool's ring and returns; the disk is the
// writer's business.
// Notes the sink's latency from a timing report the stream has not seen yet.
void followSink(PulseCapture::Session* session, const pa_timing_info* timing)
{
    if (!timing || (timing->timestamp.tv_sec == session->lastReport.tv_sec &&
                    timing->timestamp.tv_usec == session->lastReport.tv_usec))
        return;
    session->lastReport = timing->timestamp;
    auto& seen = session->sinkLatencies;
    seen[session->sinkReports % seen.size()] = timing->sink_usec;
    ++session->sinkReports;
    const size_t count = std::min(session->sinkReports, seen.size());
    session->sinkAhead = *std::min_element(seen.begin(), seen.begin() + std::ptrdiff_t(count));
}

// The read callbacks take what the server handed over, readable bytes in all, and no more: the
// library checks for a fork with a system call in each of its calls, so asking once more whether
// anything is left would cost one more on every wake.
void streamReadable(pa_stream* stream, size_t readable, void* userdata)
{
    auto* session = static_cast<PulseCapture::Session*>(userdata);
    if (session->followsSink && session->timingKnown)
        followSink(session, pa_stream_get_timing_info(stream));
    if (!session->timingKnown) {
        if (const pa_timing_info* timing = pa_stream_get_timing_info(stream)) {
            session->playsFromHandover = timing->sink_usec > 0;
            session->timingKnown = true;
        } else {
            for (size_t left = readable; left > 0;) {
                const void* data = nullptr;
                size_t bytes = 0;
                if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
                    break;
                pa_stream_drop(stream);
                left -= std::min(left, bytes);
            }
            return;
        }
    }
    if (session->gotData && session->playsFromHandover)
        noteLevel(session, pa_rtclock_now(), session->received);
    for (size_t left = readable; left > 0;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            break;
        // Measured while paused too: the meter shows what the source delivers.
        if (data)
            session->analyser->feed(data, bytes);
        else
            session->analyser->gap();
        if (session->gotData)
            deliver(session, data, bytes);
        else
            warmUp(session, data, bytes, left);
        pa_stream_drop(stream);
        left -= std::min(left, bytes);
    }
    if (session->gotData && !session->playsFromHandover)
        noteLevel(session, pa_rtclock_now(), session->received);
    if (session->waking)
        session->pulse->wake();
}

// The idle meter's stream: the source's samples, measured as a recording's are.
void idleSamplesReadable(pa_stream* stream, size_t readable, void* userdata)
{
    auto* meter = static_cast<PulseCapture::IdleMeter*>(userdata);
    if (!meter->analyser) {
        // The server chose the rate: the source's own.
        const pa_sample_spec* format = pa_stream_get_sample_spec(stream);
        meter->analyser = std::make_unique<level_meter::Analyser>(level_meter::Analyser::Sample::S16,
                                                                  format ? int(format->channels) : 2,
                                                                  format ? int(format->rate) : 44100, *meter->tap);
    }
    for (size_t left = readable; left > 0;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            break;
        if (data)
            meter->analyser->feed(data, bytes);
        else
            meter->analyser->gap();
        pa_stream_drop(stream);
        left -= std::min(left, bytes);
    }
}

// The state of the idle meter's stream, or of the one that keeps the source ready.
void idleStreamStateChanged(pa_stream* stream, void* userdata)
{
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
        static_cast<PulseCapture*>(userdata)->idleStreamEndedLocked();
}

void timingUpdated(pa_stream*, int, void* userdata)
{
    static_cast<PulseCapture::Session*>(userdata)->pulse->wake();
}

// Asks the server for the stream's timing and waits for it; with the main loop's lock held.
void updateTiming(PulseCapture::Session* session, PulseContext::Clock::time_point deadline)
{
    session->pulse->waitOperation(pa_stream_update_timing_info(session->stream, timingUpdated, session), deadline);
}

// The listed source a name picks; no name picks the default source, which is listed first.
std::vector<PulseSource>::const_iterator sourceNamed(const std::vector<PulseSource>& listed, const std::string& name)
{
    return std::find_if(listed.begin(), listed.end(),
                        [&name](const PulseSource& source) { return name.empty() || source.name == name; });
}

// The spool's name when the take's own is not known before it stops.
const QString unplannedName = QStringLiteral("recording.wav");

bool folderWritable(const QString& folder)
{
    if (folder.isEmpty())
        return false;
    const QFileInfo info(folder);
    return info.isDir() && ::access(QFile::encodeName(info.absoluteFilePath()).constData(), W_OK | X_OK) == 0;
}

} // namespace

PulseCapture::PulseCapture(std::shared_ptr<PulseContext> pulse)
    : m_pulse(std::move(pulse)), m_uiThread(std::make_unique<QObject>()), m_idleMeter(std::make_unique<IdleMeter>())
{
    m_idleMeter->tap = &m_levels;
    if (!m_pulse)
        return;
    // The chosen source stays ready across a server restart or the device coming back.
    m_watcher = m_pulse->addSourcesWatcher([this] { sourcesChangedLocked(); });
    m_pulse->keepConnected();
}

PulseCapture::~PulseCapture()
{
    // A start or a save under way ends first: a take it started stays in its spool, and a file it
    // saves is closed and placed, though nobody hears of it now.
    if (m_starter.joinable())
        m_starter.join();
    if (m_saver.joinable()) {
        m_saver.join();
        if (m_session && m_session->stream) {
            PulseContext::Lock lock(*m_pulse);
            endStream(m_session->stream);
        }
        m_session.reset();
    }
    m_uiThread.reset();
    if (m_pulse)
        m_pulse->removeSourcesWatcher(m_watcher);
    // A recording nobody stopped stays in its spool file, to be found at the next start.
    if (m_session)
        finishSession(false, pa_rtclock_now());
    releaseAwakeStream();
    if (m_pulse) {
        PulseContext::Lock lock(*m_pulse);
        m_watching = false;
        closePeakStreamLocked();
        stopListeningLocked();
        if (m_restoring) {
            pa_threaded_mainloop_get_api(m_pulse->mainloop())->time_free(m_restoring);
            m_restoring = nullptr;
        }
    }
}

void PulseCapture::reportSound(bool sound)
{
    if (m_uiThread)
        QMetaObject::invokeMethod(
            m_uiThread.get(),
            [this, sound] {
                if (m_soundHandler)
                    m_soundHandler(sound);
            },
            Qt::QueuedConnection);
}

bool PulseCapture::wantsListeningLocked() const
{
    return (m_preRecordSeconds > 0 || m_soundWatched) && m_hasListenFormat && !m_takeUnderWay;
}

void PulseCapture::stopListeningLocked()
{
    if (!m_listening)
        return;
    if (m_listening->stream)
        endStream(m_listening->stream);
    m_listening.reset();
}

void PulseCapture::makeTrigger(Session& session) const
{
    session.trigger = std::make_unique<SoundTrigger>(
        m_soundStart, session.sampleSpec.format == PA_SAMPLE_U8 ? SoundTrigger::Sample::U8 : SoundTrigger::Sample::S16,
        int(session.sampleSpec.channels), int(session.sampleSpec.rate));
    session.triggerFrom = session.received;
    session.haveOnset = false;
}

void PulseCapture::listenLocked()
{
    if (!wantsListeningLocked()) {
        stopListeningLocked();
        openOrCloseIdleMeterLocked();
        return;
    }
    const std::string live = liveSourceLocked();
    const pa_sample_spec wanted = sampleSpecOf(m_listenFormat);
    const size_t ringBytes =
        pa_usec_to_bytes(pa_usec_t(m_preRecordSeconds + ringMarginSeconds) * PA_USEC_PER_SEC, &wanted);
    if (Session* l = m_listening.get(); l && l->stream && PA_STREAM_IS_GOOD(pa_stream_get_state(l->stream)) &&
                                        l->source == live && l->ring.size() == ringBytes &&
                                        pa_sample_spec_equal(&l->sampleSpec, &wanted))
        return;
    stopListeningLocked();
    pa_context* context = m_pulse->context();
    const std::vector<PulseSource>& listed = m_pulse->cachedSourcesLocked();
    if (!context || listed.empty()) {
        openOrCloseIdleMeterLocked();
        return;
    }
    const auto recorded = sourceNamed(listed, live);
    const bool monitor = recorded != listed.end() && recorded->monitor;
    auto session = std::make_unique<Session>();
    Session* l = session.get();
    l->owner = this;
    l->pulse = m_pulse.get();
    l->listening = true;
    l->keeping = false;
    l->source = live;
    l->sampleSpec = wanted;
    l->ring.resize(ringBytes);
    if (monitor) {
        l->holdBytes = pa_usec_to_bytes(pa_usec_t(4 * fragmentMs) * 1000, &wanted);
        l->held.reserve(2 * l->holdBytes);
        l->timingKnown = false;
        l->followsSink = true;
    }
    l->analyser = std::make_unique<level_meter::Analyser>(m_listenFormat.bits == 8 ? level_meter::Analyser::Sample::U8
                                                                                   : level_meter::Analyser::Sample::S16,
                                                          m_listenFormat.channels, m_listenFormat.rate, m_levels);
    if (m_soundWatched)
        makeTrigger(*l);
    l->stream = pa_stream_new(context, "Listening", &wanted, nullptr);
    if (!l->stream)
        return;
    pa_stream_set_state_callback(l->stream, streamStateChanged, l);
    pa_stream_set_read_callback(l->stream, streamReadable, l);
    const pa_buffer_attr attr = handoversOf(pa_usec_t(fragmentMs) * 1000, wanted);
    // A monitor's timing tells whether it hands over what plays from the handover on; the server
    // sends it by itself.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                         (monitor ? PA_STREAM_AUTO_TIMING_UPDATE : PA_STREAM_NOFLAGS));
    if (pa_stream_connect_record(l->stream, live.empty() ? nullptr : live.c_str(), &attr, flags) < 0) {
        endStream(l->stream);
        return;
    }
    m_listening = std::move(session);
    // The listening stream's samples feed the level meter: no second stream beside it.
    openOrCloseIdleMeterLocked();
}

std::unique_ptr<PulseCapture::Session> PulseCapture::adoptListeningLocked(const std::string& source,
                                                                          const WaveSpool::Format& format)
{
    std::unique_ptr<Session> l = std::move(m_listening);
    if (!l)
        return {};
    const pa_sample_spec wanted = sampleSpecOf(format);
    // A stream that has not delivered yet knows nothing of before the start: a fresh one serves as well.
    const bool fits = l->stream && pa_stream_get_state(l->stream) == PA_STREAM_READY && l->gotData && l->timingKnown &&
                      l->source == source && pa_sample_spec_equal(&l->sampleSpec, &wanted);
    if (!fits) {
        if (l->stream)
            endStream(l->stream);
        return {};
    }
    return l;
}

void PulseCapture::takeOver()
{
    if (!m_pulse)
        return;
    PulseContext::Lock lock(*m_pulse);
    m_takeUnderWay = false;
    listenLocked();
}

void PulseCapture::setPreRecord(int seconds, int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample)
{
    if (!m_pulse)
        return;
    {
        PulseContext::Lock lock(*m_pulse);
        m_preRecordSeconds = std::clamp(seconds, 0, 30);
        m_listenFormat = formatFor(channels, samplesPerSecond, bitsPerSample);
        m_hasListenFormat = true;
        if (!wantsListeningLocked()) {
            listenLocked();
            return;
        }
    }
    m_pulse->connectInBackground();
    PulseContext::Lock lock(*m_pulse);
    listenLocked();
}

bool PulseCapture::isListening()
{
    if (!m_pulse)
        return false;
    PulseContext::Lock lock(*m_pulse);
    // Listening means the source delivers: a monitor whose sink had rendered far ahead is silent for
    // that long first.
    return m_listening && m_listening->stream && pa_stream_get_state(m_listening->stream) == PA_STREAM_READY &&
           m_listening->gotData;
}

void PulseCapture::watchSound(const SoundStart& how, std::function<void(bool sound)> handler)
{
    if (!m_pulse)
        return;
    const bool on = bool(handler);
    m_soundHandler = std::move(handler);
    {
        PulseContext::Lock lock(*m_pulse);
        m_soundWatched = on;
        m_soundStart = how;
        for (Session* session : {m_listening.get(), hasSession() ? m_session.get() : nullptr}) {
            if (!session)
                continue;
            if (on)
                makeTrigger(*session);
            else
                session->trigger.reset();
        }
    }
    if (on)
        m_pulse->connectInBackground();
    PulseContext::Lock lock(*m_pulse);
    listenLocked();
}

void PulseCapture::reportFailure(Failure failure)
{
    int none = int(Failure::None);
    if (!m_failure.compare_exchange_strong(none, int(failure)))
        return;
    if (m_uiThread)
        QMetaObject::invokeMethod(
            m_uiThread.get(),
            [this, failure] {
                if (m_failureHandler)
                    m_failureHandler(failure);
            },
            Qt::QueuedConnection);
}

void PulseCapture::releaseAwakeStream()
{
    if (!m_pulse)
        return;
    PulseContext::Lock lock(*m_pulse);
    if (!m_awake)
        return;
    endStream(m_awake);
    m_awakeSource.clear();
}

std::string PulseCapture::liveSourceLocked() const
{
    // The chosen source while the server lists it; otherwise the default source, which records in
    // its place.
    const std::vector<PulseSource>& listed = m_pulse->cachedSourcesLocked();
    return std::any_of(listed.begin(), listed.end(),
                       [this](const PulseSource& source) { return source.name == m_selectedName; })
               ? m_selectedName
               : std::string();
}

bool PulseCapture::awakeIsLiveLocked() const
{
    return m_awake && m_awakeSource == liveSourceLocked() && PA_STREAM_IS_GOOD(pa_stream_get_state(m_awake));
}

void PulseCapture::keepSourceAwake()
{
    if (!m_pulse)
        return;
    {
        PulseContext::Lock lock(*m_pulse);
        m_sourceChosen = true;
        if (awakeIsLiveLocked())
            return;
    }
    // Without a server the stream is made once one answers (the source list fills then): the
    // window does not wait for it.
    if (!m_pulse->connectInBackground())
        return;
    // The loop thread may have made it meanwhile, from a fresh source list.
    PulseContext::Lock lock(*m_pulse);
    if (awakeIsLiveLocked())
        return;
    if (m_awake)
        endStream(m_awake);
    connectAwakeStreamLocked();
}

void PulseCapture::connectAwakeStreamLocked()
{
    pa_context* context = m_pulse->context();
    if (!context || m_pulse->cachedSourcesLocked().empty())
        return;
    // The stream takes the source's own format (the FIX flags): a stream of another rate would make
    // the server move an idle device to a rate of its choosing, and every recording would then be
    // resampled instead of holding the samples that were played.
    const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, 44100, 2};
    m_awake = pa_stream_new(context, "Keeping the source ready", &sampleSpec, nullptr);
    if (!m_awake)
        return;
    pa_stream_set_state_callback(m_awake, idleStreamStateChanged, this);
    const pa_buffer_attr attr = handoversOf(pa_usec_t(fragmentMs) * 1000, sampleSpec);
    // Tied to its source: when the source goes the stream goes, and comes back with it.
    const auto flags =
        pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND |
                          PA_STREAM_DONT_MOVE | PA_STREAM_FIX_FORMAT | PA_STREAM_FIX_RATE | PA_STREAM_FIX_CHANNELS);
    const std::string live = liveSourceLocked();
    if (pa_stream_connect_record(m_awake, live.empty() ? nullptr : live.c_str(), &attr, flags) < 0) {
        endStream(m_awake);
        return;
    }
    m_awakeSource = live;
}

void PulseCapture::sourcesChangedLocked()
{
    // Runs on the loop thread. The stream that keeps the source ready ends with its source or the
    // server; it is made again once the server lists the source again, and it follows the chosen
    // source when that comes back after the default stood in for it. So does the idle meter's.
    if (m_pendingIndex >= 0 && m_pulse->sourcesListedLocked()) {
        const std::vector<PulseSource>& listed = m_pulse->cachedSourcesLocked();
        if (size_t(m_pendingIndex) < listed.size())
            m_selectedName = listed[size_t(m_pendingIndex)].name;
        m_pendingIndex = -1;
    }
    // A list, or a server that could not be reached: whoever waits to know the sources knows now.
    if (std::exchange(m_awaitingSources, false))
        QMetaObject::invokeMethod(
            m_uiThread.get(), [this] { sourcesKnownNow(); }, Qt::QueuedConnection);
    followStandInLocked();
    restoreIdleStreamsLocked();
}

void PulseCapture::followStandInLocked()
{
    // A server that is gone lists nothing: that is told by Record, not as a source gone.
    if (!m_pulse->sourcesListedLocked() || m_pulse->cachedSourcesLocked().empty())
        return;
    const StandIn now = standInLocked();
    const bool missing = !now.chosen.isEmpty();
    const bool news = m_standInChosen == m_selectedName && missing != m_standInMissing;
    m_standInChosen = m_selectedName;
    m_standInMissing = missing;
    if (news && m_uiThread)
        QMetaObject::invokeMethod(
            m_uiThread.get(),
            [this, chosen = QString::fromStdString(m_selectedName), instead = now.instead] {
                if (m_standInHandler)
                    m_standInHandler(chosen, instead);
            },
            Qt::QueuedConnection);
}

void PulseCapture::restoreIdleStreamsLocked()
{
    const std::string live = liveSourceLocked();
    if (m_peaks && (!PA_STREAM_IS_GOOD(pa_stream_get_state(m_peaks)) || m_peaksSource != live))
        closePeakStreamLocked();
    listenLocked();
    openOrCloseIdleMeterLocked();

    if (!m_sourceChosen || awakeIsLiveLocked())
        return;
    if (m_awake)
        endStream(m_awake);
    connectAwakeStreamLocked();
}

void PulseCapture::idleStreamEndedLocked()
{
    if (m_restoring || !m_pulse->isLoopRunning())
        return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_pulse->mainloop());
    timeval due{};
    pa_gettimeofday(&due);
    pa_timeval_add(&due, pa_usec_t(restoreDelay.count()) * 1000);
    m_restoring = api->time_new(
        api, &due,
        [](pa_mainloop_api* loop, pa_time_event* event, const timeval*, void* userdata) {
            auto* capture = static_cast<PulseCapture*>(userdata);
            loop->time_free(event);
            capture->m_restoring = nullptr;
            capture->restoreIdleStreamsLocked();
        },
        this);
}

void PulseCapture::watchLevels(bool on)
{
    if (!m_pulse)
        return;
    {
        PulseContext::Lock lock(*m_pulse);
        m_watching = on;
    }
    if (on)
        m_pulse->connectInBackground();
    measureIdle();
}

void PulseCapture::endMeasuring()
{
    if (!m_pulse)
        return;
    {
        PulseContext::Lock lock(*m_pulse);
        m_capturing = false;
    }
    measureIdle();
}

void PulseCapture::measureIdle()
{
    if (!m_pulse)
        return;
    PulseContext::Lock lock(*m_pulse);
    openOrCloseIdleMeterLocked();
}

void PulseCapture::openOrCloseIdleMeterLocked()
{
    // A take, or a listening stream, measures its own samples.
    if (m_watching && !m_capturing && !m_listening && !m_pulse->cachedSourcesLocked().empty())
        openPeakStreamLocked();
    else if (!m_watching || m_capturing || m_listening)
        closePeakStreamLocked();
}

bool PulseCapture::isMeasuringIdle()
{
    if (!m_pulse)
        return false;
    PulseContext::Lock lock(*m_pulse);
    return m_peaks && PA_STREAM_IS_GOOD(pa_stream_get_state(m_peaks));
}

void PulseCapture::openPeakStreamLocked()
{
    const std::string live = liveSourceLocked();
    if (m_peaks) {
        if (m_peaksSource == live && PA_STREAM_IS_GOOD(pa_stream_get_state(m_peaks)))
            return;
        closePeakStreamLocked();
    }
    pa_context* context = m_pulse->context();
    if (!context)
        return;
    // The samples themselves, so that the clip light counts full-scale samples in a row while idle
    // as it does while recording: 16 bits, one or two channels (the server mixes more down), at the
    // source's own rate (FIX_RATE), so the server neither resamples nor moves an idle device to a
    // rate of its choosing. A handover every 40 ms.
    const std::vector<PulseSource>& listed = m_pulse->cachedSourcesLocked();
    const auto source = sourceNamed(listed, live);
    const uint8_t channels = source != listed.end() && source->channels == 1 ? 1 : 2;
    const pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, 44100, channels};
    m_peaks = pa_stream_new(context, "Input level", &sampleSpec, nullptr);
    if (!m_peaks)
        return;
    m_idleMeter->analyser.reset();
    pa_stream_set_read_callback(m_peaks, idleSamplesReadable, m_idleMeter.get());
    pa_stream_set_state_callback(m_peaks, idleStreamStateChanged, this);
    const pa_buffer_attr attr = handoversOf(PA_USEC_PER_SEC / peaksPerSecond, sampleSpec);
    // Like the stream that keeps the source ready, it lets the source sleep and stays with it.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND |
                                         PA_STREAM_DONT_MOVE | PA_STREAM_FIX_RATE);
    if (pa_stream_connect_record(m_peaks, live.empty() ? nullptr : live.c_str(), &attr, flags) < 0) {
        endStream(m_peaks);
        return;
    }
    m_peaksSource = live;
}

void PulseCapture::closePeakStreamLocked()
{
    if (!m_peaks)
        return;
    endStream(m_peaks);
    m_peaksSource.clear();
}

QString PulseCapture::recordingSourceDescription()
{
    const std::string name = recordingSourceName();
    if (name.empty())
        return {};
    for (const PulseSource& source : m_pulse->cachedSources())
        if (source.name == name && !source.description.empty())
            return QString::fromStdString(source.description);
    return QString::fromStdString(name);
}

int PulseCapture::missedAtStartMs()
{
    if (m_starting)
        return -1;
    if (!m_session)
        return int(m_lastMissed / 1000);
    PulseContext::Lock lock(*m_pulse);
    return m_session->gotData ? int(m_session->missed / 1000) : -1;
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

int32_t PulseCapture::start(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample)
{
    if (m_starting || m_saving || m_session)
        return Busy;
    const bool atSound = std::exchange(m_atSound, false);
    if (m_pulse) {
        PulseContext::Lock lock(*m_pulse);
        m_takeUnderWay = true;
    }
    const int32_t result = beginSession(channels, samplesPerSecond, bitsPerSample, pa_rtclock_now(), atSound);
    if (result != Started)
        takeOver();
    return result;
}

// The sources as the server last listed them. The list follows every change the server reports,
// so the window never waits for a round trip to a server that may hang; without a connection one
// is started in the background, and the list fills once it answers.
std::vector<PulseSource> PulseCapture::listedSources()
{
    if (!m_pulse)
        return {};
    m_pulse->connectInBackground();
    return m_pulse->cachedSources();
}

int32_t PulseCapture::sourceCount()
{
    return int32_t(listedSources().size());
}

QString PulseCapture::sourceName(int32_t index)
{
    if (!m_pulse || index < 0)
        return {};
    const std::vector<PulseSource> all = listedSources();
    return size_t(index) < all.size() ? QString::fromStdString(all[size_t(index)].name) : QString();
}

int32_t PulseCapture::sourceIndex(const QString& name)
{
    if (!m_pulse || name.isEmpty())
        return -1;
    const std::vector<PulseSource> all = listedSources();
    for (size_t i = 0; i < all.size(); ++i)
        if (QString::fromStdString(all[i].name) == name)
            return int32_t(i);
    return -1;
}

bool PulseCapture::selectSource(int32_t index)
{
    if (!m_pulse)
        return false;
    m_pulse->connectInBackground();
    bool listed = false;
    {
        PulseContext::Lock lock(*m_pulse);
        const std::vector<PulseSource>& all = m_pulse->cachedSourcesLocked();
        listed = index >= 0 && size_t(index) < all.size();
        m_selectedName = listed ? all[size_t(index)].name : std::string();
        // Before the server's first list a place in it names nothing yet: it is named when the list
        // comes, or when a take starts, whichever is first.
        m_pendingIndex = !listed && index >= 0 && !m_pulse->sourcesListedLocked() ? index : -1;
        // The listening follows the source chosen.
        listenLocked();
    }
    keepSourceAwake();
    measureIdle();
    // Outside the list: the default source, whichever it is when recording starts.
    return listed;
}

void PulseCapture::selectSourceNamed(const QString& name)
{
    if (!m_pulse)
        return;
    {
        PulseContext::Lock lock(*m_pulse);
        m_selectedName = name.toStdString();
        m_pendingIndex = -1;
        listenLocked();
    }
    keepSourceAwake();
    measureIdle();
}

void PulseCapture::whenSourcesKnown(std::function<void()> ready)
{
    if (!m_pulse) {
        ready();
        return;
    }
    m_pulse->connectInBackground();
    bool known = true;
    {
        PulseContext::Lock lock(*m_pulse);
        if (!m_pulse->sourcesListedLocked() && m_pulse->isLoopRunning()) {
            known = false;
            m_awaitingSources = true;
        }
    }
    if (known) {
        ready();
        return;
    }
    // A server that takes the connection but never answers keeps them waiting: what they would do
    // without the list would be done wrong (a level for the wrong source), and nothing is lost.
    m_sourcesKnown.push_back(std::move(ready));
}

void PulseCapture::sourcesKnownNow()
{
    if (m_pulse) {
        PulseContext::Lock lock(*m_pulse);
        m_awaitingSources = false;
    }
    // A waiting call may wait again (a window that asks anew): it is not lost among these.
    const std::vector<std::function<void()>> waiting = std::exchange(m_sourcesKnown, {});
    for (const auto& ready : waiting)
        ready();
}

CaptureComponent::StandIn PulseCapture::standIn()
{
    if (!m_pulse)
        return {};
    PulseContext::Lock lock(*m_pulse);
    return standInLocked();
}

CaptureComponent::StandIn PulseCapture::standInLocked() const
{
    // With no source listed there is no server to ask, or nothing can record at all: Record says so.
    const std::vector<PulseSource>& listed = m_pulse->cachedSourcesLocked();
    if (m_selectedName.empty() || listed.empty() || !liveSourceLocked().empty())
        return {};
    // The default source is listed first.
    const PulseSource& instead = listed.front();
    return {QString::fromStdString(m_selectedName),
            QString::fromStdString(instead.description.empty() ? instead.name : instead.description)};
}

void PulseCapture::setSpoolTarget(const QString& plannedPath)
{
    const QFileInfo planned(plannedPath);
    m_spoolFolder = planned.absolutePath();
    m_spoolName = planned.fileName();
}

void PulseCapture::setSpoolFolder(const QString& folder)
{
    m_spoolFolder = folder;
    m_spoolName.clear();
}

QString PulseCapture::spoolFolderFor() const
{
    if (folderWritable(m_spoolFolder))
        return m_spoolFolder;
    if (folderWritable(QDir::homePath()))
        return QDir::homePath();
    return QDir::tempPath();
}

void PulseCapture::syncSoon()
{
    if (hasSession())
        m_session->spool->syncSoon();
}

QString PulseCapture::spoolPath() const
{
    return hasSession() ? QFile::decodeName(m_session->spool->path().c_str()) : QString();
}

int64_t PulseCapture::framesInTake() const
{
    if (!hasSession())
        return -1;
    const WaveSpool& spool = *m_session->spool;
    const int frameBytes = spool.format().frameBytes();
    return frameBytes > 0 ? int64_t(spool.bytesPushed() / uint64_t(frameBytes)) : -1;
}

std::string PulseCapture::recordingSourceName()
{
    if (!hasSession())
        return {};
    // A save on its own thread ends the stream under the lock.
    PulseContext::Lock lock(*m_pulse);
    if (!m_session->stream || pa_stream_get_state(m_session->stream) != PA_STREAM_READY)
        return {};
    const char* name = pa_stream_get_device_name(m_session->stream);
    return name ? name : "";
}

void PulseCapture::setPaused(bool paused)
{
    // The stream keeps running while paused and its audio is dropped, so resuming loses nothing
    // to a restart and the paused time adds nothing to the file.
    Session* s = hasSession() ? m_session.get() : nullptr;
    if (!s)
        return;
    PulseContext::Lock lock(*m_pulse);
    if (s->paused == paused)
        return;
    s->paused = paused;
    // A resume at the sound that began it: from where the sound began, with the pre-record seconds
    // before it, as far as the pause left off.
    if (!paused && std::exchange(m_atSound, false) && s->gotData && s->haveOnset) {
        const uint64_t pre = pa_usec_to_bytes(pa_usec_t(m_preRecordSeconds) * PA_USEC_PER_SEC, &s->sampleSpec);
        keepFrom(s, s->onsetPlace - std::min(pre, s->onsetPlace));
        return;
    }
    if (s->gotData)
        pushCut(s, placeOf(s, pa_rtclock_now()), !paused);
    else
        s->pending.push_back({pa_rtclock_now(), !paused});
}

int32_t PulseCapture::beginSession(int32_t channels, int32_t rate, int32_t bits, uint64_t askedAt, bool atSound)
{
    // A start while a recording runs is refused: closing that recording here would leave it in a
    // spool file nobody lists.
    if (m_session)
        return Busy;
    m_keptPath.clear();
    m_failure = int(Failure::None);
    m_writeError = 0;
    m_lastMissed = 0;
    if (!m_pulse || !m_pulse->ensureConnected())
        return NoServer;

    // The chosen source by name, now: it may have gone, or gone and come back, since it was chosen.
    // While it is away the default source records; with no source at all nothing can.
    const std::vector<PulseSource> sources = m_pulse->sources();
    if (sources.empty())
        return m_pulse->isConnected() ? NoSource : NoServer;
    std::string selected;
    {
        PulseContext::Lock lock(*m_pulse);
        if (m_pendingIndex >= 0) {
            if (size_t(m_pendingIndex) < sources.size())
                m_selectedName = sources[size_t(m_pendingIndex)].name;
            m_pendingIndex = -1;
        }
        selected = m_selectedName;
    }
    if (std::none_of(sources.begin(), sources.end(), [&selected](const PulseSource& s) { return s.name == selected; }))
        selected.clear();

    const WaveSpool::Format format = formatFor(channels, rate, bits);
    m_keptBeforeMs = 0;
    std::unique_ptr<Session> listened;
    int preRecordSeconds = 0;
    {
        PulseContext::Lock lock(*m_pulse);
        listened = adoptListeningLocked(selected, format);
        preRecordSeconds = m_preRecordSeconds;
    }
    if (listened)
        return adoptSession(std::move(listened), format, preRecordSeconds, askedAt, atSound);

    auto session = std::make_unique<Session>();
    session->owner = this;
    session->pulse = m_pulse.get();
    session->source = selected;
    const auto recorded = sourceNamed(sources, selected);
    const bool monitor = recorded != sources.end() && recorded->monitor;
    if (openSpool(*session, format, preRecordSeconds + ringMarginSeconds) != Started)
        return NoFolder;
    session->askedAt = askedAt;
    session->sampleSpec = sampleSpecOf(format);
    if (monitor) {
        // Four fragments: more than a monitor hands over before it plays.
        session->holdBytes = pa_usec_to_bytes(pa_usec_t(4 * fragmentMs) * 1000, &session->sampleSpec);
        session->held.reserve(2 * session->holdBytes);
    }
    session->analyser = std::make_unique<level_meter::Analyser>(format.bits == 8 ? level_meter::Analyser::Sample::U8
                                                                                 : level_meter::Analyser::Sample::S16,
                                                                format.channels, format.rate, m_levels);
    m_levels.beginCapture();
    {
        // Resumes at a sound take from the ring what came before them.
        PulseContext::Lock lock(*m_pulse);
        if (m_soundWatched || m_preRecordSeconds > 0)
            session->ring.resize(pa_usec_to_bytes(pa_usec_t(m_preRecordSeconds + ringMarginSeconds) * PA_USEC_PER_SEC,
                                                  &session->sampleSpec));
        if (m_soundWatched)
            makeTrigger(*session);
    }
    m_session = std::move(session);

    const auto deadline = PulseContext::deadlineFromNow();
    int32_t result = Started;
    {
        // Never wait with the lock taken twice: the loop thread could not run.
        PulseContext::Lock lock(*m_pulse);
        // The recording's own samples are measured from now on: no second stream beside it.
        m_capturing = true;
        closePeakStreamLocked();
        pa_context* context = m_pulse->context();
        Session* s = m_session.get();
        s->stream = context ? pa_stream_new(context, "Recording", &s->sampleSpec, nullptr) : nullptr;
        if (!s->stream) {
            result = NoServer;
        } else {
            pa_stream_set_state_callback(s->stream, streamStateChanged, s);
            pa_stream_set_read_callback(s->stream, streamReadable, s);
            // Small fragments: the server otherwise hands record data over in bursts of up to 2 s,
            // and what it still holds at the end would be lost. Tied to its source: a recording
            // never goes on from another source than the one chosen.
            const pa_buffer_attr attr = handoversOf(pa_usec_t(fragmentMs) * 1000, s->sampleSpec);
            const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
            if (pa_stream_connect_record(s->stream, selected.empty() ? nullptr : selected.c_str(), &attr, flags) < 0)
                result = NoSource;
            else if (!m_pulse->waitUntil(
                         [s] {
                             const pa_stream_state_t state = pa_stream_get_state(s->stream);
                             return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
                         },
                         deadline) ||
                     pa_stream_get_state(s->stream) != PA_STREAM_READY) {
                result = m_pulse->context() ? NoSource : NoServer;
            } else if (monitor) {
                // Whether the monitor hands over what its sink plays from then on: the server then
                // counts that sink's buffer in the stream's timing.
                updateTiming(s, deadline);
                if (const pa_timing_info* timing = pa_stream_get_timing_info(s->stream))
                    s->playsFromHandover = timing->sink_usec > 0;
            }
        }
    }
    if (result != Started)
        abandonSession();
    return result;
}

int32_t PulseCapture::openSpool(Session& session, const WaveSpool::Format& format, int extraSeconds)
{
    const std::string name = QFile::encodeName(m_spoolName.isEmpty() ? unplannedName : m_spoolName).toStdString();
    for (const QString& folder : {spoolFolderFor(), QDir::tempPath()}) {
        std::string why;
        if (session.spool->open(QFile::encodeName(folder).toStdString(), name, format, bufferSeconds + extraSeconds,
                                &why)) {
            session.spool->setFailureCallback([this](int error) {
                m_writeError = error;
                reportFailure(Failure::WriteFailed);
            });
            return Started;
        }
    }
    return NoFolder;
}

int32_t PulseCapture::adoptSession(std::unique_ptr<Session> session, const WaveSpool::Format& format,
                                   int preRecordSeconds, uint64_t askedAt, bool atSound)
{
    // The listening stream goes on into the take: what it kept of before the start comes first, and
    // the rest follows without a seam. The loop thread leaves the spool alone until then, for the
    // stream keeps nothing while it listens.
    Session* s = session.get();
    if (openSpool(*s, format, preRecordSeconds + ringMarginSeconds) != Started) {
        PulseContext::Lock lock(*m_pulse);
        endStream(s->stream);
        return NoFolder;
    }
    m_levels.beginCapture();
    PulseContext::Lock lock(*m_pulse);
    s->listening = false;
    s->missed = 0;
    if (m_soundWatched && !s->trigger)
        makeTrigger(*s);
    const uint64_t pre = pa_usec_to_bytes(pa_usec_t(preRecordSeconds) * PA_USEC_PER_SEC, &s->sampleSpec);
    const uint64_t at = atSound && s->haveOnset ? s->onsetPlace : placeOf(s, askedAt, false);
    const uint64_t from = at - std::min(pre, at);
    const uint64_t ringStart = s->received - std::min<uint64_t>(s->received, s->ring.size());
    keepFrom(s, from);
    const uint64_t now = placeOf(s, pa_rtclock_now(), false);
    const uint64_t first = std::max(from, ringStart);
    m_keptBeforeMs = now > first ? int(pa_bytes_to_usec(now - first, &s->sampleSpec) / 1000) : 0;
    m_capturing = true;
    closePeakStreamLocked();
    m_session = std::move(session);
    return Started;
}

void PulseCapture::abandonSession()
{
    // A start that failed leaves nothing behind: no stream, no file.
    if (Session* s = m_session.get(); s && s->stream) {
        PulseContext::Lock lock(*m_pulse);
        endStream(s->stream);
    }
    if (m_session)
        m_session->spool->discard();
    m_session.reset();
    endMeasuring();
}

bool PulseCapture::finishSession(bool drain, pa_usec_t stopAt)
{
    Session* s = m_session.get();
    if (!s)
        return false;
    if (s->stream) {
        PulseContext::Lock lock(*m_pulse);
        const bool alive = pa_stream_get_state(s->stream) == PA_STREAM_READY;
        if (drain && alive) {
            const auto deadline = PulseContext::deadlineFromNow(std::chrono::milliseconds(1000));
            if (!s->gotData) {
                // Stopped before the source handed anything over: what it took by the stop is still
                // on its way, within the stream's latency. A monitor's first handover is due within
                // a fragment; one that comes later holds only what played after the stop.
                auto wait = std::chrono::milliseconds(2 * fragmentMs + 50);
                pa_usec_t latency = 0;
                int negative = 0;
                if (!s->playsFromHandover) {
                    updateTiming(s, deadline);
                    if (pa_stream_get_latency(s->stream, &latency, &negative) == 0 && !negative)
                        wait = std::chrono::milliseconds(latency / 1000 + 250);
                }
                s->waking = true;
                m_pulse->waitUntil([s] { return s->gotData || pa_stream_get_state(s->stream) != PA_STREAM_READY; },
                                   std::min(deadline, PulseContext::Clock::now() + wait));
                s->waking = false;
            }
            // The take ends at the place of the stop, or paused, at the place of the pause (which
            // the source may not have reached yet).
            uint64_t end = s->received;
            if (s->gotData && !s->paused)
                end = placeOf(s, stopAt);
            else if (s->gotData && !s->cuts.empty())
                end = std::max(end, s->cuts.back().at);
            pushCut(s, end, false);
            s->waking = true;
            m_pulse->waitUntil(
                [s, end] { return s->received >= end || pa_stream_get_state(s->stream) != PA_STREAM_READY; },
                std::min(deadline, PulseContext::Clock::now() + std::chrono::milliseconds(2 * fragmentMs + 50)));
            s->waking = false;
        }
        // A take that never heard its source misses all of it.
        const pa_usec_t since = missedSince(s);
        m_lastMissed = s->gotData ? s->missed : (since != 0 && stopAt > since ? stopAt - since : 0);
        if (s->listensAfter && drain && pa_stream_get_state(s->stream) == PA_STREAM_READY) {
            // The stream goes on listening: what the take keeps is in its spool now, and from here
            // on the stream keeps nothing until the next take, so nothing is lost between the two.
            release(s, s->received);
            s->closing = std::move(s->spool);
            s->spool = std::make_unique<WaveSpool>();
            s->listening = true;
            s->keeping = false;
            s->paused = false;
            s->cuts.clear();
            s->pending.clear();
            s->keptUntil = 0;
        } else {
            endStream(s->stream);
        }
    }
    if (s->closing)
        return s->closing->close();
    release(s, s->received);
    return s->spool->close();
}

WaveSpool& PulseCapture::takeSpool() const
{
    return m_session->closing ? *m_session->closing : *m_session->spool;
}

int32_t PulseCapture::endSession(const QString& path)
{
    if (m_saving || m_starting)
        return Busy;
    m_keptPath.clear();
    if (!m_session)
        return NothingCaptured;
    const int32_t result = closeSession(path, pa_rtclock_now());
    endMeasuring();
    m_session.reset();
    takeOver();
    return result;
}

int32_t PulseCapture::closeSession(const QString& path, pa_usec_t stopAt)
{
    // A capture that failed has nothing more to hand over.
    const bool complete = finishSession(failure() == Failure::None, stopAt);
    if (takeSpool().bytesWritten() == 0) {
        takeSpool().discard();
        return NothingCaptured;
    }
    return placeTake(path, complete);
}

void PulseCapture::startLater(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample,
                              std::function<void(int32_t result)> done)
{
    if (m_starting || m_saving || m_session) {
        // Refused as start refuses it; the recording under way goes on.
        QMetaObject::invokeMethod(
            m_uiThread.get(), [done = std::move(done)] { done(Busy); }, Qt::QueuedConnection);
        return;
    }
    // Connecting, listing the sources and waiting for the stream take a round trip each, up to the
    // server's deadline when it hangs: on a thread of their own, so the window goes on meanwhile.
    m_starting = true;
    const uint64_t askedAt = pa_rtclock_now();
    const bool atSound = std::exchange(m_atSound, false);
    if (m_pulse) {
        PulseContext::Lock lock(*m_pulse);
        m_takeUnderWay = true;
    }
    m_starter = std::thread(
        [this, channels, samplesPerSecond, bitsPerSample, askedAt, atSound, done = std::move(done)]() mutable {
            const int32_t result = beginSession(channels, samplesPerSecond, bitsPerSample, askedAt, atSound);
            QMetaObject::invokeMethod(
                m_uiThread.get(),
                [this, result, done = std::move(done)] {
                    m_starter.join();
                    m_starting = false;
                    if (result != Started)
                        takeOver();
                    done(result);
                },
                Qt::QueuedConnection);
        });
}

void PulseCapture::saveLater(const QString& path, std::function<void(int32_t result)> done)
{
    if (m_saving || m_starting)
        return; // refused: the save under way, or the start, reports once
    m_keptPath.clear();
    if (!m_session) {
        CaptureComponent::saveLater(path, std::move(done));
        return;
    }
    // The take ends at this moment; draining the server, closing the file and moving it into place
    // take their time on a thread of their own. The session stays until then, so no start comes in
    // between, and the thread touches nothing else of the component but under the loop's lock.
    const pa_usec_t stopAt = pa_rtclock_now();
    m_saving = true;
    {
        // Listening goes on after the take with the take's own stream, when it is wanted then.
        PulseContext::Lock lock(*m_pulse);
        m_session->listensAfter = (m_preRecordSeconds > 0 || m_soundWatched) && m_hasListenFormat;
    }
    m_saver = std::thread([this, path, stopAt, done = std::move(done)]() mutable {
        const int32_t result = closeSession(path, stopAt);
        QMetaObject::invokeMethod(
            m_uiThread.get(),
            [this, result, done = std::move(done)] {
                m_saver.join();
                m_saving = false;
                {
                    PulseContext::Lock lock(*m_pulse);
                    if (m_session->closing && m_session->stream) {
                        m_session->closing.reset();
                        stopListeningLocked();
                        m_listening = std::move(m_session);
                    }
                }
                m_session.reset();
                endMeasuring();
                takeOver();
                done(result);
            },
            Qt::QueuedConnection);
    });
}

int32_t PulseCapture::placeTake(const QString& path, bool complete)
{
    WaveSpool& spool = takeSpool();
    auto moveTo = [&spool](const QString& target) {
        return spool.moveTo(QFile::encodeName(target).toStdString(), nullptr);
    };
    const int32_t placed = complete ? Saved : SavedIncomplete;
    if (!path.isEmpty()) {
        if (moveTo(path))
            return placed;
        // The folder went during the take: it is made again, and the take goes where it was meant to.
        if (errno == ENOENT && QDir().mkpath(QFileInfo(path).absolutePath()) && moveTo(path))
            return placed;
        // A file took the name meanwhile: the next free name beside it.
        if (errno == EEXIST) {
            const output_location::FreeName free = output_location::freeName(path, 1);
            if (moveTo(free.path)) {
                m_keptPath = free.path;
                return KeptElsewhere;
            }
        }
        const QString name = QFileInfo(path).fileName();
        for (const QString& folder : std::as_const(m_fallbackFolders)) {
            if (folder.isEmpty() || !QDir().mkpath(folder))
                continue;
            const QString target = output_location::freeName(QDir(folder).filePath(name), 0).path;
            if (moveTo(target)) {
                m_keptPath = target;
                return KeptElsewhere;
            }
        }
    }
    // Nowhere would take it: the spool stays, and a later start finds it if it still has a name.
    m_keptPath = QFile::decodeName(spool.path().c_str());
    if (!QFileInfo::exists(m_keptPath)) {
        const QString rescue = output_location::freeName(QDir::temp().filePath(QFileInfo(path).fileName()), 0).path;
        if (moveTo(rescue)) {
            m_keptPath = rescue;
            return KeptElsewhere;
        }
    }
    spool.release();
    return KeptElsewhere;
}
