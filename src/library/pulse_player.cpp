#include "library/pulse_player.h"

#include "platform/pulse_context.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <QFile>

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

// One playing file: its decoder, the ring between decoder and server, and its stream.
struct PulsePlayer::Session {
    explicit Session(PulseContext* context) : pulse(context) {}
    ~Session() { close(); }

    QString open(const QString& path);
    // Starts playing: at once when connected, else once the server answers. Never waits for it.
    QString start();
    QString connectStreamLocked(); // main loop's lock held
    void close();
    void feed(); // main loop's lock held
    // Main loop's lock held: asks how far the sink has played, and goes on asking until it has taken
    // everything and its own latency has passed.
    void watchPlayOut();
    void playOutMeasured(int success);
    void playOutTimer();
    // Main loop's lock held: the server has not started the stream in time.
    void startTimedOut();
    void finish(bool ok);
    void decode();
    bool finished() const { return done.load(); }

    PulseContext* pulse;
    SNDFILE* file = nullptr;
    SF_INFO info{};
    pa_sample_spec sampleSpec{};
    size_t frameBytes = 0;
    size_t chunkFrames = 0;

    // The ring of decoded frames, float samples as the stream takes them.
    std::mutex ringMutex;
    std::condition_variable ringSpace;
    std::vector<char> ring;
    size_t ringRead = 0;
    size_t ringUsed = 0;
    bool decodedAll = false;
    bool starved = false; // the server asked for more than the ring held
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> framesDecoded{0};
    std::thread decoder;

    // Main loop's lock held.
    pa_stream* stream = nullptr;
    pa_operation* drainOp = nullptr;
    pa_operation* timingOp = nullptr;
    pa_time_event* timer = nullptr;
    pa_time_event* startTimer = nullptr;
    int watcher = -1;      // waits for the server's answer while not connected
    bool lastWait = false; // the timer ends the sink's own latency
    // Set once: the server has played everything to its end, or the stream has failed.
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};

private:
    size_t push(const char* data, size_t bytes); // ring mutex held
    size_t pop(char* data, size_t bytes);        // ring mutex held
};

namespace {

void streamStateChanged(pa_stream* stream, void* userdata)
{
    auto* session = static_cast<PulsePlayer::Session*>(userdata);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        session->failed = true;
        session->done = true;
    } else if (state == PA_STREAM_READY) {
        // A file shorter than the server's start threshold: nothing more will be asked for.
        session->feed();
    }
    session->pulse->wake();
}

void streamWritable(pa_stream*, size_t, void* userdata)
{
    static_cast<PulsePlayer::Session*>(userdata)->feed();
}

void streamDrained(pa_stream*, int success, void* userdata)
{
    static_cast<PulsePlayer::Session*>(userdata)->finish(success != 0);
}

void timingUpdated(pa_stream*, int success, void* userdata)
{
    static_cast<PulsePlayer::Session*>(userdata)->playOutMeasured(success);
}

void timerFired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata)
{
    static_cast<PulsePlayer::Session*>(userdata)->playOutTimer();
}

void startTimerFired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata)
{
    static_cast<PulsePlayer::Session*>(userdata)->startTimedOut();
}

QString fileError(SNDFILE* file)
{
    return QString::fromLocal8Bit(sf_strerror(file));
}

} // namespace

size_t PulsePlayer::Session::push(const char* data, size_t bytes)
{
    bytes = std::min(bytes, ring.size() - ringUsed);
    size_t at = (ringRead + ringUsed) % ring.size();
    for (size_t left = bytes; left > 0;) {
        const size_t n = std::min(left, ring.size() - at);
        std::memcpy(ring.data() + at, data, n);
        data += n;
        left -= n;
        at = (at + n) % ring.size();
    }
    ringUsed += bytes;
    return bytes;
}

size_t PulsePlayer::Session::pop(char* data, size_t bytes)
{
    bytes = std::min(bytes, ringUsed);
    for (size_t left = bytes; left > 0;) {
        const size_t n = std::min(left, ring.size() - ringRead);
        std::memcpy(data, ring.data() + ringRead, n);
        data += n;
        left -= n;
        ringRead = (ringRead + n) % ring.size();
    }
    ringUsed -= bytes;
    return bytes;
}

QString PulsePlayer::Session::open(const QString& path)
{
    file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return QStringLiteral("error: cannot open %1: %2").arg(path, fileError(nullptr));
    sampleSpec.format = PA_SAMPLE_FLOAT32NE;
    sampleSpec.rate = uint32_t(std::max(0, info.samplerate));
    sampleSpec.channels = uint8_t(std::clamp(info.channels, 0, int(PA_CHANNELS_MAX) + 1));
    if (info.channels < 1 || info.channels > int(PA_CHANNELS_MAX) || !pa_sample_spec_valid(&sampleSpec))
        return QStringLiteral("error: cannot play %1: %2 channels at %3 Hz")
            .arg(path)
            .arg(info.channels)
            .arg(info.samplerate);
    frameBytes = pa_frame_size(&sampleSpec);
    chunkFrames = std::max<size_t>(256, sampleSpec.rate / 20);
    ring.resize(chunkFrames * 10 * frameBytes); // half a second

    // The first chunk now: a file that opens but does not decode is refused here, not heard as
    // silence.
    std::vector<float> first(chunkFrames * sampleSpec.channels);
    const sf_count_t got = sf_readf_float(file, first.data(), sf_count_t(chunkFrames));
    if (got < 0 || (got == 0 && (info.frames > 0 || sf_error(file) != SF_ERR_NO_ERROR)))
        return QStringLiteral("error: cannot decode %1: %2").arg(path, fileError(file));
    if (got > 0) {
        push(reinterpret_cast<const char*>(first.data()), size_t(got) * frameBytes);
        framesDecoded = uint64_t(got);
    }
    if (size_t(got) < chunkFrames)
        decodedAll = true;
    return {};
}

QString PulsePlayer::Session::start()
{
    if (!decodedAll)
        decoder = std::thread([this] { decode(); });
    // Asked before the lock is taken: it takes the lock itself. False without a running loop, which
    // cannot connect later either.
    if (!pulse->connectInBackground() && !pulse->isLoopRunning())
        return QStringLiteral("error: no sound server answers");
    PulseContext::Lock lock(*pulse);
    if (pulse->context())
        return connectStreamLocked();
    // No connection yet: the stream is made once the server answers, without holding up the caller,
    // and a play that has not started by the deadline has failed as one the server did not start.
    // The watcher hears of the connection made, or of the attempt failing (no context then).
    watcher = pulse->addSourcesWatcher([this] {
        if (stream || done.load())
            return;
        if (pulse->context())
            connectStreamLocked();
        else
            finish(false);
    });
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(pulse->mainloop());
    struct timeval due;
    pa_gettimeofday(&due);
    pa_timeval_add(&due,
                   pa_usec_t(std::chrono::duration_cast<std::chrono::microseconds>(PulseContext::callTimeout).count()));
    startTimer = api->time_new(api, &due, startTimerFired, this);
    return {};
}

QString PulsePlayer::Session::connectStreamLocked()
{
    pa_context* context = pulse->context();
    if (!context)
        return QStringLiteral("error: no sound server answers");
    if (startTimer) {
        pa_threaded_mainloop_get_api(pulse->mainloop())->time_free(startTimer);
        startTimer = nullptr;
    }
    auto refused = [this, context] {
        if (stream) {
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_unref(stream);
            stream = nullptr;
        }
        finish(false);
        return QStringLiteral("error: the sound server refused the stream: %1")
            .arg(QString::fromUtf8(pa_strerror(pa_context_errno(context))));
    };
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
    stream = pa_stream_new_with_proplist(context, "Playback", &sampleSpec, nullptr, props);
    pa_proplist_free(props);
    if (!stream)
        return refused();
    pa_stream_set_state_callback(stream, streamStateChanged, this);
    pa_stream_set_write_callback(stream, streamWritable, this);

    // A short buffer on the server: what was written is heard within it, and a close silences the
    // sink that soon. The decoder's ring keeps the stream fed.
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(pa_usec_to_bytes(pa_usec_t(bufferMs) * 1000, &sampleSpec));
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(-1);
    if (pa_stream_connect_playback(stream, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0)
        return refused();

    // The stream starts when the server gets to it; one that has not started by the deadline has
    // failed.
    startTimer = pa_context_rttime_new(
        context,
        pa_rtclock_now() +
            pa_usec_t(std::chrono::duration_cast<std::chrono::microseconds>(PulseContext::callTimeout).count()),
        startTimerFired, this);
    return {};
}

void PulsePlayer::Session::startTimedOut()
{
    if (startTimer) {
        pa_threaded_mainloop_get_api(pulse->mainloop())->time_free(startTimer);
        startTimer = nullptr;
    }
    if ((!stream || pa_stream_get_state(stream) != PA_STREAM_READY) && !done.load())
        finish(false);
}

void PulsePlayer::Session::feed()
{
    if (!stream || stop.load() || pa_stream_get_state(stream) != PA_STREAM_READY || drainOp)
        return;
    size_t wanted = pa_stream_writable_size(stream);
    wanted -= wanted % frameBytes;
    bool empty = false;
    bool allDecoded = false;
    std::vector<char> data;
    {
        std::lock_guard<std::mutex> guard(ringMutex);
        size_t bytes = std::min(wanted, ringUsed);
        bytes -= bytes % frameBytes;
        data.resize(bytes);
        pop(data.data(), bytes);
        empty = ringUsed == 0;
        allDecoded = decodedAll;
        // Set under the ring's mutex so the decoder, which looks under it after each push, cannot
        // miss it.
        starved = empty && !allDecoded && wanted > data.size();
    }
    ringSpace.notify_one();
    if (!data.empty())
        pa_stream_write(stream, data.data(), data.size(), nullptr, 0, PA_SEEK_RELATIVE);
    if (empty && allDecoded) {
        // Everything is with the server: "stopped" once it has been played out, not before. The
        // drain also starts a file shorter than the server's start threshold. Its answer can come
        // late (seconds late on a null sink), so the play-out is also followed by its position.
        drainOp = pa_stream_drain(stream, streamDrained, this);
        if (!drainOp) {
            finish(false);
            return;
        }
        watchPlayOut();
    }
}

void PulsePlayer::Session::finish(bool ok)
{
    if (!ok)
        failed = true;
    done = true;
    pulse->wake();
}

void PulsePlayer::Session::watchPlayOut()
{
    if (!stream || timingOp || timer || done.load())
        return;
    timingOp = pa_stream_update_timing_info(stream, timingUpdated, this);
}

void PulsePlayer::Session::playOutMeasured(int success)
{
    if (timingOp) {
        pa_operation_unref(timingOp);
        timingOp = nullptr;
    }
    if (!stream || done.load())
        return;
    pa_context* context = pulse->context();
    if (!context)
        return;
    pa_usec_t wait = 20000; // asked again after this when the answer says nothing
    const pa_timing_info* timing = success ? pa_stream_get_timing_info(stream) : nullptr;
    if (timing && !timing->read_index_corrupt && !timing->write_index_corrupt) {
        const int64_t left = timing->write_index - timing->read_index;
        if (left <= 0) {
            // The sink has taken everything; it is heard once the sink's own buffer has played.
            if (timing->sink_usec == 0) {
                finish(true);
                return;
            }
            lastWait = true;
            wait = timing->sink_usec;
        } else {
            wait = pa_bytes_to_usec(uint64_t(left), &sampleSpec) + 5000;
        }
    }
    timer = pa_context_rttime_new(context, pa_rtclock_now() + wait, timerFired, this);
}

void PulsePlayer::Session::playOutTimer()
{
    if (timer) {
        pa_threaded_mainloop_get_api(pulse->mainloop())->time_free(timer);
        timer = nullptr;
    }
    if (done.load())
        return;
    if (lastWait)
        finish(true);
    else
        watchPlayOut();
}

void PulsePlayer::Session::decode()
{
    std::vector<float> block(chunkFrames * sampleSpec.channels);
    const size_t chunkBytes = chunkFrames * frameBytes;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(ringMutex);
            ringSpace.wait(guard, [this, chunkBytes] { return stop.load() || ring.size() - ringUsed >= chunkBytes; });
            if (stop.load())
                return;
        }
        const sf_count_t got = sf_readf_float(file, block.data(), sf_count_t(chunkFrames));
        bool poke = false;
        {
            std::lock_guard<std::mutex> guard(ringMutex);
            if (got > 0)
                push(reinterpret_cast<const char*>(block.data()), size_t(got) * frameBytes);
            else
                decodedAll = true; // the end, or a read error part-way: what came so far is played
            poke = starved || decodedAll;
            starved = false;
        }
        if (got > 0)
            framesDecoded += uint64_t(got);
        if (poke) {
            PulseContext::Lock lock(*pulse);
            feed();
        }
        if (got <= 0)
            return;
    }
}

void PulsePlayer::Session::close()
{
    stop = true;
    ringSpace.notify_all();
    if (watcher >= 0) {
        pulse->removeSourcesWatcher(watcher);
        watcher = -1;
    }
    if (stream || startTimer) {
        PulseContext::Lock lock(*pulse);
        for (pa_operation** op : {&drainOp, &timingOp}) {
            if (*op) {
                if (pa_operation_get_state(*op) == PA_OPERATION_RUNNING)
                    pa_operation_cancel(*op);
                pa_operation_unref(*op);
                *op = nullptr;
            }
        }
        for (pa_time_event** event : {&timer, &startTimer}) {
            if (*event) {
                pa_threaded_mainloop_get_api(pulse->mainloop())->time_free(*event);
                *event = nullptr;
            }
        }
        if (stream) {
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            // Disconnecting takes the stream off the sink at once; a flush first would only wait.
            if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
                pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            stream = nullptr;
        }
    }
    if (decoder.joinable())
        decoder.join();
    if (file) {
        sf_close(file);
        file = nullptr;
    }
}

PulsePlayer::PulsePlayer(std::shared_ptr<PulseContext> pulse) : m_pulse(std::move(pulse)) {}

PulsePlayer::~PulsePlayer() = default;

QString PulsePlayer::play(const QString& name)
{
    // Only one file plays at a time; the same name starts again from the beginning.
    m_open.reset();
    m_openName.clear();
    if (name.isEmpty())
        return QStringLiteral("error: no file named");
    if (!m_pulse)
        return QStringLiteral("error: no sound server");
    auto session = std::make_unique<Session>(m_pulse.get());
    QString error = session->open(name);
    if (error.isEmpty())
        error = session->start();
    if (!error.isEmpty())
        return error;
    m_open = std::move(session);
    m_openName = name;
    return {};
}

void PulsePlayer::close(const QString& name)
{
    if (!m_open || name != m_openName)
        return;
    m_open.reset();
    m_openName.clear();
}

Player::State PulsePlayer::state(const QString& name)
{
    if (!m_open || name != m_openName)
        return State::Closed;
    if (!m_open->finished())
        return State::Playing;
    return m_open->failed.load() ? State::Failed : State::PlayedOut;
}
