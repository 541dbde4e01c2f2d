// Compares a take with the signal that was played while it was recorded (signal_code.h, played by
// signal_player), frame for frame, and with the moments the user acted.
//
// usage: take_check --take FILE --log PLAYER_LOG [--log ...] --record T [--pause T --resume T ...]
//                   --stop T [--missed-ms MS] [--slack-ms MS] [--pre-roll-ms MS]
//        take_check --take FILE --log PLAYER_LOG --sound-at-ms MS [--bursts N]
// --pre-roll-ms: the take keeps that much from before Record, so it starts with the audio heard that
// long before Record.
// --sound-at-ms: a take that sound started, of a signal played in bursts: it holds one burst, whole
// from its first frame, after silence of MS (within a 10 ms block of the sound trigger), and nothing
// else; --bursts: N bursts, in the order played, the first MS into the take.
// T are wall-clock seconds (date +%s.%N) taken just before the action; MS what the program said
// it missed at the start (0 or absent: nothing).
//
// It finds every frame of the take in the signal and prints the parts the take is made of. It fails
// (exit 1) when a frame is not the signal's (silence or anything else put in), when audio repeats
// or parts come out of order, when there are more or fewer parts than the pauses make, or when a
// part starts or ends away from its moment: a start must be the audio heard at Record (or at
// Resume) within one fragment (50 ms), or as late as the program said it missed (said in tenths of a
// second, so within half of one more); an end the audio
// heard at Pause (or Stop) within a fragment. slack-ms widens both by the time the action takes to
// reach the program (a key through X, a command through D-Bus).

#include "tests/app/signal_code.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr double kFragment = 0.050;

struct Heard {
    double time;
    double frame;
};

struct Log {
    std::vector<Heard> entries;
    double lowest = 0;
    double highest = 0;
};

bool readLog(const std::string& path, Log& log)
{
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return false;
    Heard entry{};
    while (std::fscanf(file, "%lf %lf", &entry.time, &entry.frame) == 2)
        log.entries.push_back(entry);
    std::fclose(file);
    if (log.entries.empty())
        return false;
    log.lowest = log.entries.front().frame;
    log.highest = log.entries.back().frame;
    for (const Heard& e : log.entries) {
        log.lowest = std::min(log.lowest, e.frame);
        log.highest = std::max(log.highest, e.frame);
    }
    return true;
}

// When a frame of the signal was heard: the player's reports near it, each telling the moment its
// frame 0 would have been heard; their median stands against the jitter of single reports.
double heardAt(const std::vector<Log>& logs, double frame, int rate)
{
    const Log* best = &logs.front();
    double distance = 1e300;
    for (const Log& log : logs) {
        const double d = frame < log.lowest ? log.lowest - frame : frame > log.highest ? frame - log.highest : 0;
        if (d < distance) {
            distance = d;
            best = &log;
        }
    }
    std::vector<double> origins;
    for (const Heard& e : best->entries)
        if (std::fabs(e.frame - frame) <= rate)
            origins.push_back(e.time - e.frame / rate);
    if (origins.empty())
        for (const Heard& e : best->entries)
            origins.push_back(e.time - e.frame / rate);
    std::nth_element(origins.begin(), origins.begin() + long(origins.size() / 2), origins.end());
    return origins[origins.size() / 2] + frame / rate;
}

struct Take {
    int rate = 0;
    int channels = 0;
    int bits = 0;
    std::vector<int32_t> samples; // as stored: 16-bit signed, or 8-bit unsigned
    long frames() const { return long(samples.size()) / channels; }
};

bool readTake(const std::string& path, Take& take)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return false;
    take.rate = info.samplerate;
    take.channels = info.channels;
    // 8-bit audio: unsigned in a wave file, signed in FLAC; both read as they were recorded.
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    take.bits = subtype == SF_FORMAT_PCM_U8 || subtype == SF_FORMAT_PCM_S8 ? 8 : 16;
    std::vector<short> shorts(size_t(info.frames) * size_t(info.channels));
    const sf_count_t read = sf_readf_short(file, shorts.data(), info.frames);
    sf_close(file);
    shorts.resize(size_t(read) * size_t(info.channels));
    for (const short value : shorts)
        take.samples.push_back(take.bits == 8 ? (value >> 8) + 128 : value);
    return true;
}

bool frameMatches(const Take& take, long at, long long signalFrame)
{
    for (int c = 0; c < take.channels; ++c)
        if (take.samples[size_t(at) * size_t(take.channels) + size_t(c)] !=
            signal_code::sample(uint64_t(signalFrame), c, take.bits))
            return false;
    return true;
}

bool silentFrame(const Take& take, long at)
{
    const int32_t silence = take.bits == 8 ? 128 : 0;
    for (int c = 0; c < take.channels; ++c)
        if (take.samples[size_t(at) * size_t(take.channels) + size_t(c)] != silence)
            return false;
    return true;
}

// The signal frame the take's frames from `at` on are, searched in [lo, hi]; -1 when none.
long long find(const Take& take, long at, long long lo, long long hi)
{
    // Enough frames to tell every place apart: 96 bits of noise.
    const long window = std::min<long>(take.frames() - at,
                                       std::max(1, (96 + take.channels * take.bits - 1) / (take.channels * take.bits)));
    for (long long p = std::max(0LL, lo); p <= hi; ++p) {
        long i = 0;
        while (i < window && frameMatches(take, at + i, p + i))
            ++i;
        if (i == window)
            return p;
    }
    return -1;
}

struct Part {
    long takeFrom;
    long long signalFrom;
    long length;
};

int usage()
{
    std::fprintf(stderr, "usage: take_check --take FILE --log LOG [--log ...] --record T [--pause T --resume T ...] "
                         "--stop T [--missed-ms MS] [--slack-ms MS]\n");
    return 2;
}

} // namespace

// take_check --info FILE: "RATE CHANNELS FRAMES RMS-DBFS" of any file libsndfile decodes, for
// takes in a lossy format, which are compared by length and level instead of sample by sample.
int info(const char* path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (!file) {
        std::printf("FAIL: %s does not decode: %s\n", path, sf_strerror(nullptr));
        return 1;
    }
    std::vector<float> block(4096 * size_t(info.channels));
    double sum = 0;
    long long frames = 0;
    for (sf_count_t got; (got = sf_readf_float(file, block.data(), 4096)) > 0;) {
        for (sf_count_t i = 0; i < got * info.channels; ++i)
            sum += double(block[size_t(i)]) * block[size_t(i)];
        frames += got;
    }
    sf_close(file);
    const double rms = frames > 0 ? std::sqrt(sum / double(frames * info.channels)) : 0;
    std::printf("%d %d %lld %.2f\n", info.samplerate, info.channels, frames, rms > 0 ? 20 * std::log10(rms) : -200.0);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--info")
        return info(argv[2]);
    std::string takePath;
    std::vector<Log> logs;
    double record = 0;
    double stop = 0;
    std::vector<double> pauses;
    std::vector<double> resumes;
    double missed = 0;
    double slack = 0.03;
    double preRoll = 0;
    double soundAt = -1;
    size_t bursts = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--take") {
            takePath = value;
        } else if (option == "--log") {
            Log log;
            if (!readLog(value, log)) {
                std::printf("FAIL: the player's log %s holds nothing\n", value);
                return 1;
            }
            logs.push_back(std::move(log));
        } else if (option == "--record") {
            record = std::atof(value);
        } else if (option == "--pause") {
            pauses.push_back(std::atof(value));
        } else if (option == "--resume") {
            resumes.push_back(std::atof(value));
        } else if (option == "--stop") {
            stop = std::atof(value);
        } else if (option == "--missed-ms") {
            missed = std::atof(value) / 1000;
        } else if (option == "--slack-ms") {
            slack = std::atof(value) / 1000;
        } else if (option == "--pre-roll-ms") {
            preRoll = std::atof(value) / 1000;
        } else if (option == "--sound-at-ms") {
            soundAt = std::atof(value) / 1000;
        } else if (option == "--bursts") {
            bursts = size_t(std::max(1, std::atoi(value)));
        } else {
            return usage();
        }
    }
    if (takePath.empty() || logs.empty() || (soundAt < 0 && (record <= 0 || stop <= 0)) ||
        resumes.size() > pauses.size())
        return usage();

    Take take;
    if (!readTake(takePath, take) || take.frames() == 0) {
        std::printf("FAIL: %s holds no audio\n", takePath.c_str());
        return 1;
    }
    std::printf("take: %ld frames, %d Hz, %d channels, %d bits (%.3f s)\n", take.frames(), take.rate, take.channels,
                take.bits, double(take.frames()) / take.rate);

    // Each player plays its own stretch of the signal; a frame is looked for in them.
    auto locate = [&](long frame) {
        for (const Log& log : logs) {
            const long long found = find(take, frame, static_cast<long long>(log.lowest) - 5LL * take.rate,
                                         static_cast<long long>(log.highest) + 5LL * take.rate);
            if (found >= 0)
                return found;
        }
        return -1LL;
    };

    std::vector<Part> parts;
    long leadingSilence = 0;
    long silent = 0;
    long foreign = 0;
    long at = 0;
    int searches = 0;
    while (at < take.frames()) {
        if (!parts.empty()) {
            Part& last = parts.back();
            if (frameMatches(take, at, last.signalFrom + last.length)) {
                ++last.length;
                ++at;
                continue;
            }
        }
        if (silentFrame(take, at)) {
            if (parts.empty())
                ++leadingSilence;
            ++silent;
            ++at;
            continue;
        }
        if (++searches > 1000) {
            std::printf("FAIL: the take does not hold the played signal (from frame %ld on)\n", at);
            return 1;
        }
        const long long found = locate(at);
        if (found < 0) {
            ++foreign;
            ++at;
            continue;
        }
        parts.push_back({at, found, 0});
    }

    bool ok = true;
    auto fail = [&ok](const std::string& what) {
        std::printf("FAIL: %s\n", what.c_str());
        ok = false;
    };
    std::printf("leading silence: %ld frames (%.3f s)\n", leadingSilence, double(leadingSilence) / take.rate);
    if (soundAt >= 0) {
        // The burst's first frame is a multiple of the burst period from the player's first frame;
        // a burst that begins with the take started before the take did.
        if (foreign > 0)
            fail("the take holds " + std::to_string(foreign) + " frames that are not the played signal");
        if (parts.size() != bursts)
            fail("the take holds " + std::to_string(parts.size()) + " bursts, not " + std::to_string(bursts));
        for (size_t i = 1; i < parts.size(); ++i)
            if (parts[i].signalFrom < parts[i - 1].signalFrom + parts[i - 1].length)
                fail("burst " + std::to_string(i + 1) + " repeats or comes before the burst before it");
        const double lead = double(leadingSilence) / take.rate;
        if (lead < soundAt - 0.0005 || lead > soundAt + 0.0105) {
            char text[200];
            std::snprintf(text, sizeof text, "the sound starts %.4f s into the take, not %.3f s", lead, soundAt);
            fail(text);
        }
        for (const Part& part : parts)
            std::printf("burst: signal frames %lld to %lld, %.4f s into the take\n", part.signalFrom,
                        part.signalFrom + part.length, double(part.takeFrom) / take.rate);
        if (ok)
            std::printf("OK\n");
        return ok ? 0 : 1;
    }
    if (silent > 0)
        fail("the take holds " + std::to_string(silent) + " frames of silence that were not played");
    if (foreign > 0)
        fail("the take holds " + std::to_string(foreign) + " frames that are not the played signal");

    const size_t wanted = 1 + resumes.size();
    for (size_t i = 0; i < parts.size(); ++i) {
        const Part& part = parts[i];
        const double from = heardAt(logs, double(part.signalFrom), take.rate);
        const double to = heardAt(logs, double(part.signalFrom + part.length), take.rate);
        const double started = i == 0 ? record : i - 1 < resumes.size() ? resumes[i - 1] : record;
        const double ended = i < pauses.size() ? pauses[i] : stop;
        std::printf("part %zu: take frames %ld to %ld are signal frames %lld to %lld, heard %+.3f s after %s to "
                    "%+.3f s after %s\n",
                    i + 1, part.takeFrom, part.takeFrom + part.length, part.signalFrom, part.signalFrom + part.length,
                    from - started, i == 0 ? "Record" : "Resume", to - ended, i < pauses.size() ? "Pause" : "Stop");
        if (i > 0 && part.signalFrom < parts[i - 1].signalFrom + parts[i - 1].length)
            fail("part " + std::to_string(i + 1) + " repeats audio of the part before it");
        if (i >= wanted)
            continue;
        const double late = from - started;
        const double expected = i == 0 ? missed - preRoll : 0;
        // The status line says in tenths of a second what it missed.
        const double rounding = i == 0 && missed > 0 ? 0.05 : 0;
        if (late < expected - kFragment - rounding || late > expected + kFragment + slack + rounding) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "part %zu starts with the audio heard %+.3f s after its moment, not %.3f s", i + 1, late,
                          expected);
            fail(text);
        }
        const double off = to - ended;
        if (off < -kFragment || off > kFragment + slack) {
            char text[200];
            std::snprintf(text, sizeof text, "part %zu ends with the audio heard %+.3f s after its moment", i + 1, off);
            fail(text);
        }
    }
    if (parts.size() != wanted)
        fail("the take is " + std::to_string(parts.size()) + " parts, not " + std::to_string(wanted));
    if (ok)
        std::printf("OK\n");
    return ok ? 0 : 1;
}
