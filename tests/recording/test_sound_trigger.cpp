// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/sound_trigger.h"

#include <QtTest>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int kRate = 44100;

// Interleaved 16-bit stereo: a 1 kHz sine whose peak is at `db` dBFS for `seconds`, on top of `dc`
// (a fraction of full scale).
std::vector<int16_t> tone(double seconds, double db, double dc = 0, double hz = 1000)
{
    const auto frames = size_t(std::llround(seconds * kRate));
    const double peak = std::pow(10.0, db / 20) * 32767;
    std::vector<int16_t> out(frames * 2);
    for (size_t f = 0; f < frames; ++f) {
        const double v = dc * 32767 + (db <= -200 ? 0 : peak * std::sin(2 * M_PI * hz * double(f) / kRate));
        out[2 * f] = out[2 * f + 1] = int16_t(std::lround(std::clamp(v, -32768.0, 32767.0)));
    }
    return out;
}

std::vector<int16_t> silence(double seconds, double dc = 0)
{
    return tone(seconds, -300, dc);
}

// Feeds the pieces in fragments of 50 ms, as the sound server hands them over.
std::vector<SoundTrigger::Event> feed(SoundTrigger& trigger, const std::vector<std::vector<int16_t>>& pieces)
{
    std::vector<int16_t> all;
    for (const auto& piece : pieces)
        all.insert(all.end(), piece.begin(), piece.end());
    std::vector<SoundTrigger::Event> events;
    const size_t fragment = kRate / 20;
    for (size_t at = 0; at < all.size() / 2; at += fragment)
        trigger.feed(all.data() + 2 * at, std::min(fragment, all.size() / 2 - at), events);
    return events;
}

SoundStart how(double db, double hang)
{
    SoundStart start;
    start.thresholdDb = db;
    start.hangSeconds = hang;
    return start;
}

} // namespace

class TestSoundTrigger : public QObject {
    Q_OBJECT
private slots:
    // A burst above the threshold starts sound at its first block, and quiet for the hang time
    // ends it; a burst 2 dB below the threshold, or one shorter than 50 ms, never starts it.
    void burstsAndThresholds()
    {
        SoundTrigger above(how(-30, 1.0), SoundTrigger::Sample::S16, 2, kRate);
        const auto events = feed(above, {silence(1.0), tone(0.5, -27), silence(2.0)});
        QCOMPARE(events.size(), size_t(2));
        QVERIFY(events[0].sound);
        // The onset is the block the burst starts in (10 ms blocks).
        QVERIFY2(std::llabs(int64_t(events[0].frame) - kRate) <= kRate / 100,
                 qPrintable(QString::number(events[0].frame)));
        QVERIFY(!events[1].sound);
        // Ended after the hang time of quiet, counted from the end of the burst.
        QVERIFY(std::llabs(int64_t(events[1].frame) - int64_t(2.5 * kRate)) <= kRate / 50);
        QVERIFY(!above.sounding());

        SoundTrigger below(how(-30, 1.0), SoundTrigger::Sample::S16, 2, kRate);
        QVERIFY(feed(below, {silence(0.5), tone(3.0, -32), silence(1.0)}).empty());

        SoundTrigger brief(how(-30, 1.0), SoundTrigger::Sample::S16, 2, kRate);
        QVERIFY(feed(brief, {silence(0.5), tone(0.03, -6), silence(0.5), tone(0.03, -6), silence(0.5)}).empty());
    }

    // Between the two thresholds the sound goes on: dipping 2 dB under the threshold does not end it,
    // dipping under the lower threshold for less than the hang time does not either.
    void hysteresisAndHang()
    {
        SoundTrigger trigger(how(-30, 1.0), SoundTrigger::Sample::S16, 2, kRate);
        const auto events = feed(trigger, {tone(0.5, -20), tone(3.0, -32), silence(0.8), tone(0.2, -20), silence(0.5)});
        QCOMPARE(events.size(), size_t(1));
        QVERIFY(events[0].sound);
        QVERIFY(trigger.sounding());
    }

    // An offset on the input never starts sound, there all along or stepping in at once; sound on
    // top of an offset does.
    void dcOffset()
    {
        SoundTrigger steady(how(-40, 1.0), SoundTrigger::Sample::S16, 2, kRate);
        QVERIFY(feed(steady, {silence(2.0, 0.5)}).empty());

        SoundTrigger step(how(-40, 1.0), SoundTrigger::Sample::S16, 2, kRate);
        QVERIFY(feed(step, {silence(1.0), silence(2.0, -0.4), silence(1.0, 0.3)}).empty());

        SoundTrigger onTop(how(-40, 1.0), SoundTrigger::Sample::S16, 2, kRate);
        const auto events = feed(onTop, {silence(1.0, 0.4), tone(0.3, -30, 0.4), silence(0.5, 0.4)});
        QCOMPARE(events.size(), size_t(1));
        QVERIFY(events[0].sound);
    }

    // 8-bit samples centre on 128; their silence is no sound, and a burst is.
    void unsignedEightBit()
    {
        SoundTrigger trigger(how(-30, 0.5), SoundTrigger::Sample::U8, 1, 8000);
        std::vector<uint8_t> data(8000, 128);
        for (size_t i = 4000; i < 6000; ++i)
            data[i] = uint8_t(128 + std::lround(60 * std::sin(2 * M_PI * 500 * double(i) / 8000)));
        std::vector<SoundTrigger::Event> events;
        trigger.feed(data.data(), data.size(), events);
        trigger.feed(nullptr, 8000, events); // a hole is silence
        QCOMPARE(events.size(), size_t(2));
        QVERIFY(std::llabs(int64_t(events[0].frame) - 4000) <= 80);
        QVERIFY(!events[1].sound);
    }
};

QTEST_GUILESS_MAIN(TestSoundTrigger)
#include "test_sound_trigger.moc"
