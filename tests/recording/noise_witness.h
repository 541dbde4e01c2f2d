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

inline bool silentStereo(const short* samples, long from, long to)
{
    for (long i = 2 * from; i < 2 * to; ++i)
        if (samples[i] != 0)
            return false;
    return true;
}

// Whether the witness lost the noise near where a recording lost it, from noise frame `before`
// (the first one missing) to `after` (the first one heard again): a break of the witness's whose
// missing frames meet that stretch, or whose silence stands at the same place.
inline bool witnessedBreak(const std::vector<NoiseRun>& witness, long before, long after)
{
    constexpr long slack = 4;
    for (size_t k = 1; k < witness.size(); ++k) {
        const long from = witness[k - 1].noiseEnd();
        const long to = witness[k].noiseAt;
        const bool broken = to != from || witness[k].at != witness[k - 1].end();
        if (broken && from <= after + slack && to >= before - slack)
            return true;
    }
    return false;
}

// What is wrong with a recording of the noise played whole: empty when it holds, after silence,
// every frame of the noise once and in order, then silence, and nothing else, but for breaks the
// witness shares, or that the server says it dropped for the program's stream (server_log.h) about
// then: the recording's frame 0 was heard near the wall-clock moment `startedAt`.
inline QString noiseFaults(const Wave& wave, const std::vector<short>& noise, const std::vector<NoiseRun>& witness,
                           double startedAt)
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
    for (size_t k = 1; k < runs.size(); ++k) {
        const NoiseRun& a = runs[k - 1];
        const NoiseRun& b = runs[k];
        const QString where =
            QStringLiteral("at frame %1 of the recording, noise frame %2").arg(a.end()).arg(a.noiseEnd());
        if (b.noiseAt < a.noiseEnd())
            return where + QStringLiteral(": the noise goes back to its frame %1").arg(b.noiseAt);
        if (!silentStereo(samples, a.end(), b.at))
            return where + QStringLiteral(": %1 frames that are neither the noise nor silence").arg(b.at - a.end());
        const double lost = double(b.noiseAt - a.noiseEnd()) / 44100;
        if (!witnessedBreak(witness, a.noiseEnd(), b.noiseAt) && lost > 0 &&
            server_log::takeMissed(missed, startedAt + double(a.end()) / 44100, lost, 1.0)) {
            qInfo(
                "at frame %ld, noise frame %ld: a jump over %ld frames of the noise, which the server says it dropped "
                "for the program's stream",
                a.end(), a.noiseEnd(), b.noiseAt - a.noiseEnd());
            continue;
        }
        if (!witnessedBreak(witness, a.noiseEnd(), b.noiseAt))
            return where + QStringLiteral(": %1 frames of silence and a jump over %2 frames of the noise that the "
                                          "witness heard")
                               .arg(b.at - a.end())
                               .arg(b.noiseAt - a.noiseEnd());
        qInfo("at frame %ld, noise frame %ld: %ld frames of silence and a jump over %ld frames of the noise, which "
              "the witness lost too",
              a.end(), a.noiseEnd(), b.at - a.end(), b.noiseAt - a.noiseEnd());
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
        for (int i = 0; i < 250 && m_process.state() == QProcess::Running; ++i) {
            if (QFile(m_file).size() > 0)
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    // Whether what it records holds sound: a sample that is not silence.
    bool hearsSound()
    {
        for (int i = 0; i < 250 && m_process.state() == QProcess::Running; ++i) {
            QFile file(m_file);
            if (file.open(QIODevice::ReadOnly)) {
                const QByteArray raw = file.readAll();
                if (std::any_of(raw.begin(), raw.end(), [](char c) { return c != 0; }))
                    return true;
            }
            QTest::qWait(20);
        }
        return false;
    }

    // Stops it and returns the runs of the noise it heard.
    std::vector<NoiseRun> heard(const std::vector<short>& noise)
    {
        stop();
        QFile file(m_file);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QByteArray raw = file.readAll();
        return noiseRuns(reinterpret_cast<const short*>(raw.constData()), long(raw.size() / 4), noise);
    }

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
};

} // namespace pulse_test
