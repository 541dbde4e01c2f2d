// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/take_encoder.h"

#include "recording/little_endian.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace little_endian;

// Frames read from the spool and handed to the output at a time: every buffer is sized by it, so the
// memory in use stays the same however long the take.
constexpr size_t chunkFrames = 4096;
// Opus takes only 8, 12, 16, 24 and 48 kHz; the spool's other rates go up to 48 kHz.
constexpr int opusRate = 48000;
// The spool's header and the chunks before its audio fit in this many bytes.
constexpr size_t headerRoom = 512;
// lame's last words kept for a failure's reason.
constexpr size_t messageRoom = 1024;
// lame's frames hold this many samples for 32 kHz and up, half as many below.
constexpr int mp3FrameSamples = 1152;
// lame starts its audio this many samples into the first frame, and pads its end with at least as
// many.
constexpr int lameEncoderDelay = 576;
constexpr int lameLeastPadding = 576;

std::string systemError(int code)
{
    return std::strerror(code);
}

std::string fileName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int openFile(const std::string& path, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Reads up to bytes from offset, however many calls that takes; the count read, or -1 with errno.
ssize_t readAt(int fd, void* to, size_t bytes, uint64_t offset)
{
    size_t done = 0;
    while (done < bytes) {
        const ssize_t got = ::pread(fd, static_cast<uint8_t*>(to) + done, bytes - done, off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += size_t(got);
    }
    return ssize_t(done);
}

// The spool's audio in frames of signed 16-bit samples: 8-bit unsigned bytes become (byte - 128)
// * 256, which the 8-bit FLAC output turns back into byte - 128 exactly.
void toShorts(const uint8_t* raw, size_t samples, int bits, int16_t* out)
{
    if (bits == 8) {
        for (size_t i = 0; i < samples; ++i)
            out[i] = int16_t((int(raw[i]) - 128) * 256);
    } else {
        for (size_t i = 0; i < samples; ++i)
            out[i] = int16_t(get16(raw + 2 * i));
    }
}

// "44.1" for 44100: the input rate in kHz as lame reads it, whatever the locale.
std::string kiloHertz(int rate)
{
    std::string text = std::to_string(rate / 1000);
    int rest = rate % 1000;
    if (rest != 0) {
        std::string fraction = std::to_string(1000 + rest).substr(1);
        while (!fraction.empty() && fraction.back() == '0')
            fraction.pop_back();
        text += '.' + fraction;
    }
    return text;
}

// The options for lame on a raw take: the user's, the mode adapted (see Mp3Options), then what the
// raw input is, the input "-" and the output.
std::vector<std::string> lameArguments(const TakeEncoder::Mp3Options& options, const WaveSpool::Format& format,
                                       const std::string& output)
{
    std::vector<std::string> arguments{options.program};
    const QStringList& given = options.arguments;
    for (qsizetype i = 0; i < given.size(); ++i) {
        const std::string word = given[i].toStdString();
        std::string mode;
        if (word == "-m" && i + 1 < given.size())
            mode = given[++i].toStdString();
        else if (word.size() > 2 && word.compare(0, 2, "-m") == 0)
            mode = word.substr(2);
        else if (word == "-a")
            mode = "m";
        else {
            arguments.push_back(word);
            continue;
        }
        // Raw input has two channels unless the mode is mono: a mono take is always encoded as
        // mono (as lame does with a mono wave file), and mono from a stereo take is a down-mix.
        if (format.channels == 2 && mode == "m")
            arguments.emplace_back("-a");
        else if (format.channels == 2)
            arguments.insert(arguments.end(), {"-m", mode});
    }
    for (const char* word : {"-r", "--signed", "--little-endian", "--bitwidth", "16", "-s"})
        arguments.emplace_back(word);
    arguments.push_back(kiloHertz(format.rate));
    if (format.channels == 1)
        arguments.insert(arguments.end(), {"-m", "m"});
    arguments.insert(arguments.end(), {"-", output});
    return arguments;
}

// Whether libsndfile lists a major format and, when given, a subtype among those it knows.
bool sndfileKnows(int major, int subtype)
{
    bool majorFound = false;
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count && !majorFound; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) == 0)
            majorFound = info.format == major;
    }
    if (!majorFound || subtype == 0)
        return majorFound;
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &info, sizeof info) == 0 && info.format == subtype)
            return true;
    }
    return false;
}

// What an MP3 file's frames say about its length.
struct Mp3Length {
    uint64_t frames = 0; // audio frames, the Info frame not counted
    int samplesPerFrame = 0;
    int rate = 0;
    bool tagged = false; // lame's Info header with the encoder delay and padding
    int delay = 0;
    int padding = 0;
    // The samples a decoder gives: with the Info header the encoder's delay and padding are cut off.
    uint64_t decoded() const
    {
        const uint64_t all = frames * uint64_t(samplesPerFrame);
        const uint64_t cut = uint64_t(delay + padding);
        return tagged ? (all > cut ? all - cut : 0) : all;
    }
};

// Walks the MP3 file frame by frame by their headers, without decoding, so it takes little time
// however long the file. False, with the reason, where the file is not a sequence of Layer III
// frames of one rate.
bool measureMp3(const std::string& path, Mp3Length* length, std::string* error)
{
    static const int bitRates[2][16] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
                                        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};
    static const int rates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    const int fd = openFile(path, O_RDONLY);
    if (fd < 0) {
        *error = "cannot open it again: " + systemError(errno);
        return false;
    }
    struct stat status {};
    ::fstat(fd, &status);
    const uint64_t size = uint64_t(status.st_size);
    // A window into the file, refilled as the walk goes on; a frame is at most 2881 bytes.
    std::vector<uint8_t> window(64 * 1024);
    uint64_t windowAt = 0;
    size_t windowBytes = 0;
    auto bytesAt = [&](uint64_t offset, size_t count) -> const uint8_t* {
        if (offset + count > size)
            return nullptr;
        if (offset < windowAt || offset + count > windowAt + windowBytes) {
            const ssize_t got = readAt(fd, window.data(), window.size(), offset);
            if (got < ssize_t(count))
                return nullptr;
            windowAt = offset;
            windowBytes = size_t(got);
        }
        return window.data() + (offset - windowAt);
    };

    bool ok = true;
    uint64_t at = 0;
    if (const uint8_t* id3 = bytesAt(0, 10); id3 && std::memcmp(id3, "ID3", 3) == 0)
        at = 10 +
             (uint64_t(id3[6] & 0x7F) << 21 | uint64_t(id3[7] & 0x7F) << 14 | uint64_t(id3[8] & 0x7F) << 7 |
              uint64_t(id3[9] & 0x7F)) +
             ((id3[5] & 0x10) ? 10 : 0);
    *length = Mp3Length{};
    bool first = true;
    while (at < size) {
        const uint8_t* h = bytesAt(at, 4);
        if (h && std::memcmp(h, "TAG", 3) == 0 && size - at == 128)
            break;
        const int version = h ? (h[1] >> 3) & 3 : 1;
        const int bitRateIndex = h ? h[2] >> 4 : 0;
        const int rateIndex = h ? (h[2] >> 2) & 3 : 3;
        if (!h || h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || version == 1 || ((h[1] >> 1) & 3) != 1 ||
            bitRateIndex == 0 || bitRateIndex == 15 || rateIndex == 3) {
            *error = "it holds something other than MP3 frames at byte " + std::to_string(at);
            ok = false;
            break;
        }
        const bool mpeg1 = version == 3;
        const int rate = rates[version][rateIndex];
        const int bitRate = bitRates[mpeg1 ? 0 : 1][bitRateIndex];
        const uint64_t frameBytes = uint64_t((mpeg1 ? 144000 : 72000) * bitRate / rate + ((h[2] >> 1) & 1));
        const bool mono = (h[3] >> 6) == 3;
        if (length->rate != 0 && length->rate != rate) {
            *error = "its frames change their sample rate at byte " + std::to_string(at);
            ok = false;
            break;
        }
        length->rate = rate;
        length->samplesPerFrame = mpeg1 ? mp3FrameSamples : mp3FrameSamples / 2;
        bool counted = true;
        if (first) {
            // lame's Info (or Xing) header sits where the first frame's audio would, after its side
            // information; lame's own part of it, with the delay and padding, follows the table.
            const uint64_t tag = at + 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
            if (const uint8_t* x = bytesAt(tag, 8);
                x && (std::memcmp(x, "Info", 4) == 0 || std::memcmp(x, "Xing", 4) == 0)) {
                counted = false;
                // Its flags are big-endian, unlike a wave file's fields.
                const uint32_t flags = uint32_t(x[4]) << 24 | uint32_t(x[5]) << 16 | uint32_t(x[6]) << 8 | x[7];
                const uint64_t lame =
                    tag + 8 + (flags & 1 ? 4 : 0) + (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
                if (const uint8_t* l = bytesAt(lame, 24);
                    l && lame + 24 <= at + frameBytes && std::memcmp(l, "LAME", 4) == 0) {
                    length->tagged = true;
                    length->delay = l[21] << 4 | l[22] >> 4;
                    length->padding = (l[22] & 0x0F) << 8 | l[23];
                }
            }
            first = false;
        }
        if (counted)
            ++length->frames;
        at += frameBytes;
    }
    ::close(fd);
    return ok;
}

// This program's environment for lame, with numbers written the C way: lame reads "-s 44.1" in the
// numeric locale it is given, where a locale with a decimal comma would make 44 kHz of it. LC_ALL
// would override LC_NUMERIC, so it is passed on as the categories lame does use.
std::vector<std::string> lameEnvironment()
{
    std::vector<std::string> variables;
    std::string all;
    bool ctype = false;
    bool messages = false;
    for (char** at = environ; at && *at; ++at) {
        const std::string variable = *at;
        if (variable.rfind("LC_ALL=", 0) == 0) {
            all = variable.substr(7);
            continue;
        }
        if (variable.rfind("LC_NUMERIC=", 0) == 0)
            continue;
        ctype = ctype || variable.rfind("LC_CTYPE=", 0) == 0;
        messages = messages || variable.rfind("LC_MESSAGES=", 0) == 0;
        variables.push_back(variable);
    }
    if (!all.empty() && !ctype)
        variables.push_back("LC_CTYPE=" + all);
    if (!all.empty() && !messages)
        variables.push_back("LC_MESSAGES=" + all);
    variables.emplace_back("LC_NUMERIC=C");
    return variables;
}

// Runs program with arguments, its standard input from a pipe this side writes and its output and
// messages into a pipe this side reads. 0 or an errno.
int spawn(const std::vector<std::string>& arguments, pid_t* pid, int* input, int* messages)
{
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return errno;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(in[0]);
        ::close(in[1]);
        return error;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    // Nothing else of this program's stays open in lame, whoever forgot to mark it close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The encoder gets the default disposition and an empty mask, whatever this thread blocks.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const std::string& word : arguments)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> environment = lameEnvironment();
    std::vector<char*> envp;
    for (const std::string& variable : environment)
        envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    const int result = ::posix_spawnp(pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    if (result != 0) {
        ::close(in[1]);
        ::close(out[0]);
        return result;
    }
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    *input = in[1];
    *messages = out[0];
    return 0;
}

} // namespace

// Where the encoded audio goes: interleaved signed 16-bit frames in, a file out.
class TakeEncoder::Sink {
public:
    virtual ~Sink() = default;
    virtual bool write(const int16_t* samples, size_t frames, std::string* error) = 0;
    // Writes what is still held and closes the file.
    virtual bool close(std::string* error) = 0;
    // Gives up at once.
    virtual void abandon() = 0;
};

namespace {

// FLAC, Ogg Vorbis and Ogg Opus through libsndfile, on the output's descriptor.
class SndfileSink : public TakeEncoder::Sink {
public:
    ~SndfileSink() override { abandon(); }

    bool open(int fd, TakeEncoder::Kind kind, const WaveSpool::Format& format, std::string* error)
    {
        m_fd = fd;
        m_channels = format.channels;
        SF_INFO info{};
        info.channels = format.channels;
        info.samplerate = TakeEncoder::outputRate(kind, format.rate);
        switch (kind) {
        case TakeEncoder::Kind::Flac:
            // FLAC has no unsigned samples: 8-bit takes are stored as signed 8-bit.
            info.format = SF_FORMAT_FLAC | (format.bits == 8 ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_16);
            break;
        case TakeEncoder::Kind::Vorbis:
            info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
            break;
        default:
            info.format = SF_FORMAT_OGG | SF_FORMAT_OPUS;
            break;
        }
        m_file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
        if (!m_file) {
            *error = std::string("the encoder cannot start: ") + sf_strerror(nullptr);
            return false;
        }
        if (info.samplerate != format.rate) {
            soxr_error_t failure = nullptr;
            const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_FLOAT32_I);
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
            m_resampler =
                soxr_create(format.rate, info.samplerate, unsigned(format.channels), &failure, &io, &quality, nullptr);
            if (!m_resampler) {
                *error = std::string("the resampler cannot start: ") + (failure ? failure : "unknown error");
                return false;
            }
            // Room for what one chunk becomes at the highest ratio (8 kHz is never resampled, so
            // 11025 to 48000 is the highest), and then some.
            m_resampledRoom = chunkFrames * 5;
            m_resampled.reset(new float[m_resampledRoom * size_t(format.channels)]);
        }
        return true;
    }

    bool write(const int16_t* samples, size_t frames, std::string* error) override
    {
        if (!m_resampler)
            return put(samples, frames, error);
        while (frames > 0) {
            size_t used = 0;
            size_t made = 0;
            const soxr_error_t failure =
                soxr_process(m_resampler, samples, frames, &used, m_resampled.get(), m_resampledRoom, &made);
            if (failure) {
                *error = std::string("the resampler failed: ") + failure;
                return false;
            }
            if (!put(m_resampled.get(), made, error))
                return false;
            samples += used * size_t(m_channels);
            frames -= used;
            if (used == 0 && made == 0) {
                *error = "the resampler took no audio";
                return false;
            }
        }
        return true;
    }

    bool close(std::string* error) override
    {
        bool ok = true;
        if (m_resampler) {
            // The resampler's last samples, held back for its filter, come out on an empty input.
            for (;;) {
                size_t made = 0;
                const soxr_error_t failure =
                    soxr_process(m_resampler, nullptr, 0, nullptr, m_resampled.get(), m_resampledRoom, &made);
                if (failure) {
                    *error = std::string("the resampler failed: ") + failure;
                    ok = false;
                    break;
                }
                if (made == 0)
                    break;
                if (!put(m_resampled.get(), made, error)) {
                    ok = false;
                    break;
                }
            }
        }
        if (ok && sf_error(m_file) != SF_ERR_NO_ERROR) {
            *error = std::string("the encoder failed: ") + sf_strerror(m_file);
            ok = false;
        }
        const int closed = sf_close(m_file);
        m_file = nullptr;
        if (ok && closed != 0) {
            *error = std::string("the encoder failed to complete the file: ") + sf_error_number(closed);
            ok = false;
        }
        // The finished take is on the disk before anybody is told it is there.
        if (ok && ::fdatasync(m_fd) != 0 && errno != EINVAL && errno != EROFS) {
            *error = systemError(errno);
            ok = false;
        }
        releaseResampler();
        return ok;
    }

    void abandon() override
    {
        if (m_file)
            sf_close(m_file);
        m_file = nullptr;
        releaseResampler();
    }

private:
    template <typename Sample> bool put(const Sample* samples, size_t frames, std::string* error)
    {
        if (frames == 0)
            return true;
        sf_count_t written;
        // libsndfile's text for a failed write of an Ogg page is no help; the system's reason is.
        errno = 0;
        if constexpr (std::is_same_v<Sample, float>)
            written = sf_writef_float(m_file, samples, sf_count_t(frames));
        else
            written = sf_writef_short(m_file, samples, sf_count_t(frames));
        if (written != sf_count_t(frames) || sf_error(m_file) != SF_ERR_NO_ERROR) {
            *error = errno != 0 ? systemError(errno) : std::string(sf_strerror(m_file));
            return false;
        }
        return true;
    }

    void releaseResampler()
    {
        if (m_resampler)
            soxr_delete(m_resampler);
        m_resampler = nullptr;
    }

    int m_fd = -1;
    int m_channels = 1;
    SNDFILE* m_file = nullptr;
    soxr_t m_resampler = nullptr;
    std::unique_ptr<float[]> m_resampled;
    size_t m_resampledRoom = 0;
};

// MP3 by lame, fed raw 16-bit PCM through a pipe; lame writes the file itself.
class LameSink : public TakeEncoder::Sink {
public:
    // stop is looked at while lame is waited for, so an encoder that hangs cannot hold up abandon().
    explicit LameSink(const std::atomic<bool>& stop) : m_stop(stop) {}
    ~LameSink() override { abandon(); }

    bool start(const std::vector<std::string>& arguments, std::string* error)
    {
        m_program = arguments.front();
        const int result = spawn(arguments, &m_pid, &m_input, &m_messages);
        if (result != 0) {
            *error = "cannot start the MP3 encoder \"" + m_program + "\": " + systemError(result);
            return false;
        }
        m_bytes.reset(new uint8_t[chunkFrames * 4]);
        return true;
    }

    bool write(const int16_t* samples, size_t frames, std::string* error) override
    {
        const size_t count = frames * size_t(m_channels);
        for (size_t i = 0; i < count; ++i)
            put16(m_bytes.get() + 2 * i, uint16_t(samples[i]));
        const uint8_t* at = m_bytes.get();
        size_t left = count * 2;
        while (left > 0) {
            // lame's messages are read while it is fed: it would stop reading once their pipe is full.
            pollfd fds[2] = {{m_input, POLLOUT, 0}, {m_messages, POLLIN, 0}};
            const int ready = ::poll(fds, m_messages >= 0 ? 2 : 1, waitStep);
            if (m_stop.load()) {
                *error = "the copy was abandoned";
                return false;
            }
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0) {
                *error = "cannot wait for the MP3 encoder: " + systemError(errno);
                return false;
            }
            if (m_messages >= 0 && fds[1].revents != 0)
                readMessages();
            if (fds[0].revents == 0)
                continue;
            const ssize_t put = ::write(m_input, at, left);
            if (put < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (put < 0 && errno == EPIPE) {
                // The encoder stopped reading: how it ended, and its last words, say more than the
                // broken pipe.
                discardPipeSignal();
                drainMessages();
                *error = "the MP3 encoder stopped early: " + reap();
                return false;
            }
            if (put < 0) {
                *error = "cannot feed the MP3 encoder: " + systemError(errno);
                return false;
            }
            at += put;
            left -= size_t(put);
        }
        return true;
    }

    bool close(std::string* error) override
    {
        if (m_input >= 0)
            ::close(m_input);
        m_input = -1;
        // The end of its input tells lame to write the last frames and its Info header; it has
        // done so when it closes its end of the messages.
        if (!drainMessages()) {
            *error = "the copy was abandoned";
            return false;
        }
        const std::string ending = reap();
        if (!ending.empty()) {
            *error = "the MP3 encoder failed: " + ending;
            return false;
        }
        return true;
    }

    void abandon() override
    {
        if (m_pid > 0)
            ::kill(m_pid, SIGKILL);
        if (m_input >= 0)
            ::close(m_input);
        m_input = -1;
        reap();
    }

    void setChannels(int channels) { m_channels = channels; }

private:
    void readMessages()
    {
        char buffer[512];
        for (;;) {
            const ssize_t got = ::read(m_messages, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                if (got == 0 || errno != EAGAIN) {
                    ::close(m_messages);
                    m_messages = -1;
                }
                return;
            }
            m_said.append(buffer, size_t(got));
            if (m_said.size() > messageRoom)
                m_said.erase(0, m_said.size() - messageRoom);
        }
    }

    // Reads lame's messages until it closes their pipe, as it does when it ends; false when the
    // copy was abandoned meanwhile.
    bool drainMessages()
    {
        while (m_messages >= 0) {
            pollfd fd{m_messages, POLLIN, 0};
            if (::poll(&fd, 1, waitStep) < 0 && errno != EINTR)
                break;
            if (m_stop.load())
                return false;
            readMessages();
        }
        return true;
    }

    // lame's last line: after a failure, what went wrong.
    std::string lastWords() const
    {
        size_t end = m_said.find_last_not_of("\r\n ");
        if (end == std::string::npos)
            return {};
        const size_t start = m_said.find_last_of("\r\n", end);
        return m_said.substr(start == std::string::npos ? 0 : start + 1,
                             end + 1 - (start == std::string::npos ? 0 : start + 1));
    }

    // Waits for lame to end; empty when it ended well, else how it ended.
    std::string reap()
    {
        if (m_messages >= 0) {
            ::close(m_messages);
            m_messages = -1;
        }
        if (m_pid <= 0)
            return m_ending;
        int status = 0;
        pid_t done;
        do
            done = ::waitpid(m_pid, &status, 0);
        while (done < 0 && errno == EINTR);
        m_pid = -1;
        if (done < 0)
            m_ending = "cannot learn how it ended: " + systemError(errno);
        else if (WIFSIGNALED(status))
            m_ending = "it was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                       ::strsignal(WTERMSIG(status)) + ")";
        else if (WEXITSTATUS(status) == 127 && m_said.empty())
            m_ending = "\"" + m_program + "\" could not be run";
        else if (WEXITSTATUS(status) != 0)
            m_ending = "it ended with status " + std::to_string(WEXITSTATUS(status));
        if (!m_ending.empty()) {
            const std::string words = lastWords();
            if (!words.empty())
                m_ending += " (\"" + words + "\")";
        }
        return m_ending;
    }

    // A write to the closed pipe also left a SIGPIPE pending on this thread, which blocks it.
    static void discardPipeSignal()
    {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        const timespec now{0, 0};
        while (::sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
        }
    }

    static constexpr int waitStep = 250; // ms

    const std::atomic<bool>& m_stop;
    std::string m_program;
    pid_t m_pid = -1;
    int m_input = -1;
    int m_messages = -1;
    int m_channels = 2;
    std::unique_ptr<uint8_t[]> m_bytes;
    std::string m_said;
    std::string m_ending;
};

} // namespace

TakeEncoder::TakeEncoder() = default;

TakeEncoder::~TakeEncoder()
{
    if (m_thread.joinable())
        abandon();
    cleanUp();
}

bool TakeEncoder::supported(Kind kind)
{
    switch (kind) {
    case Kind::Flac:
        return sndfileKnows(SF_FORMAT_FLAC, 0);
    case Kind::Vorbis:
        return sndfileKnows(SF_FORMAT_OGG, SF_FORMAT_VORBIS);
    case Kind::Opus:
        return sndfileKnows(SF_FORMAT_OGG, SF_FORMAT_OPUS);
    case Kind::Mp3:
        return sndfileKnows(SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III);
    }
    return false;
}

int TakeEncoder::outputRate(Kind kind, int rate)
{
    return kind == Kind::Opus && rate != 8000 ? opusRate : rate;
}

const char* TakeEncoder::extension(Kind kind)
{
    switch (kind) {
    case Kind::Flac:
        return "flac";
    case Kind::Vorbis:
    case Kind::Opus:
        return "ogg";
    case Kind::Mp3:
        return "mp3";
    }
    return "";
}

bool TakeEncoder::start(const std::string& spoolPath, const WaveSpool::Format& format, Kind kind,
                        const std::string& outputPath, const Mp3Options& mp3, std::string* error)
{
    auto refuse = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (m_thread.joinable())
        return refuse("a copy is already being made");
    if ((format.channels != 1 && format.channels != 2) || (format.bits != 8 && format.bits != 16) || format.rate <= 0)
        return refuse("not a format of a take");
    if (!supported(kind))
        return refuse(std::string("this system's sound file library cannot handle ") + extension(kind) + " files");
    cleanUp();

    m_kind = kind;
    m_format = format;
    m_spoolPath = spoolPath;
    m_outputPath = outputPath;
    m_spoolFd = openFile(spoolPath, O_RDONLY);
    if (m_spoolFd < 0)
        return refuse("cannot read the recording " + spoolPath + ": " + systemError(errno));

    // Created here, and only new: a failure removes it again, so it must never be somebody's file.
    const int outputFd = openFile(outputPath, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (outputFd < 0) {
        const int code = errno;
        cleanUp();
        return refuse("cannot create " + outputPath + ": " + systemError(code));
    }
    struct stat status {};
    ::fstat(outputFd, &status);
    m_outputDevice = uint64_t(status.st_dev);
    m_outputInode = uint64_t(status.st_ino);

    std::string why;
    if (kind == Kind::Mp3) {
        // lame opens the file by its name and writes its Info header at the start once done.
        ::close(outputFd);
        auto sink = std::make_unique<LameSink>(m_stop);
        sink->setChannels(format.channels);
        if (!sink->start(lameArguments(mp3, format, outputPath), &why)) {
            removeOutput();
            cleanUp();
            return refuse(why);
        }
        m_sink = std::move(sink);
        m_outputFd = -1;
    } else {
        auto sink = std::make_unique<SndfileSink>();
        m_outputFd = outputFd;
        if (!sink->open(outputFd, kind, format, &why)) {
            sink.reset();
            removeOutput();
            cleanUp();
            return refuse(why);
        }
        m_sink = std::move(sink);
    }

    m_raw.reset(new uint8_t[chunkFrames * size_t(format.frameBytes())]);
    m_samples.reset(new int16_t[chunkFrames * size_t(format.channels)]);
    m_dataOffset = 0;
    m_readFrames = 0;
    m_encoded = 0;
    m_error.clear();
    m_result = Result{};
    m_finishing = false;
    m_abandoning = false;
    m_ended = false;
    m_totalFrames = 0;
    m_done = nullptr;
    m_thread = std::thread(&TakeEncoder::run, this);
    return true;
}

void TakeEncoder::finish(uint64_t totalFrames, std::function<void(const Result&)> done)
{
    Result ended{false, 0, 0, "no copy is being made"};
    {
        std::lock_guard lock(m_mutex);
        if (m_thread.joinable() && !m_finishing && !m_abandoning && !m_ended) {
            m_totalFrames = totalFrames;
            m_finishing = true;
            m_done = std::move(done);
            done = nullptr;
        } else if (m_ended) {
            // A copy that failed while the take was recorded has its result already.
            ended = m_result;
        }
    }
    m_wake.notify_all();
    if (done)
        done(ended);
}

TakeEncoder::Result TakeEncoder::wait()
{
    bool waitable;
    {
        std::lock_guard lock(m_mutex);
        waitable = m_finishing || m_ended;
    }
    if (m_thread.joinable()) {
        if (!waitable)
            return Result{false, 0, 0, "the copy was not finished"};
        m_thread.join();
    }
    return m_result;
}

void TakeEncoder::abandon()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_abandoning = true;
    }
    m_stop = true;
    m_wake.notify_all();
    m_thread.join();
}

bool TakeEncoder::failedWhileRecording(std::string* why)
{
    std::lock_guard lock(m_mutex);
    if (!m_ended || m_finishing || m_abandoning || m_result.ok)
        return false;
    if (why)
        *why = m_result.error;
    return true;
}

void TakeEncoder::fail(const std::string& why)
{
    if (m_error.empty())
        m_error = why;
}

void TakeEncoder::run()
{
    // A write to a pipe whose reader has gone fails with EPIPE instead of ending the program.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    bool ok = true;
    bool finished = false;
    for (;;) {
        bool finishing;
        uint64_t total;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, pollInterval, [this] { return m_finishing || m_abandoning; });
            if (m_abandoning)
                break;
            finishing = m_finishing;
            total = m_totalFrames;
        }
        // Not every kind can be written without audio (libsndfile's FLAC and Opus files cannot be
        // read back then), so an empty take gets no copy of any kind.
        if (finishing && total == 0) {
            fail("the recording holds no audio");
            ok = false;
            break;
        }
        if (!catchUp(finishing ? total : UINT64_MAX, finishing)) {
            ok = false;
            break;
        }
        if (finishing) {
            finished = true;
            ok = finishOutput() && verify();
            break;
        }
    }

    Result result;
    if (!finished && m_error.empty())
        m_error = "the copy was abandoned";
    if (ok && finished) {
        result = m_result;
        result.ok = true;
    } else {
        if (m_sink)
            m_sink->abandon();
        removeOutput();
        result.error = m_error;
    }
    m_sink.reset();
    if (m_outputFd >= 0)
        ::close(m_outputFd);
    m_outputFd = -1;
    // The spool's descriptor would keep its disk space taken after the take is deleted.
    ::close(m_spoolFd);
    m_spoolFd = -1;
    std::function<void(const Result&)> done;
    {
        std::lock_guard lock(m_mutex);
        m_result = result;
        m_ended = true;
        done = std::move(m_done);
    }
    if (done)
        done(result);
}

bool TakeEncoder::probe(uint64_t* available, bool final)
{
    *available = 0;
    uint8_t header[headerRoom];
    const ssize_t got = readAt(m_spoolFd, header, sizeof header, 0);
    if (got < 0) {
        fail("cannot read the recording: " + systemError(errno));
        return false;
    }
    const size_t bytes = size_t(got);
    auto notYet = [&](const std::string& why) {
        // The writer may not have put the header in yet; at the end it must be there.
        if (final)
            fail("the recording " + fileName(m_spoolPath) + " " + why);
        return !final;
    };
    if (bytes < 12)
        return notYet("has no wave header");
    const bool rf64 = std::memcmp(header, "RF64", 4) == 0;
    if ((!rf64 && std::memcmp(header, "RIFF", 4) != 0) || std::memcmp(header + 8, "WAVE", 4) != 0) {
        fail("the recording " + fileName(m_spoolPath) + " is not a wave file");
        return false;
    }
    uint64_t dataBytes64 = 0;
    bool formatSeen = false;
    for (size_t at = 12; at + 8 <= bytes;) {
        const uint8_t* chunk = header + at;
        const uint32_t size = get32(chunk + 4);
        if (std::memcmp(chunk, "ds64", 4) == 0 && at + 8 + 16 <= bytes) {
            dataBytes64 = get64(chunk + 16);
        } else if (std::memcmp(chunk, "fmt ", 4) == 0 && at + 8 + 16 <= bytes) {
            const int tag = get16(chunk + 8);
            const int channels = get16(chunk + 10);
            const int rate = int(get32(chunk + 12));
            const int bits = get16(chunk + 22);
            if ((tag != 1 && tag != 0xFFFE) || channels != m_format.channels || rate != m_format.rate ||
                bits != m_format.bits) {
                fail("the recording " + fileName(m_spoolPath) + " is not in the format it was started with");
                return false;
            }
            formatSeen = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!formatSeen) {
                fail("the recording " + fileName(m_spoolPath) + " has its audio before its format");
                return false;
            }
            const uint64_t offset = at + 8;
            if (m_dataOffset != 0 && m_dataOffset != offset) {
                fail("the recording " + fileName(m_spoolPath) + " moved its audio");
                return false;
            }
            m_dataOffset = offset;
            const uint64_t counted = rf64 && size == 0xFFFFFFFFu ? dataBytes64 : size;
            // What the header counts is in the file; the file's size is a second bound, in case the
            // header is read while it is being rewritten.
            struct stat status {};
            if (::fstat(m_spoolFd, &status) != 0) {
                fail("cannot read the recording: " + systemError(errno));
                return false;
            }
            const uint64_t inFile = uint64_t(status.st_size) > offset ? uint64_t(status.st_size) - offset : 0;
            *available = std::min(counted, inFile) / uint64_t(m_format.frameBytes());
            return true;
        }
        at += 8 + uint64_t(size) + (size & 1);
    }
    if (bytes < sizeof header)
        return notYet("has no complete wave header");
    fail("the recording " + fileName(m_spoolPath) + " has no audio in its first " + std::to_string(headerRoom) +
         " bytes");
    return false;
}

bool TakeEncoder::catchUp(uint64_t limit, bool final)
{
    uint64_t available = 0;
    if (!probe(&available, final))
        return false;
    const uint64_t target = std::min(available, limit);
    if (final && target < limit) {
        fail("the recording holds " + std::to_string(available) + " frames, not the " + std::to_string(limit) +
             " it was said to hold");
        return false;
    }
    const size_t frameBytes = size_t(m_format.frameBytes());
    while (m_readFrames < target) {
        if (m_stop.load())
            return false;
        const size_t frames = size_t(std::min<uint64_t>(chunkFrames, target - m_readFrames));
        const ssize_t got =
            readAt(m_spoolFd, m_raw.get(), frames * frameBytes, m_dataOffset + m_readFrames * frameBytes);
        if (got < 0) {
            fail("cannot read the recording: " + systemError(errno));
            return false;
        }
        const size_t whole = size_t(got) / frameBytes;
        if (whole == 0) {
            fail("the recording ended before the audio its header counts");
            return false;
        }
        toShorts(m_raw.get(), whole * size_t(m_format.channels), m_format.bits, m_samples.get());
        std::string why;
        if (!m_sink->write(m_samples.get(), whole, &why)) {
            fail("cannot write " + fileName(m_outputPath) + ": " + plainReason(why));
            return false;
        }
        m_readFrames += whole;
        m_encoded = m_readFrames;
    }
    return true;
}

std::string TakeEncoder::plainReason(const std::string& why) const
{
    // lame only says it could not write; a full disk is the usual reason, and the one worth telling.
    const size_t slash = m_outputPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : m_outputPath.substr(0, slash);
    struct statvfs disk {};
    if (m_kind == Kind::Mp3 && ::statvfs(folder.c_str(), &disk) == 0 && (disk.f_bavail == 0 || disk.f_bfree == 0))
        return systemError(ENOSPC) + " (" + why + ")";
    return why;
}

bool TakeEncoder::finishOutput()
{
    std::string why;
    if (!m_sink->close(&why)) {
        fail("cannot complete " + fileName(m_outputPath) + ": " + plainReason(why));
        return false;
    }
    if (m_kind == Kind::Mp3) {
        // lame closed its file; it reaches the disk before it is called done, as the other kinds do.
        const int fd = openFile(m_outputPath, O_RDONLY);
        if (fd < 0 || (::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS)) {
            fail("cannot complete " + fileName(m_outputPath) + ": " + systemError(errno));
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        ::close(fd);
    }
    return true;
}

bool TakeEncoder::verify()
{
    const std::string name = fileName(m_outputPath);
    auto bad = [&](const std::string& why) {
        fail(name + " was written but " + why);
        return false;
    };
    SF_INFO info{};
    SNDFILE* file = sf_open(m_outputPath.c_str(), SFM_READ, &info);
    if (!file)
        return bad(std::string("cannot be read back: ") + sf_strerror(nullptr));
    struct Closer {
        SNDFILE* file;
        ~Closer() { sf_close(file); }
    } closer{file};

    // How many frames the take makes at the rate of the file, and how far off it may be.
    const uint64_t total = m_readFrames;
    const int rate = info.samplerate;
    const uint64_t expected = (total * uint64_t(rate) + uint64_t(m_format.rate) / 2) / uint64_t(m_format.rate);
    uint64_t frames = uint64_t(std::max<sf_count_t>(info.frames, 0));
    switch (m_kind) {
    case Kind::Flac:
        if (info.channels != m_format.channels || rate != m_format.rate)
            return bad("its format is not the recording's");
        if (frames != total)
            return bad("holds " + std::to_string(frames) + " frames of the " + std::to_string(total) + " recorded");
        break;
    case Kind::Vorbis:
    case Kind::Opus: {
        if (info.channels != m_format.channels || rate != outputRate(m_kind, m_format.rate))
            return bad("its format is not the one it was written in");
        // Ogg pages end on whole codec packets; the last page's position cuts the length back to
        // the sample, so only a resampler's rounding could make a difference. One codec frame is
        // allowed: 20 ms for Opus, a short block of 256 samples for Vorbis.
        const uint64_t slack = m_kind == Kind::Opus ? uint64_t(rate / 50) : 256;
        if (frames + slack < expected || frames > expected + slack)
            return bad("holds " + std::to_string(frames) + " frames where " + std::to_string(expected) +
                       " were expected");
        break;
    }
    case Kind::Mp3: {
        if (m_format.channels == 1 && info.channels != 1)
            return bad("a mono recording became stereo");
        Mp3Length length;
        std::string why;
        if (!measureMp3(m_outputPath, &length, &why))
            return bad(why);
        if (length.rate != rate)
            return bad("its frames and the decoder disagree on its rate");
        const uint64_t decoded = length.decoded();
        // With lame's Info header a decoder cuts the encoder's delay and padding off, and the length
        // is the take's, to the rounding of lame's resampler when it changed the rate; one frame is
        // allowed. Without it (its frames are too small for the header at the lowest bit rates) the
        // file decodes to the take plus lame's delay of 576 samples and its padding, which is at
        // least 576 and less than a frame more.
        const uint64_t frame = uint64_t(length.samplesPerFrame);
        const uint64_t low = length.tagged ? (expected > frame ? expected - frame : 0) : expected;
        const uint64_t high = length.tagged ? expected + frame : expected + lameEncoderDelay + lameLeastPadding + frame;
        if (decoded < low || decoded > high)
            return bad("decodes to " + std::to_string(decoded) + " frames where " + std::to_string(expected) +
                       " were expected");
        frames = decoded;
        break;
    }
    }

    // The start decodes, and the end: decoding the whole file would take the longer the longer the
    // take. The length was checked from what the file says about itself; decoding its last seconds
    // confirms that the last page is really there. An MP3 file's frames were all walked already,
    // and its end is not decoded after a seek: a decoder starting there lacks the bits earlier
    // frames lend to later ones and complains, though the file is fine.
    std::vector<float> buffer(size_t(chunkFrames) * size_t(info.channels));
    const sf_count_t head = std::min<sf_count_t>({sf_count_t(frames), info.frames, sf_count_t(rate)});
    for (sf_count_t read = 0; read < head;) {
        const sf_count_t got = sf_readf_float(file, buffer.data(), std::min<sf_count_t>(chunkFrames, head - read));
        if (got <= 0)
            return bad("its start does not decode: " + std::string(sf_strerror(file)));
        read += got;
    }
    if (m_kind != Kind::Mp3) {
        const sf_count_t tailFrom = std::max<sf_count_t>(0, info.frames - 2 * sf_count_t(rate));
        if (info.frames > 0 && sf_seek(file, tailFrom, SEEK_SET) != tailFrom)
            return bad("it cannot be searched near its end");
        sf_count_t tail = 0;
        for (;;) {
            const sf_count_t got = sf_readf_float(file, buffer.data(), chunkFrames);
            if (got <= 0)
                break;
            tail += got;
        }
        if (tailFrom + tail != info.frames)
            return bad("its end does not decode");
    }
    m_result.frames = frames;
    m_result.outputRate = rate;
    return true;
}

void TakeEncoder::removeOutput()
{
    if (m_outputPath.empty() || m_outputInode == 0)
        return;
    struct stat status {};
    if (::lstat(m_outputPath.c_str(), &status) == 0 && uint64_t(status.st_dev) == m_outputDevice &&
        uint64_t(status.st_ino) == m_outputInode)
        ::unlink(m_outputPath.c_str());
    m_outputInode = 0;
}

void TakeEncoder::cleanUp()
{
    m_sink.reset();
    if (m_outputFd >= 0)
        ::close(m_outputFd);
    m_outputFd = -1;
    if (m_spoolFd >= 0)
        ::close(m_spoolFd);
    m_spoolFd = -1;
    m_raw.reset();
    m_samples.reset();
    m_stop = false;
}
