// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Recordings of a noise compared with the noise, stretch by stretch, and a witness of what the
// sound server delivered meanwhile. A server whose sound thread is held up for longer than a cycle
// of its graph (PipeWire in a busy virtual machine: 20 to 60 ms now and then, even at real-time
// priority) drops that cycle's audio for the streams that missed it: the noise jumps ahead by a
// cycle, or a cycle of silence stands in its place. Such a stretch is the server's doing when
// another client recording the same source meanwhile (the witness, parec) lost the signal at the
// same place; which of two neighbouring cycles each client lost depends on when it was held up.

#include "tests/recording/pulse_test_support.h"
#include "tests/recording/server_log.h"

#include <QFile>
#include <QProcess>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace pulse_test {

// A stretch of a recording that follows the noise: `length` frames from the recording's frame `at`
// are the noise's from `noiseAt` on.
struct NoiseRun {
    long at;
    long noiseAt;
    long length;
    long end() const { return at + length; }
    long noiseEnd() const { return noiseAt + length; }
};

// The stretches of an interleaved stereo recording that follow the noise, in the recording's order.
// Frames that are not the noise (silence, anything else) lie between them. Two frames of a noise
// without silent samples name their place in it.
inline std::vector<NoiseRun> noiseRuns(const short* samples, long frames, const std::vector<short>& noise)
{
    const auto key = [](const short* at) {
        uint64_t k;
        std::memcpy(&k, at, sizeof k);
        return k;
    };
    const long noiseFrames = long(noise.size() / 2);
    std::unordered_map<uint64_t, long> where;
    where.reserve(size_t(noiseFrames));
    for (long i = 0; i + 1 < noiseFrames; ++i)
        where.emplace(key(&noise[size_t(2 * i)]), i);
    std::vector<NoiseRun> runs;
    for (long i = 0; i + 1 < frames;) {
        const auto found = where.find(key(samples + 2 * i));
        if (found == where.end()) {
            ++i;
            continue;
        }
        NoiseRun run{i, found->second, 0};
        while (run.end() < frames && run.noiseEnd() < noiseFrames &&
               samples[2 * run.end()] == noise[size_t(2 * run.noiseEnd())] &&
               samples[2 * run.end() + 1] == noise[size_t(2 * run.noiseEnd() + 1)])
            ++run.length;
        runs.push_back(run);
        i = run.end();
    }
    return runs;
}

// The time, in frames, that breaks between runs `from` and `to` (not `skip`, a pause) stood for
// beyond the frames of the recording: noise the server dropped, less the silence of the holes it
// left for that later; silence that stands for nothing dropped (a player that ran dry) is time
// already.
inline long droppedFrames(const std::vector<NoiseRun>& runs, size_t from, size_t to, size_t skip)
{
    long dropped = 0;
    long unanswered = 0;
    for (size_t k = std::max<size_t>(from, 1); k < to && k < runs.size(); ++k) {
        if (k == skip)
            continue;
        const long jump = runs[k].noiseAt - runs[k - 1].noiseEnd();
        const long between = runs[k].at - runs[k - 1].end();
        if (jump > between) {
            dropped += jump - between;
            unanswered += jump - between;
        } else if (jump == 0) {
            const long hole = std::min(unanswered, between);
            dropped -= hole;
            unanswered -= hole;
        }
    }
    return dropped;
}

inline bool silentStereo(const short* samples, long from, long to)
{
    for (long i = 2 * from; i < 2 * to; ++i)
        if (samples[i] != 0)
            return false;
    return true;
}

// Whether the witness lost the noise near where a recording lost it, from noise frame `before`
// (the first one missing) to `after` (the first one heard again): a break of the witness's whose
// missing frames meet that stretch, or whose silence stands at the same place, and the recording
// lost at most two cycles of the graph more (a pause is never one).
inline bool witnessedBreak(const std::vector<NoiseRun>& witness, long before, long after)
{
    constexpr long slack = 4;
    constexpr long cycles = 2048;
    for (size_t k = 1; k < witness.size(); ++k) {
        const long from = witness[k - 1].noiseEnd();
        const long to = witness[k].noiseAt;
        const bool broken = to != from || witness[k].at != witness[k - 1].end();
        if (broken && from <= after + slack && to >= before - slack && after - before <= to - from + cycles)
            return true;
    }
    return false;
}

// Whether a witness's recording holds frames `from` to `to` of a recording, the same samples in the
// same order: what the server handed both clients alike, such as a cycle it mixed with one channel
// silent.
inline bool witnessHolds(const std::vector<short>& witness, const short* samples, long from, long to)
{
    if (to <= from)
        return false;
    const auto length = size_t(2 * (to - from));
    for (size_t i = 0; i + length <= witness.size(); i += 2)
        if (std::equal(samples + 2 * from, samples + 2 * to, witness.begin() + std::ptrdiff_t(i)))
            return true;
    return false;
}

// What is wrong with a recording of the noise played whole: empty when it holds, after silence,
// every frame of the noise once and in order, then silence, and nothing else, but for breaks the
// witness shares (`witness`, the runs of its recording `heard`), or that the server says it dropped
// for the program's stream (server_log.h) about then: the recording's frame 0 was heard near the
// wall-clock moment `startedAt`.
inline QString noiseFaults(const Wave& wave, const std::vector<short>& noise, const std::vector<NoiseRun>& witness,
                           const std::vector<short>& heard, double startedAt)
{
    std::vector<server_log::Missed> missed = server_log::missedCycles(QStringLiteral("Trelvik").toStdString());
    const short* samples = wave.samples.data();
    const long frames = long(wave.info.frames);
    const long noiseFrames = long(noise.size() / 2);
    const std::vector<NoiseRun> runs = noiseRuns(samples, frames, noise);
    if (runs.empty())
        return QStringLiteral("the recording (%1 frames) does not hold the noise").arg(frames);
    if (runs.front().noiseAt != 0)
        return QStringLiteral("the noise starts at its frame %1, at frame %2 of the recording")
            .arg(runs.front().noiseAt)
            .arg(runs.front().at);
    if (!silentStereo(samples, 0, runs.front().at))
        return QStringLiteral("frames before the noise (at %1) are not silence").arg(runs.front().at);
    long unanswered = 0; // noise frames dropped that no hole has stood for yet
    for (size_t k = 1; k < runs.size(); ++k) {
        const NoiseRun& a = runs[k - 1];
        const NoiseRun& b = runs[k];
        const QString where =
            QStringLiteral("at frame %1 of the recording, noise frame %2").arg(a.end()).arg(a.noiseEnd());
        if (b.noiseAt < a.noiseEnd())
            return where + QStringLiteral(": the noise goes back to its frame %1").arg(b.noiseAt);
        const bool foreign = !silentStereo(samples, a.end(), b.at);
        if (foreign && witnessHolds(heard, samples, a.end(), b.at)) {
            qInfo("at frame %ld, noise frame %ld: %ld frames that are not the noise, then a jump over %ld frames of "
                  "it: the witness got the same frames",
                  a.end(), a.noiseEnd(), b.at - a.end(), b.noiseAt - a.noiseEnd());
            unanswered += std::max(0L, b.noiseAt - a.noiseEnd() - (b.at - a.end()));
            continue;
        }
        if (foreign) {
            // Its first frames beside the noise's there, for whoever reads the failure.
            QString frames;
            for (long f = a.end(); f < b.at && f < a.end() + 4; ++f) {
                const size_t n = size_t(2 * (a.noiseEnd() + f - a.end()));
                frames += QStringLiteral(" %1,%2 for %3,%4;")
                              .arg(samples[2 * f])
                              .arg(samples[2 * f + 1])
                              .arg(n + 1 < noise.size() ? noise[n] : 0)
                              .arg(n + 1 < noise.size() ? noise[n + 1] : 0);
            }
            return where + QStringLiteral(": %1 frames that are neither the noise nor silence, then the noise jumps by "
                                          "%2 frames; the first:%3")
                               .arg(b.at - a.end())
                               .arg(b.noiseAt - a.noiseEnd())
                               .arg(frames);
        }
        const long jump = b.noiseAt - a.noiseEnd();
        const long between = b.at - a.end();
        const bool shared = witnessedBreak(witness, a.noiseEnd(), b.noiseAt);
        const bool confessed =
            !shared && jump > 0 &&
            server_log::takeMissed(missed, startedAt + double(a.end()) / 44100, double(jump) / 44100, 1.0);
        // The hole the server leaves later for a cycle it dropped, kept as silence: no more of it
        // than was dropped before.
        const bool hole = !shared && !confessed && jump == 0 && between <= unanswered;
        if (!shared && !confessed && !hole)
            return where + QStringLiteral(": %1 frames of silence and a jump over %2 frames of the noise that the "
                                          "witness heard and the server does not say it dropped")
                               .arg(between)
                               .arg(jump);
        if (hole)
            unanswered -= between;
        else
            unanswered += std::max(0L, jump - between);
        qInfo("at frame %ld, noise frame %ld: %ld frames of silence and a jump over %ld frames of the noise: %s",
              a.end(), a.noiseEnd(), between, jump,
              shared      ? "the witness lost the noise there too"
              : confessed ? "the server says it dropped cycles of the program's stream then"
                          : "the hole the server left for a cycle it dropped before");
    }
    if (runs.back().noiseEnd() != noiseFrames)
        return QStringLiteral("the noise ends at its frame %1 of %2").arg(runs.back().noiseEnd()).arg(noiseFrames);
    if (!silentStereo(samples, runs.back().end(), frames))
        return QStringLiteral("frames after the noise are not silence");
    return {};
}

// Another client recording a source meanwhile, 16 bits, stereo, 44100 Hz, in the program's own
// handover length, into a raw file.
class Witness {
public:
    Witness(const QString& source, const QString& file) : m_file(file)
    {
        m_process.setStandardOutputFile(file);
        m_process.setStandardErrorFile(file + QStringLiteral(".err"));
        m_process.start(QStringLiteral("parec"),
                        {QStringLiteral("--raw"), QStringLiteral("--device=") + source, QStringLiteral("--rate=44100"),
                         QStringLiteral("--channels=2"), QStringLiteral("--format=s16le"),
                         QStringLiteral("--latency-msec=50"), QStringLiteral("--client-name=witness")});
    }
    ~Witness() { stop(); }

    // Whether it records: its file grows.
    bool records()
    {
        if (!m_process.waitForStarted(5000))
            return false;
        return QTest::qWaitFor([this] { return QFile(m_file).size() > 0 || m_process.state() != QProcess::Running; },
                               5000) &&
               QFile(m_file).size() > 0;
    }

    // Whether what it records holds sound: a sample that is not silence.
    bool hearsSound()
    {
        const auto sound = [this] {
            QFile file(m_file);
            if (!file.open(QIODevice::ReadOnly))
                return false;
            const QByteArray raw = file.readAll();
            return std::any_of(raw.begin(), raw.end(), [](char c) { return c != 0; });
        };
        return QTest::qWaitFor([&] { return sound() || m_process.state() != QProcess::Running; }, 5000) && sound();
    }

    // Stops it and returns the runs of the noise it heard; samples() holds what it recorded.
    std::vector<NoiseRun> heard(const std::vector<short>& noise)
    {
        stop();
        QFile file(m_file);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QByteArray raw = file.readAll();
        m_samples.resize(size_t(raw.size() / 4) * 2);
        std::memcpy(m_samples.data(), raw.constData(), m_samples.size() * sizeof(short));
        return noiseRuns(m_samples.data(), long(m_samples.size() / 2), noise);
    }

    const std::vector<short>& samples() const { return m_samples; }

private:
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    QString m_file;
    QProcess m_process;
    std::vector<short> m_samples;
};

} // namespace pulse_test
