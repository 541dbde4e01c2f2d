// Compares a take with the signal that was played while it was recorded (signal_code.h, played by
// signal_player), frame for frame, and with the moments the user acted.
//
// usage: take_check --take FILE --log PLAYER_LOG [--log ...] --record T [--pause T --resume T ...]
//                   --stop T [--missed-ms MS] [--slack-ms MS] [--pre-roll-ms MS] [--reference FILE]
//        take_check --take FILE --log PLAYER_LOG --sound-at-ms MS [--bursts N] [--reference FILE]
// --pre-roll-ms: the take keeps that much from before Record, so it starts with the audio heard that
// long before Record.
// --sound-at-ms: a take that sound started, of a signal played in bursts: it holds one burst, whole
// from its first frame, after silence of MS (within a 10 ms block of the sound trigger), and nothing
// else; --bursts: N bursts, in the order played, the first MS into the take. With --reference, a
// stretch within a burst that the reference holds the same at the same place in the signal does not
// part the burst.
// T are wall-clock seconds (date +%s.%N) taken just before the action; MS what the program said
// it missed at the start (0 or absent: nothing).
// --reference FILE: the same source recorded meanwhile by another client (parec --raw, in the take's
// rate, channels and sample format, from before Record until after Stop): a witness of what the
// sound server delivered. A stretch of the take that is not the signal (silence, other frames, or a
// jump over signal frames) passes only when the reference holds the same at the same place in the
// signal, within a few frames, or, where signal frames are lost, when the reference lost signal frames
// that meet them: the server delivered it so to every client. Every other check stays
// as it is, but that when the player ran dry (the reference holds more silence than signal lost) or
// its reports move by more than 0.15 s across the reference's first such stretch (off by up to the
// player's buffer), the moments of frames after it are counted on the reference's frames; a
// reference that holds no signal is left out.
// On PipeWire (TRELVIK_TEST_SERVER_LOG, tests/recording/server_log.h), signal lost where the server
// logs that the program's stream missed cycles of its graph passes too.
//
// It finds every frame of the take in the signal and prints the parts the take is made of. It fails
// (exit 1) when a frame is not the signal's (silence or anything else put in), when audio repeats
// or parts come out of order, when there are more or fewer parts than the pauses make, or when a
// part starts or ends away from its moment: a start must be the audio heard at Record (or at
// Resume) within one fragment (50 ms), or as late as the program said it missed (said in tenths of a
// second, so within half of one more); an end the audio
// heard at Pause (or Stop) within a fragment. slack-ms widens both by the time the action takes to
// reach the program (a key through X, a command through D-Bus). Parts joined by a stretch that the
// reference shares count as one.

#include "tests/app/signal_code.h"
#include "tests/recording/server_log.h"

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
// frame 0 would have been heard; their median stands against the jitter of single reports. With
// `below`, only reports of frames before that one count, while there are any.
double heardAt(const std::vector<Log>& logs, double frame, int rate, double below = 1e300)
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
        if (std::fabs(e.frame - frame) <= rate && e.frame < below)
            origins.push_back(e.time - e.frame / rate);
    if (origins.empty())
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

// Reads a take, or with `raw` set a headerless file in the rate, channels and bits already in
// `take` (parec --raw: little-endian 16-bit signed, or 8-bit unsigned).
bool readTake(const std::string& path, Take& take, bool raw = false)
{
    SF_INFO info{};
    if (raw) {
        info.samplerate = take.rate;
        info.channels = take.channels;
        info.format = SF_FORMAT_RAW | SF_ENDIAN_LITTLE | (take.bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    }
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return false;
    take.rate = info.samplerate;
    take.channels = info.channels;
    // 8-bit audio: unsigned in a wave file, signed in FLAC; both read as they were recorded.
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    take.bits = subtype == SF_FORMAT_PCM_U8 || subtype == SF_FORMAT_PCM_S8 ? 8 : 16;
    take.samples.clear();
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

// Whether the take's frame `at` is signal frame `signalFrame` on some channels and silence on the
// others: a cycle the sound server mixed with a channel missing (PipeWire, on a machine that holds
// its threads up, does that to every client alike).
bool partialFrame(const Take& take, long at, long long signalFrame)
{
    const int32_t silence = take.bits == 8 ? 128 : 0;
    bool heard = false;
    bool missing = false;
    for (int c = 0; c < take.channels; ++c) {
        const int32_t sample = take.samples[size_t(at) * size_t(take.channels) + size_t(c)];
        if (sample == signal_code::sample(uint64_t(signalFrame), c, take.bits))
            heard = true;
        else if (sample == silence)
            missing = true;
        else
            return false;
    }
    return heard && missing;
}

// The first signal frame p in [lo, hi] such that `window` frames from the take's frame `at` on
// are the signal's from p on, as `matches(takeFrame, signalFrame)` judges; -1 when none.
template <typename Matches> long long search(long at, long window, long long lo, long long hi, Matches matches)
{
    for (long long p = std::max(0LL, lo); p <= hi; ++p) {
        long i = 0;
        while (i < window && matches(at + i, p + i))
            ++i;
        if (i == window)
            return p;
    }
    return -1;
}

// The signal frame the take's frames from `at` on are, searched in [lo, hi]; -1 when none.
long long find(const Take& take, long at, long long lo, long long hi)
{
    // Enough frames to tell every place apart: 96 bits of noise.
    const long window = std::min<long>(take.frames() - at,
                                       std::max(1, (96 + take.channels * take.bits - 1) / (take.channels * take.bits)));
    return search(at, window, lo, hi, [&take](long t, long long p) { return frameMatches(take, t, p); });
}

// The signal frame the take's frames from `at` on are with a channel missing (partialFrame),
// searched in [lo, hi]; -1 when none, or when frame `at` does not look so.
long long findPartial(const Take& take, long at, long long lo, long long hi)
{
    const int32_t silence = take.bits == 8 ? 128 : 0;
    int missing = 0;
    for (int c = 0; c < take.channels; ++c)
        missing += take.samples[size_t(at) * size_t(take.channels) + size_t(c)] == silence ? 1 : 0;
    if (missing == 0 || missing == take.channels)
        return -1;
    // 96 bits of noise on the channels there.
    const int bits = (take.channels - missing) * take.bits;
    const long window = std::min<long>(take.frames() - at, (96 + bits - 1) / bits);
    return search(at, window, lo, hi, [&take](long t, long long p) { return partialFrame(take, t, p); });
}

struct Part {
    long takeFrom;
    long long signalFrom;
    long length;
};

bool sameFrames(const Take& a, long aFrom, const Take& b, long bFrom, long count)
{
    for (long i = 0; i < count; ++i)
        for (int c = 0; c < a.channels; ++c)
            if (a.samples[size_t(aFrom + i) * size_t(a.channels) + size_t(c)] !=
                b.samples[size_t(bFrom + i) * size_t(b.channels) + size_t(c)])
                return false;
    return true;
}

// Where every frame of a recording is in the signal: the parts that follow it frame by frame, and
// between them frames of silence or of anything else.
struct Decomposition {
    std::vector<Part> parts;
    long leadingSilence = 0; // silent frames before the first part
    long silent = 0;
    long foreign = 0;
    long lostAt = -1; // the frame from which on the recording is not the signal at all
};

// With `split`, a part ends where the recording stops following the signal, even when the signal
// goes on after a stretch as if nothing had been between (the sink played silence while the player
// ran dry): every part then holds take frames one after the other, and what is between two parts is
// all the take holds there. A frame the same as the one before it, which was not the signal, is not
// looked for again: a long stretch of one value (silence in another value) is one stretch.
Decomposition decompose(const Take& take, const std::vector<Log>& logs, bool split)
{
    // Each player plays its own stretch of the signal; a frame is looked for in them.
    auto locate = [&](long frame, long long (*finder)(const Take&, long, long long, long long) = find) {
        for (const Log& log : logs) {
            const long long found = finder(take, frame, static_cast<long long>(log.lowest) - 5LL * take.rate,
                                           static_cast<long long>(log.highest) + 5LL * take.rate);
            if (found >= 0)
                return found;
        }
        return -1LL;
    };
    Decomposition d;
    long at = 0;
    int searches = 0;
    long lastForeign = -1;
    long long partialNext = -1; // the signal frame the next frame with channels missing stands for
    while (at < take.frames()) {
        if (!d.parts.empty()) {
            Part& last = d.parts.back();
            if (frameMatches(take, at, last.signalFrom + last.length)) {
                if (split && at != last.takeFrom + last.length) {
                    d.parts.push_back({at, last.signalFrom + last.length, 1});
                } else {
                    ++last.length;
                }
                partialNext = -1;
                ++at;
                continue;
            }
        }
        // Frames with a channel missing are not the signal, but they keep its place: not looked for
        // one by one, and the signal is looked for once after them.
        const long long next = partialNext >= 0  ? partialNext
                               : d.parts.empty() ? -1
                                                 : d.parts.back().signalFrom + d.parts.back().length;
        if (next >= 0 && !silentFrame(take, at) && partialFrame(take, at, next)) {
            partialNext = next + 1;
            lastForeign = at;
            ++d.foreign;
            ++at;
            continue;
        }
        if (silentFrame(take, at)) {
            if (d.parts.empty())
                ++d.leadingSilence;
            ++d.silent;
            ++at;
            continue;
        }
        if (split && at > 0 && lastForeign == at - 1 && sameFrames(take, at, take, at - 1, 1)) {
            lastForeign = at;
            ++d.foreign;
            ++at;
            continue;
        }
        if (++searches > 1000) {
            d.lostAt = at;
            return d;
        }
        const long long found = locate(at);
        if (found < 0) {
            // Frames with a channel missing right after a jump: their place is looked for once.
            if (const long long partial = locate(at, findPartial); partial >= 0)
                partialNext = partial + 1;
            lastForeign = at;
            ++d.foreign;
            ++at;
            continue;
        }
        d.parts.push_back({at, found, 0});
        partialNext = -1;
    }
    return d;
}

// A stretch of a recording between two parts, or before the first or after the last: frames
// [takeFrom, takeTo) that are not the signal, heard where the signal goes on from signal frame
// `before` (the first not heard before the stretch; -1: the recording starts with it) to `after`
// (the first heard after it; -1: the recording ends with it). Without frames in it, a jump over
// signal frames.
struct Gap {
    long takeFrom;
    long takeTo;
    long long before;
    long long after;
    size_t part; // the part after it (parts.size() for the one at the end)
    long length() const { return takeTo - takeFrom; }
};

std::vector<Gap> gapsOf(const Take& take, const std::vector<Part>& parts)
{
    std::vector<Gap> gaps;
    if (parts.empty())
        return gaps;
    if (parts.front().takeFrom > 0)
        gaps.push_back({0, parts.front().takeFrom, -1, parts.front().signalFrom, 0});
    for (size_t i = 1; i < parts.size(); ++i)
        gaps.push_back({parts[i - 1].takeFrom + parts[i - 1].length, parts[i].takeFrom,
                        parts[i - 1].signalFrom + parts[i - 1].length, parts[i].signalFrom, i});
    const Part& last = parts.back();
    if (last.takeFrom + last.length < take.frames())
        gaps.push_back({last.takeFrom + last.length, take.frames(), last.signalFrom + last.length, -1, parts.size()});
    return gaps;
}

bool silentFrames(const Take& take, long from, long to)
{
    for (long i = from; i < to; ++i)
        if (!silentFrame(take, i))
            return false;
    return true;
}

// How far apart, in frames, the same stretch may be placed in a take and in its reference: a signal
// frame that happens to be silence (one in 256 of 8-bit mono) joins the stretch next to it.
constexpr long kNear = 4;

// How many more signal frames a take may lose than its reference where the two lose some at the
// same place: up to two cycles of PipeWire's graph (1024 frames each at 44100 Hz), never a pause.
constexpr long long kCycle = 2048;

bool near(long long a, long long b)
{
    return a >= 0 && b >= 0 && std::llabs(a - b) <= kNear;
}

// Whether the reference holds the take's gap at the same place in the signal: the same signal
// frames missing, and in place of them as many frames, silent in both or the same in both. A gap at
// the start or end of the take is part of a longer one in the reference, which goes on before
// Record and after Stop.
bool shared(const Take& take, const Gap& gap, const Take& reference, const std::vector<Gap>& referenceGaps)
{
    for (const Gap& r : referenceGaps) {
        if (r.before < 0) // before the reference holds any signal: no place to compare
            continue;
        // The take lost less there than the reference: its frames are the reference's last ones,
        // standing in for the same signal frames (a cycle mixed with a channel missing, after a cycle
        // the reference alone lost).
        if (gap.before >= 0 && gap.after >= 0 && gap.after == r.after && gap.before >= r.before && gap.length() > 0 &&
            gap.length() <= r.length() &&
            sameFrames(take, gap.takeFrom, reference, r.takeTo - gap.length(), gap.length()))
            return true;
        if (gap.before < 0) {
            // The take starts inside the stretch: its frames are the end of the reference's.
            if (!near(gap.after, r.after) || gap.length() > r.length() + kNear)
                continue;
            if (silentFrames(take, gap.takeFrom, gap.takeTo) && silentFrames(reference, r.takeFrom, r.takeTo))
                return true;
            if (gap.after == r.after && gap.length() <= r.length() &&
                sameFrames(take, gap.takeFrom, reference, r.takeTo - gap.length(), gap.length()))
                return true;
        } else if (gap.after < 0) {
            // The take ends inside the stretch: its frames are the start of the reference's.
            if (!near(gap.before, r.before) || gap.length() > r.length() + kNear)
                continue;
            if (silentFrames(take, gap.takeFrom, gap.takeTo) && silentFrames(reference, r.takeFrom, r.takeTo))
                return true;
            if (gap.before == r.before && gap.length() <= r.length() &&
                sameFrames(take, gap.takeFrom, reference, r.takeFrom, gap.length()))
                return true;
        } else {
            // A cycle the server dropped, held up for longer than one (server_log.h): the take lost
            // signal frames, silence or nothing in their place, where the reference lost some too. Which of two
            // neighbouring cycles each client loses depends on when it was held up, so the two stretches need only
            // meet, and be about as long.
            if (r.after >= 0 && gap.after > gap.before && r.after > r.before && gap.before <= r.after + kNear &&
                r.before <= gap.after + kNear && gap.after - gap.before <= r.after - r.before + kCycle &&
                silentFrames(take, gap.takeFrom, gap.takeTo))
                return true;
            if (!near(gap.before, r.before) || !near(gap.after, r.after) ||
                std::labs(gap.length() - r.length()) > kNear)
                continue;
            if (silentFrames(take, gap.takeFrom, gap.takeTo) && silentFrames(reference, r.takeFrom, r.takeTo))
                return true;
            if (gap.length() == r.length() && sameFrames(take, gap.takeFrom, reference, r.takeFrom, gap.length()))
                return true;
        }
    }
    return false;
}

std::string describe(const Take& take, const Gap& gap)
{
    char text[300];
    const long silence = [&] {
        long n = 0;
        for (long i = gap.takeFrom; i < gap.takeTo; ++i)
            n += silentFrame(take, i) ? 1 : 0;
        return n;
    }();
    std::string what;
    if (gap.length() > 0) {
        std::snprintf(text, sizeof text, "take frames %ld to %ld (%.3f s in) are %ld frames of silence", gap.takeFrom,
                      gap.takeTo, double(gap.takeFrom) / take.rate, silence);
        what = text;
        if (silence < gap.length())
            what += " and " + std::to_string(gap.length() - silence) + " other frames";
    } else {
        std::snprintf(text, sizeof text, "at take frame %ld (%.3f s in)", gap.takeFrom,
                      double(gap.takeFrom) / take.rate);
        what = text;
    }
    if (gap.before < 0) {
        std::snprintf(text, sizeof text, ", before signal frame %lld", gap.after);
    } else if (gap.after < 0) {
        std::snprintf(text, sizeof text, ", after signal frame %lld", gap.before - 1);
    } else if (gap.after > gap.before) {
        std::snprintf(text, sizeof text, ", the signal jumps over %lld frames (%lld to %lld)", gap.after - gap.before,
                      gap.before, gap.after);
    } else if (gap.after < gap.before) {
        std::snprintf(text, sizeof text, ", the signal goes back %lld frames (from %lld to %lld)",
                      gap.before - gap.after, gap.before, gap.after);
    } else {
        std::snprintf(text, sizeof text, ", between signal frames %lld and %lld", gap.before - 1, gap.after);
    }
    return what + text;
}

// The moments frames of the signal were heard. The player's reports tell them, but not always after
// a stretch in which the reference shows that the sink did not play the signal as it came (the
// player ran dry, or the server dropped frames): the player's stream may then measure its latency
// from where the sink went on reading, its reports off by up to its buffer. Then the reference,
// which holds every frame the sink played, one after the other, but for cycles the server dropped
// for it too (the signal jumps), counts the time from its frames before the first such stretch to
// any frame after it.
class Moments {
public:
    Moments(const std::vector<Log>& logs, int rate) : m_logs(logs), m_rate(rate) {}

    // The parts of the reference, where it holds the signal.
    void witness(const std::vector<Part>& parts)
    {
        if (parts.size() < 2)
            return;
        const Part& first = parts.front();
        const double breakAt = double(first.signalFrom + first.length);
        // Where the server only dropped cycles (no more silence in the reference than signal
        // jumped over), reports that go on as before across the break tell the moments best: a sink
        // whose graph was held up loses that time for every client, which no count of frames shows.
        // Where the player ran dry (more silence than signal jumped over), or its reports moved by
        // far more than a hold-up, its reports are off: the reference counts.
        bool ranDry = false;
        for (size_t i = 1; i < parts.size(); ++i)
            ranDry = ranDry || parts[i].takeFrom - (parts[i - 1].takeFrom + parts[i - 1].length) >
                                   parts[i].signalFrom - (parts[i - 1].signalFrom + parts[i - 1].length) + kNear;
        const double before = medianOrigin(breakAt - m_rate, breakAt);
        const double after = medianOrigin(double(parts[1].signalFrom), double(parts[1].signalFrom) + m_rate);
        if (!ranDry && (std::isnan(before) || std::isnan(after) || std::fabs(after - before) <= kReportsAgree))
            return;
        // The reference's frame 0, by the player's reports of the frames before the break (the
        // second before it, as heardAt takes them).
        std::vector<double> origins;
        for (int pass = 0; pass < 2 && origins.empty(); ++pass)
            for (const Log& log : m_logs)
                for (const Heard& e : log.entries)
                    if (e.frame >= double(first.signalFrom) && e.frame < breakAt &&
                        (pass == 1 || e.frame >= breakAt - m_rate))
                        origins.push_back(e.time -
                                          (double(first.takeFrom) + e.frame - double(first.signalFrom)) / m_rate);
        if (origins.empty())
            return;
        std::nth_element(origins.begin(), origins.begin() + long(origins.size() / 2), origins.end());
        m_origin = origins[origins.size() / 2];
        m_parts = parts;
        m_break = breakAt;
        // The reference's own clock goes on over a cycle the server dropped for it: the signal frames
        // it jumped over beyond the frames that stand in their place are time too.
        m_lost.assign(parts.size(), 0);
        for (size_t i = 1; i < parts.size(); ++i) {
            const long long jumped = parts[i].signalFrom - (parts[i - 1].signalFrom + parts[i - 1].length);
            const long standing = parts[i].takeFrom - (parts[i - 1].takeFrom + parts[i - 1].length);
            m_lost[i] = m_lost[i - 1] + std::max(0LL, jumped - standing);
        }
    }

    // The signal frame heard at `moment`, searched for from frame `near` on either side.
    long long frameAt(double moment, long long near) const
    {
        long long lo = near - 60LL * m_rate;
        long long hi = near + 60LL * m_rate;
        while (hi - lo > 1) {
            const long long mid = lo + (hi - lo) / 2;
            (start(mid) <= moment ? lo : hi) = mid;
        }
        return lo;
    }

    // Whether moments after the reference's first break are counted on its frames.
    bool counts() const { return !m_parts.empty(); }

    // When signal frame `frame` was heard.
    double start(long long frame) const
    {
        const double r = referenceFrame(frame);
        if (r >= 0)
            return m_origin + r / m_rate;
        return reported(frame);
    }

    // When the frame before signal frame `frame` ended.
    double end(long long frame) const
    {
        const double r = referenceFrame(frame - 1);
        if (r >= 0)
            return m_origin + (r + 1) / m_rate;
        return reported(frame);
    }

private:
    // How far the player's reports may move across a break and still tell the moments.
    static constexpr double kReportsAgree = 0.15;

    // The moment frame 0 was heard, by the median of the reports of frames from `from` to `to`; NaN
    // without any.
    double medianOrigin(double from, double to) const
    {
        std::vector<double> origins;
        for (const Log& log : m_logs)
            for (const Heard& e : log.entries)
                if (e.frame >= from && e.frame < to)
                    origins.push_back(e.time - e.frame / m_rate);
        if (origins.empty())
            return std::nan("");
        std::nth_element(origins.begin(), origins.begin() + long(origins.size() / 2), origins.end());
        return origins[origins.size() / 2];
    }

    // By the player's reports; before the break, by those of frames before it.
    double reported(long long frame) const
    {
        return heardAt(m_logs, double(frame), m_rate, double(frame) < m_break ? m_break : 1e300);
    }

    // Where in the reference a signal frame after its first break is; -1 when it is not there.
    double referenceFrame(long long frame) const
    {
        if (m_parts.empty() || double(frame) < m_break)
            return -1;
        for (size_t i = 0; i < m_parts.size(); ++i) {
            const Part& part = m_parts[i];
            if (frame >= part.signalFrom && frame < part.signalFrom + part.length)
                return double(part.takeFrom + m_lost[i] + (frame - part.signalFrom));
        }
        return -1;
    }

    const std::vector<Log>& m_logs;
    int m_rate;
    std::vector<Part> m_parts;
    std::vector<long long> m_lost; // frames of time the reference lost before each of its parts
    double m_break = 1e300;
    double m_origin = 0;
};

int usage()
{
    std::fprintf(stderr, "usage: take_check --take FILE --log LOG [--log ...] --record T [--pause T --resume T ...] "
                         "--stop T [--missed-ms MS] [--slack-ms MS] [--pre-roll-ms MS] [--reference FILE]\n"
                         "       take_check --take FILE --log LOG --sound-at-ms MS [--bursts N] [--reference FILE]\n");
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
    std::string referencePath;
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
        } else if (option == "--reference") {
            referencePath = value;
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

    const Decomposition d = decompose(take, logs, soundAt < 0);
    if (d.lostAt >= 0) {
        std::printf("FAIL: the take does not hold the played signal (from frame %ld on)\n", d.lostAt);
        return 1;
    }
    const std::vector<Part>& parts = d.parts;
    const long leadingSilence = d.leadingSilence;
    long silent = d.silent;
    long foreign = d.foreign;

    bool ok = true;
    auto fail = [&ok](const std::string& what) {
        std::printf("FAIL: %s\n", what.c_str());
        ok = false;
    };
    std::printf("leading silence: %ld frames (%.3f s)\n", leadingSilence, double(leadingSilence) / take.rate);
    // The witness: what the sound server delivered to another client meanwhile.
    Take reference;
    std::vector<Gap> referenceGaps;
    Moments moments(logs, take.rate);
    bool witnessed = false;
    if (!referencePath.empty()) {
        reference.rate = take.rate;
        reference.channels = take.channels;
        reference.bits = take.bits;
        if (!readTake(referencePath, reference, true) || reference.frames() == 0) {
            std::printf("reference: %s holds no audio; checked without it\n", referencePath.c_str());
        } else {
            const Decomposition r = decompose(reference, logs, true);
            if (r.lostAt >= 0 || r.parts.empty()) {
                std::printf("reference: %ld frames that do not hold the played signal; checked without it\n",
                            reference.frames());
            } else {
                witnessed = true;
                referenceGaps = gapsOf(reference, r.parts);
                moments.witness(r.parts);
                const long inner = long(std::count_if(referenceGaps.begin(), referenceGaps.end(),
                                                      [](const Gap& g) { return g.before >= 0 && g.after >= 0; }));
                std::printf("reference: %ld frames (%.3f s), signal frames %lld to %lld, %ld stretches in between "
                            "that are not the signal\n",
                            reference.frames(), double(reference.frames()) / reference.rate, r.parts.front().signalFrom,
                            r.parts.back().signalFrom + r.parts.back().length, inner);
                if (moments.counts())
                    std::printf("reference: the player ran dry or its reports move across the reference's first "
                                "break; the moments after it are counted on the reference's frames\n");
            }
        }
    }

    if (soundAt >= 0) {
        // A stretch within a burst that the reference holds the same (a cycle or two the server
        // played otherwise, for every client) joins the parts beside it, and its frames were heard so.
        // The silence between two bursts of one take is never such a stretch.
        std::vector<bool> joined(parts.size(), false);
        for (const Gap& gap : gapsOf(take, parts)) {
            if (gap.before < 0 || gap.after < gap.before || gap.after - gap.before > kCycle || !witnessed ||
                !shared(take, gap, reference, referenceGaps))
                continue;
            joined[gap.part] = true;
            for (long i = gap.takeFrom; i < gap.takeTo; ++i)
                foreign -= silentFrame(take, i) ? 0 : 1;
            std::printf("the reference holds the same: %s\n", describe(take, gap).c_str());
        }
        const size_t heard = size_t(std::count(joined.begin(), joined.end(), false));
        if (foreign > 0)
            fail("the take holds " + std::to_string(foreign) + " frames that are not the played signal");
        if (heard != bursts)
            fail("the take holds " + std::to_string(heard) + " bursts, not " + std::to_string(bursts));
        for (size_t i = 1; i < parts.size(); ++i)
            if (!joined[i] && parts[i].signalFrom < parts[i - 1].signalFrom + parts[i - 1].length)
                fail("burst " + std::to_string(i + 1) + " repeats or comes before the burst before it");
        // The burst's first frame is a multiple of the burst period from the player's first frame;
        // a burst that begins with the take started before the take did.
        const double lead = double(leadingSilence) / take.rate;
        if (lead < soundAt - 0.0005 || lead > soundAt + 0.0105) {
            char text[200];
            std::snprintf(text, sizeof text, "the sound starts %.4f s into the take, not %.3f s", lead, soundAt);
            fail(text);
        }
        for (size_t i = 0; i < parts.size(); ++i)
            std::printf("%s: signal frames %lld to %lld, %.4f s into the take\n", joined[i] ? "  goes on" : "burst",
                        parts[i].signalFrom, parts[i].signalFrom + parts[i].length,
                        double(parts[i].takeFrom) / take.rate);
        if (ok)
            std::printf("OK\n");
        return ok ? 0 : 1;
    }

    // Every stretch that is not the signal fails, but for one the reference shares. Parts that such
    // a stretch parts are one; one at the start or end counts in the moment the take starts or ends.
    std::vector<bool> goesOn(parts.size() + 1, false); // part i goes on from part i - 1
    long sharedBefore = 0;
    long sharedAfter = 0;
    std::vector<server_log::Missed> serverMissed = server_log::missedCycles("Trelvik");
    // Signal frames the server dropped for the program's stream that no hole has stood for yet.
    long long unanswered = 0;
    for (const Gap& gap : gapsOf(take, parts)) {
        const bool shares = witnessed && shared(take, gap, reference, referenceGaps);
        // Signal lost, silence or nothing in its place, where the server says it dropped cycles of
        // the program's stream: its doing, though no other client lost them.
        const bool lost = gap.before >= 0 && gap.after > gap.before && silentFrames(take, gap.takeFrom, gap.takeTo);
        const bool dropped =
            !shares && lost &&
            server_log::takeMissed(serverMissed, moments.start(gap.before), double(gap.after - gap.before) / take.rate);
        // A cycle dropped may come back as a hole in the stream, which the program keeps as the
        // silence it stands for: no more of it than was dropped before, and nothing of the signal
        // lost with it.
        const bool hole = !shares && !dropped && gap.before >= 0 && gap.after == gap.before &&
                          gap.length() <= unanswered && silentFrames(take, gap.takeFrom, gap.takeTo);
        // The hole for a cycle dropped before the take's first frame, in the stream that kept the
        // seconds before Record: the server's log says it dropped cycles of the program's stream
        // in the two seconds before.
        const bool earlierHole = !shares && !dropped && !hole && gap.before >= 0 && gap.after == gap.before &&
                                 gap.length() <= kCycle && silentFrames(take, gap.takeFrom, gap.takeTo) &&
                                 server_log::takeMissed(serverMissed, moments.start(gap.before) - 1.0,
                                                        double(gap.length()) / take.rate, 1.0);
        if ((shares || dropped) && lost)
            unanswered += std::max(0LL, (gap.after - gap.before) - gap.length());
        if (hole)
            unanswered -= gap.length();
        const bool delivered = shares || dropped || hole || earlierHole;
        // A jump the reference does not share starts a new part, which the checks of parts judge.
        const char* verdict =
            shares             ? "the sound server delivered it so (the reference has it too)"
            : dropped          ? "the sound server dropped it for the program alone (its log says so then)"
            : hole             ? "the hole the sound server left for a cycle it dropped before"
            : earlierHole      ? "the hole the sound server left for a cycle it dropped before the take (its log "
                                 "says so)"
            : gap.length() > 0 ? (witnessed ? "not the signal, and the reference does not have it" : "not the signal")
                               : (witnessed ? "a new part; the reference does not have this jump" : "a new part");
        std::printf("%s: %s\n", describe(take, gap).c_str(), verdict);
        if (!delivered)
            continue;
        for (long i = gap.takeFrom; i < gap.takeTo; ++i) {
            if (silentFrame(take, i))
                --silent;
            else
                --foreign;
        }
        if (gap.before < 0)
            sharedBefore = gap.length();
        else if (gap.after < 0)
            sharedAfter = gap.length();
        else
            goesOn[gap.part] = true;
    }
    if (silent > 0)
        fail("the take holds " + std::to_string(silent) + " frames of silence that were not played");
    if (foreign > 0)
        fail("the take holds " + std::to_string(foreign) + " frames that are not the played signal");

    // The parts between the user's actions: the take's parts, but for those that go on from the one
    // before across a stretch the reference shares.
    struct Whole {
        long takeFrom;
        long takeTo;
        long long signalFrom;
        long long signalTo;
    };
    std::vector<Whole> wholes;
    for (size_t i = 0; i < parts.size(); ++i) {
        const Part& part = parts[i];
        if (i > 0 && goesOn[i]) {
            wholes.back().takeTo = part.takeFrom + part.length;
            wholes.back().signalTo = part.signalFrom + part.length;
        } else {
            wholes.push_back(
                {part.takeFrom, part.takeFrom + part.length, part.signalFrom, part.signalFrom + part.length});
        }
    }

    const size_t wanted = 1 + resumes.size();
    for (size_t i = 0; i < wholes.size(); ++i) {
        const Whole& part = wholes[i];
        // A take that starts or ends with silence the reference shares starts with the silence heard
        // just before the first frame of the signal, or ends with that heard just after its last.
        const double from = moments.start(part.signalFrom) - (i == 0 ? double(sharedBefore) / take.rate : 0.0);
        const double to = moments.end(part.signalTo) + (i + 1 == wholes.size() ? double(sharedAfter) / take.rate : 0.0);
        const double started = i == 0 ? record : i - 1 < resumes.size() ? resumes[i - 1] : record;
        const double ended = i < pauses.size() ? pauses[i] : stop;
        std::printf("part %zu: take frames %ld to %ld are signal frames %lld to %lld, heard %+.3f s after %s to "
                    "%+.3f s after %s\n",
                    i + 1, part.takeFrom, part.takeTo, part.signalFrom, part.signalTo, from - started,
                    i == 0 ? "Record" : "Resume", to - ended, i < pauses.size() ? "Pause" : "Stop");
        if (i > 0 && part.signalFrom < wholes[i - 1].signalTo)
            fail("part " + std::to_string(i + 1) + " repeats audio of the part before it");
        if (i >= wanted)
            continue;
        double late = from - started;
        // The seconds kept from before Record are seconds of audio: counted in the signal's frames
        // back from the one heard at Record, as a sink whose graph was held up plays them over
        // longer.
        if (i == 0 && preRoll > 0)
            late = double(part.signalFrom - sharedBefore - moments.frameAt(record, part.signalFrom)) / take.rate;
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
    if (wholes.size() != wanted)
        fail("the take is " + std::to_string(wholes.size()) + " parts, not " + std::to_string(wanted));
    if (ok)
        std::printf("OK\n");
    return ok ? 0 : 1;
}
