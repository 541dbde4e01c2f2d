#include "library/chime.h"

#include <QFile>

#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace chime {

std::vector<float> samples(int rate)
{
    const auto frames = size_t(std::lround(totalSeconds * rate));
    std::vector<float> out(frames, 0.0f);
    const auto lead = size_t(std::lround(leadSeconds * rate));
    const auto toneFrames = size_t(std::lround(toneSeconds * rate));
    const double fade = fadeSeconds * rate;
    for (size_t tone = 0; tone < toneHz.size(); ++tone) {
        const double step = 2.0 * M_PI * toneHz[tone] / rate;
        for (size_t i = 0; i < toneFrames; ++i) {
            const double t = double(i);
            double envelope = amplitude * std::exp(-1.4 * t / rate); // a little decay, like a bell
            if (t < fade)
                envelope *= 0.5 - 0.5 * std::cos(M_PI * t / fade);
            const double left = double(toneFrames - 1 - i);
            if (left < fade)
                envelope *= 0.5 - 0.5 * std::cos(M_PI * left / fade);
            const size_t at = lead + tone * toneFrames + i;
            if (at < frames)
                out[at] = float(envelope * std::sin(step * t));
        }
    }
    return out;
}

bool writeWave(const QString& path, int rate)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    const std::vector<float> data = samples(rate);
    const bool written = sf_writef_float(file, data.data(), sf_count_t(data.size())) == sf_count_t(data.size());
    return sf_close(file) == 0 && written;
}

} // namespace chime

namespace {

// Short stretches of the recording: 40 ms long (a resolution of 25 Hz, the tones are 220 Hz and
// more apart), every 20 ms.
constexpr double windowSeconds = 0.04;
// A tone counts in a stretch when at least about half the stretch's energy is at its frequency
// (a pure tone gives 2/3 with the Hann window, white noise 2/N).
constexpr double toneShare = 0.3;
// Below this RMS a stretch is silence, whatever its content: about -50 dB of full scale.
constexpr double floorLevel = 0.003;
// Each tone must last this long, and the next must begin no later than this after it ends.
constexpr double minToneSeconds = 0.12;
constexpr double maxGapSeconds = 0.12;

struct Run {
    int tone = -1;
    size_t first = 0; // window index
    size_t last = 0;
};

double goertzelPower(const std::vector<double>& x, double frequency, double rate)
{
    if (frequency >= rate / 2)
        return 0;
    const double coeff = 2.0 * std::cos(2.0 * M_PI * frequency / rate);
    double s1 = 0;
    double s2 = 0;
    for (double v : x) {
        const double s = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

QString hz(int tone)
{
    return QStringLiteral("%1 Hz").arg(chime::toneHz[size_t(tone)], 0, 'f', 0);
}

} // namespace

ChimeCheck findChime(const QString& wavPath)
{
    ChimeCheck check;
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(wavPath).constData(), SFM_READ, &info);
    if (!file) {
        check.detail =
            QStringLiteral("cannot read the recording: %1").arg(QString::fromLocal8Bit(sf_strerror(nullptr)));
        return check;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(file);
        check.detail = QStringLiteral("cannot read the recording: no sound in it");
        return check;
    }

    // Mixed down to one channel.
    std::vector<double> mono;
    {
        const int channels = info.channels;
        std::vector<float> block(size_t(4096) * size_t(channels));
        for (;;) {
            const sf_count_t got = sf_readf_float(file, block.data(), 4096);
            if (got <= 0)
                break;
            for (sf_count_t f = 0; f < got; ++f) {
                double sum = 0;
                for (int c = 0; c < channels; ++c)
                    sum += block[size_t(f) * size_t(channels) + size_t(c)];
                mono.push_back(sum / channels);
            }
        }
    }
    sf_close(file);
    check.readable = true;

    const double rate = info.samplerate;
    const size_t window = std::max<size_t>(16, size_t(std::lround(windowSeconds * rate)));
    const size_t hop = window / 2;
    const double hopSeconds = double(hop) / rate;
    std::vector<double> hann(window);
    double hannEnergy = 0;
    for (size_t i = 0; i < window; ++i) {
        hann[i] = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(window - 1));
        hannEnergy += hann[i] * hann[i];
    }

    // Which tone, if any, each stretch holds.
    std::vector<int> toneAt;
    std::vector<double> x(window);
    for (size_t start = 0; start + window <= mono.size(); start += hop) {
        double energy = 0;
        for (size_t i = 0; i < window; ++i) {
            x[i] = mono[start + i] * hann[i];
            energy += x[i] * x[i];
        }
        const double level = std::sqrt(energy / hannEnergy);
        check.peakLevel = std::max(check.peakLevel, level);
        int best = -1;
        double bestShare = 0;
        if (level >= floorLevel) {
            for (size_t t = 0; t < chime::toneHz.size(); ++t) {
                const double share = 2.0 * goertzelPower(x, chime::toneHz[t], rate) / (double(window) * energy);
                if (share > bestShare) {
                    bestShare = share;
                    best = int(t);
                }
            }
        }
        toneAt.push_back(bestShare >= toneShare ? best : -1);
    }

    if (check.peakLevel < floorLevel) {
        check.detail = QStringLiteral("no chime: the recording is silent (loudest %1 dB)")
                           .arg(check.peakLevel > 0 ? 20 * std::log10(check.peakLevel) : -120.0, 0, 'f', 0);
        return check;
    }

    // Runs of one tone; a stretch or two of something else inside a tone (a click, a fade) does not
    // break it.
    std::vector<Run> runs;
    for (size_t w = 0; w < toneAt.size(); ++w) {
        const int tone = toneAt[w];
        if (tone < 0)
            continue;
        if (!runs.empty() && runs.back().tone == tone && w - runs.back().last <= 3)
            runs.back().last = w;
        else
            runs.push_back({tone, w, w});
    }
    auto seconds = [hopSeconds](const Run& run) { return double(run.last - run.first + 1) * hopSeconds; };

    // The longest chain of tones in the chime's order, each long enough and close after the last.
    size_t bestReached = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        if (runs[r].tone != 0 || seconds(runs[r]) < minToneSeconds)
            continue;
        size_t reached = 1;
        size_t current = r;
        for (size_t next = r + 1; next < runs.size() && reached < chime::toneHz.size(); ++next) {
            const double gap = (double(runs[next].first) - double(runs[current].last)) * hopSeconds;
            if (gap > maxGapSeconds)
                break;
            if (runs[next].tone == int(reached) && seconds(runs[next]) >= minToneSeconds) {
                current = next;
                ++reached;
            }
        }
        bestReached = std::max(bestReached, reached);
        if (reached == chime::toneHz.size()) {
            check.found = true;
            check.startSeconds = double(runs[r].first) * hopSeconds;
            check.detail = QStringLiteral("chime found at %1 s (%2, %3 and %4 in order)")
                               .arg(check.startSeconds, 0, 'f', 2)
                               .arg(hz(0), hz(1), hz(2));
            return check;
        }
    }
    const QString level = QStringLiteral("loudest %1 dB").arg(20 * std::log10(check.peakLevel), 0, 'f', 0);
    if (bestReached == 0)
        check.detail = QStringLiteral("no chime: sound, but not its first tone, %1 (%2)").arg(hz(0), level);
    else
        check.detail = QStringLiteral("no chime: %1 heard, but not %2 after it (%3)")
                           .arg(hz(int(bestReached) - 1), hz(int(bestReached)), level);
    return check;
}
