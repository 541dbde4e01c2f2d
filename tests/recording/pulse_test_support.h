#pragma once

// Helpers for the tests that run against a real sound server: the private PulseAudio that test.sh
// starts (a null sink whose monitor hears what is played into it), pactl and paplay to drive it,
// and libsndfile to read recordings back.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTest>

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace pulse_test {

inline QString testSink()
{
    const QByteArray sink = qgetenv("TRELVIK_TEST_SINK");
    return sink.isEmpty() ? QStringLiteral("trelvik_sink") : QString::fromLocal8Bit(sink);
}

inline QString testMonitor()
{
    return testSink() + QStringLiteral(".monitor");
}

struct Result {
    int exitCode = -1;
    QByteArray out;
};

inline Result run(const QString& program, const QStringList& args, int timeoutMs = 30000,
                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    Result result;
    if (!process.waitForStarted(5000))
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(2000);
        return result;
    }
    result.out = process.readAllStandardOutput();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

inline bool serverAnswers()
{
    return run(QStringLiteral("pactl"), {QStringLiteral("info")}, 5000).exitCode == 0;
}

// To be called first in main: 0 to go on; 77 (skipped) without a test server configured; 1 when one
// is configured but does not answer.
inline int gate(const char* testName)
{
    if (serverAnswers())
        return 0;
    if (qEnvironmentVariableIsEmpty("TRELVIK_TEST_SINK")) {
        std::fprintf(stderr, "%s: no sound server and TRELVIK_TEST_SINK unset: skipped\n", testName);
        return 77;
    }
    std::fprintf(stderr, "%s: TRELVIK_TEST_SINK is set but no sound server answers\n", testName);
    return 1;
}

inline QString pactl(const QStringList& args)
{
    const Result result = run(QStringLiteral("pactl"), args, 10000);
    return result.exitCode == 0 ? QString::fromUtf8(result.out).trimmed() : QString();
}

// Loads a module and returns its index, or -1.
inline int loadModule(const QString& name, const QStringList& args)
{
    bool ok = false;
    const int index = pactl(QStringList{QStringLiteral("load-module"), name} + args).toInt(&ok);
    return ok ? index : -1;
}

inline void unloadModule(int index)
{
    if (index >= 0)
        pactl({QStringLiteral("unload-module"), QString::number(index)});
}

inline QString defaultSource()
{
    return pactl({QStringLiteral("get-default-source")});
}

inline void setDefaultSource(const QString& name)
{
    pactl({QStringLiteral("set-default-source"), name});
}

// The raw volume of every channel of a source.
inline std::vector<uint32_t> sourceVolume(const QString& name)
{
    std::vector<uint32_t> volumes;
    const QString text = pactl({QStringLiteral("get-source-volume"), name});
    static const QRegularExpression channel(QStringLiteral(":\\s*(\\d+)\\s*/"));
    for (auto it = channel.globalMatch(text); it.hasNext();)
        volumes.push_back(it.next().captured(1).toUInt());
    return volumes;
}

// Plays a file into the test sink and returns when it has been played.
inline bool play(const QString& file, const QString& sink = testSink())
{
    return run(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, file}, 60000).exitCode == 0;
}

struct Wave {
    bool ok = false;
    SF_INFO info{};
    std::vector<short> samples; // interleaved
    std::vector<double> values; // interleaved, -1..1
};

inline Wave readWave(const QString& path)
{
    Wave wave;
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &wave.info);
    if (!file)
        return wave;
    const size_t count = size_t(wave.info.frames) * size_t(wave.info.channels);
    wave.samples.resize(count);
    wave.values.resize(count);
    sf_count_t read = sf_readf_short(file, wave.samples.data(), wave.info.frames);
    sf_seek(file, 0, SEEK_SET);
    read = std::min(read, sf_readf_double(file, wave.values.data(), wave.info.frames));
    sf_close(file);
    wave.ok = read == wave.info.frames;
    return wave;
}

inline bool writeWave(const QString& path, int rate, int channels, const std::vector<short>& samples)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    const sf_count_t frames = sf_count_t(samples.size()) / channels;
    const bool ok = sf_writef_short(file, samples.data(), frames) == frames;
    sf_close(file);
    return ok;
}

// A stereo sine at 44100 Hz, amplitude 0.5.
inline std::vector<short> sine(double seconds, double frequency = 440.0)
{
    const size_t frames = size_t(seconds * 44100);
    std::vector<short> samples(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const auto value = short(std::lround(16383.0 * std::sin(2 * M_PI * frequency * double(i) / 44100.0)));
        samples[2 * i] = value;
        samples[2 * i + 1] = value;
    }
    return samples;
}

// First and last frame whose first channel exceeds the threshold (0..1); -1 when none.
inline std::pair<long, long> loudSpan(const Wave& wave, double threshold)
{
    long first = -1;
    long last = -1;
    const int channels = wave.info.channels;
    for (long frame = 0; frame < long(wave.info.frames); ++frame) {
        if (std::fabs(wave.values[size_t(frame) * size_t(channels)]) > threshold) {
            if (first < 0)
                first = frame;
            last = frame;
        }
    }
    return {first, last};
}

} // namespace pulse_test
