// The level meter's measuring on exact sample buffers: peaks, RMS and clip runs of 8-bit unsigned and
// 16-bit signed PCM, mono and stereo, with frames, samples and bursts split between buffers; the
// hand-over between the sound server's thread and the window's; and how the bars move.

#include "recording/level_meter.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using level_meter::Analyser;
using level_meter::Ballistics;
using level_meter::LevelTap;

namespace {

// 16-bit little-endian interleaved frames.
std::vector<uint8_t> s16(const std::vector<int>& samples)
{
    std::vector<uint8_t> bytes;
    for (const int sample : samples) {
        const auto value = uint16_t(int16_t(sample));
        bytes.push_back(uint8_t(value & 0xff));
        bytes.push_back(uint8_t(value >> 8));
    }
    return bytes;
}

std::vector<uint8_t> u8(const std::vector<int>& samples)
{
    std::vector<uint8_t> bytes;
    for (const int sample : samples)
        bytes.push_back(uint8_t(sample));
    return bytes;
}

// Feeds bytes in pieces cut at the given offsets.
void feedCut(Analyser& analyser, const std::vector<uint8_t>& bytes, const std::vector<size_t>& cuts)
{
    size_t from = 0;
    for (const size_t cut : cuts) {
        analyser.feed(bytes.data() + from, cut - from);
        from = cut;
    }
    analyser.feed(bytes.data() + from, bytes.size() - from);
}

void frame(std::vector<int>& samples, int left, int right)
{
    samples.push_back(left);
    samples.push_back(right);
}

// A stereo 16-bit stream with a burst of full-scale samples in the left channel only.
std::vector<int> burstLeft(int silenceBefore, int burst, int silenceAfter, int fullScale = 32767)
{
    std::vector<int> samples;
    for (int i = 0; i < silenceBefore; ++i)
        frame(samples, 100, -100);
    for (int i = 0; i < burst; ++i)
        frame(samples, fullScale, 20000);
    for (int i = 0; i < silenceAfter; ++i)
        frame(samples, 100, -100);
    return samples;
}

} // namespace

class TestLevelMeter : public QObject {
    Q_OBJECT
private slots:
    void decibels()
    {
        QCOMPARE(level_meter::toDb(1.0), 0.0);
        QCOMPARE(qRound(level_meter::toDb(0.1) * 1000), -20000);
        QCOMPARE(qRound(level_meter::toDb(0.5) * 100), -602);
        QCOMPARE(level_meter::toDb(0.0), -60.0);
        QCOMPARE(level_meter::toDb(0.0005), -60.0); // below the scale reads as its floor
        QCOMPARE(level_meter::toDb(1.2), 0.0);
    }

    void peaksAndRmsOfSixteenBitStereo()
    {
        LevelTap tap;
        // 1000 frames a second: the RMS window is 50 frames.
        Analyser analyser(Analyser::Sample::S16, 2, 1000, tap);
        std::vector<int> samples;
        for (int i = 0; i < 50; ++i)
            frame(samples, i % 2 ? 16384 : -16384, i == 7 ? -32768 : 3277);
        const std::vector<uint8_t> bytes = s16(samples);
        analyser.feed(bytes.data(), bytes.size());
        const InputLevels levels = tap.read();
        QCOMPARE(levels.channels, 2);
        QCOMPARE(levels.peak[0], 0.5f);
        QCOMPARE(levels.peak[1], 1.0f); // -32768 is the whole scale
        QVERIFY(levels.hasRms);
        QCOMPARE(levels.rms[0], 0.5f); // a square wave's RMS is its amplitude
        QVERIFY(levels.rms[1] > 0.1f && levels.rms[1] < 0.2f);
        QCOMPARE(levels.clips, 0u); // one full-scale sample is no clip

        // Less than a window: no RMS value yet.
        LevelTap fresh;
        Analyser short_(Analyser::Sample::S16, 2, 1000, fresh);
        short_.feed(bytes.data(), 4 * 49);
        QVERIFY(!fresh.read().hasRms);
    }

    void eightBitUnsignedMono()
    {
        LevelTap tap;
        Analyser analyser(Analyser::Sample::U8, 1, 1000, tap);
        const std::vector<uint8_t> quiet = u8({128, 128, 129, 127, 128});
        analyser.feed(quiet.data(), quiet.size());
        InputLevels levels = tap.read();
        QCOMPARE(levels.channels, 1);
        QCOMPARE(levels.peak[0], 1.0f / 128);

        const std::vector<uint8_t> top = u8({128, 255, 128});
        analyser.feed(top.data(), top.size());
        QCOMPARE(tap.read().peak[0], 127.0f / 128);
        const std::vector<uint8_t> bottom = u8({128, 0, 128});
        analyser.feed(bottom.data(), bottom.size());
        QCOMPARE(tap.read().peak[0], 1.0f);

        // 0 and 255 are both full scale: three in a row of either, mixed, are a clip.
        const std::vector<uint8_t> mixed = u8({128, 0, 255, 0, 128});
        analyser.feed(mixed.data(), mixed.size());
        QCOMPARE(tap.read().clips, 1u);
        const std::vector<uint8_t> two = u8({128, 255, 255, 254, 255, 128});
        analyser.feed(two.data(), two.size());
        QCOMPARE(tap.read().clips, 1u);
    }

    void eightBitStereoCountsEachChannel()
    {
        LevelTap tap;
        Analyser analyser(Analyser::Sample::U8, 2, 1000, tap);
        // Left: three full-scale samples in a row. Right: full scale in every other frame only.
        const std::vector<uint8_t> bytes = u8({128, 128, 255, 255, 255, 128, 255, 255, 128, 128});
        analyser.feed(bytes.data(), bytes.size());
        const InputLevels levels = tap.read();
        QCOMPARE(levels.channels, 2);
        QCOMPARE(levels.clips, 1u);
        QCOMPARE(levels.peak[0], 127.0f / 128);
        QCOMPARE(levels.peak[1], 127.0f / 128);
    }

    void burstsAcrossBuffers()
    {
        struct Case {
            const char* name;
            int burst;
            std::vector<size_t> cuts; // byte offsets where one buffer ends and the next begins
            uint32_t clips;
        };
        // 10 silent frames (40 bytes) before the burst; each frame 4 bytes.
        const std::vector<Case> cases{
            {"three in one buffer", 3, {}, 1},
            {"three split 2 + 1", 3, {48}, 1},
            {"three split 1 + 2", 3, {44}, 1},
            {"three, one in each of three buffers", 3, {44, 48}, 1},
            {"three split inside a frame", 3, {46}, 1},
            {"three split inside a sample", 3, {45, 51}, 1},
            {"two split 1 + 1", 2, {44}, 0},
            {"two in one buffer", 2, {}, 0},
            {"a run of seven is one clip", 7, {50, 60}, 1},
        };
        for (const Case& c : cases) {
            LevelTap tap;
            Analyser analyser(Analyser::Sample::S16, 2, 44100, tap);
            feedCut(analyser, s16(burstLeft(10, c.burst, 10)), c.cuts);
            QVERIFY2(tap.read().clips == c.clips, c.name);
        }

        // -32768 is full scale as much as 32767; two runs are two clips.
        LevelTap tap;
        Analyser analyser(Analyser::Sample::S16, 2, 44100, tap);
        feedCut(analyser, s16(burstLeft(2, 3, 2, -32768)), {20});
        feedCut(analyser, s16(burstLeft(2, 4, 2)), {12});
        QCOMPARE(tap.read().clips, 2u);

        // A hole in the stream breaks a run.
        LevelTap holed;
        Analyser broken(Analyser::Sample::S16, 2, 44100, holed);
        const std::vector<uint8_t> before = s16(burstLeft(2, 2, 0));
        const std::vector<uint8_t> after = s16(burstLeft(0, 2, 2));
        broken.feed(before.data(), before.size());
        broken.gap();
        broken.feed(after.data(), after.size());
        QCOMPARE(holed.read().clips, 0u);
    }

    void splitFramesMeasureAsWhole()
    {
        std::vector<int> samples;
        for (int i = 0; i < 300; ++i)
            frame(samples, (i * 997) % 30000 - 15000, (i * 131) % 2000 - 1000);
        const std::vector<uint8_t> bytes = s16(samples);
        LevelTap whole;
        Analyser wholeAnalyser(Analyser::Sample::S16, 2, 2000, whole);
        wholeAnalyser.feed(bytes.data(), bytes.size());
        LevelTap pieces;
        Analyser piecesAnalyser(Analyser::Sample::S16, 2, 2000, pieces);
        feedCut(piecesAnalyser, bytes, {1, 3, 7, 100, 101, 555, 1000, 1001});
        const InputLevels a = whole.read();
        const InputLevels b = pieces.read();
        QCOMPARE(a.peak, b.peak);
        QCOMPARE(a.rms, b.rms);
        QVERIFY(a.hasRms && b.hasRms);
    }

    void theTapHandsOverEveryPeakOnce()
    {
        LevelTap tap;
        QCOMPARE(tap.read().channels, 0); // nothing published yet

        const float loud[2] = {0.8f, 0.1f};
        const float soft[2] = {0.2f, 0.3f};
        tap.publish(2, loud, nullptr);
        tap.publish(2, soft, nullptr);
        InputLevels levels = tap.read();
        // The loudest of every batch since the last reading.
        QCOMPARE(levels.channels, 2);
        QCOMPARE(levels.peak[0], 0.8f);
        QCOMPARE(levels.peak[1], 0.3f);
        QVERIFY(!levels.hasRms);
        QCOMPARE(tap.read().channels, 0); // nothing new since

        // A batch after a reading starts afresh.
        const float rms[2] = {0.05f, 0.06f};
        tap.publish(2, soft, rms);
        levels = tap.read();
        QCOMPARE(levels.peak[0], 0.2f);
        QVERIFY(levels.hasRms);
        QCOMPARE(levels.rms[1], 0.06f);

        // The silence watch takes the loudest of its own, whatever the meter read.
        QCOMPARE(tap.takeLoudest(), 0.8f);
        QCOMPARE(tap.takeLoudest(), 0.0f);
        tap.publish(2, soft, nullptr);
        QCOMPARE(tap.takeLoudest(), 0.3f);

        // Each capture counts its own clips.
        tap.addClip();
        tap.addClip();
        levels = tap.read();
        QCOMPARE(levels.clips, 2u);
        const uint32_t first = levels.capture;
        tap.beginCapture();
        levels = tap.read();
        QCOMPARE(levels.clips, 0u);
        QCOMPARE(levels.capture, first + 1);
    }

    void aReadingNeverMixesTwoBatches()
    {
        // The writer publishes batches whose two channels are equal; a reading taken while it writes
        // must never show them different.
        LevelTap tap;
        std::atomic<bool> enough{false};
        std::thread writer([&tap, &enough] {
            for (int i = 1; !enough.load(std::memory_order_relaxed) && i < 20000000; ++i) {
                const float value = float(i % 1000) / 1000.0f;
                const float peaks[2] = {value, value};
                tap.publish(2, peaks, peaks);
                // A real source publishes 20 to 25 batches a second; a writer that never pauses
                // would starve the reader, which gives up a reading rather than spin.
                if (i % 4 == 0)
                    std::this_thread::yield();
            }
            enough = true;
        });
        int readings = 0;
        int torn = 0;
        while (!enough.load()) {
            const InputLevels levels = tap.read();
            if (levels.channels == 0)
                continue;
            if (levels.peak[0] != levels.peak[1] || levels.rms[0] != levels.rms[1])
                ++torn;
            if (++readings == 5000)
                enough = true;
        }
        writer.join();
        QCOMPARE(readings, 5000);
        QCOMPARE(torn, 0);
        QVERIFY(readings > 0);
    }

    void barsRiseAtOnceHoldAndFall()
    {
        Ballistics bar;
        bar.update(0.0, -30.0, std::nullopt);
        QCOMPARE(bar.peak(), -30.0);
        QCOMPARE(bar.hold(), -30.0);
        bar.update(0.1, -6.0, -9.0);
        QCOMPARE(bar.peak(), -6.0);
        QCOMPARE(bar.rms(), -9.0);
        // Quieter readings: the bar falls 20 dB a second, never faster.
        bar.update(0.6, -50.0, -50.0);
        QCOMPARE(qRound(bar.peak() * 100), -1600);
        QCOMPARE(bar.hold(), -6.0);
        // The hold mark stays 2 s, then falls as fast, never below the bar.
        bar.update(2.0, -50.0, -50.0);
        QCOMPARE(bar.hold(), -6.0);
        bar.update(2.2, -50.0, -50.0);
        QCOMPARE(qRound(bar.hold() * 100), -1000);
        QCOMPARE(qRound(bar.peak() * 100), -4800);
        bar.update(9.0, -70.0, std::nullopt);
        QCOMPARE(bar.peak(), -60.0);
        QCOMPARE(bar.hold(), -60.0);

        // Steps that bring nothing new hold the bar for a moment (the source is slower than the
        // meter), then let it fall.
        Ballistics slow;
        slow.update(0.0, -20.0, std::nullopt);
        slow.update(0.033, std::nullopt, std::nullopt);
        slow.update(0.066, std::nullopt, std::nullopt);
        QCOMPARE(slow.peak(), -20.0);
        slow.update(0.5, std::nullopt, std::nullopt);
        QVERIFY(slow.peak() < -20.0 - 8.0);
    }
};

QTEST_APPLESS_MAIN(TestLevelMeter)

#include "test_level_meter.moc"
