// Every supported recording format, and the fallback for unsupported values: the header says the
// format, the length matches the time recorded, and the tone played meanwhile arrives unharmed.

#include "platform/pulse_context.h"
#include "recording/pulse_capture.h"
#include "tests/recording/pulse_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace pulse_test;

class TestPulseFormats : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<PulseContext> m_pulse;
    QTemporaryDir m_dir;
    QProcess m_player;
    std::unique_ptr<PulseCapture> m_keeper;
    bool m_onPipeWire = false;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_pulse = std::make_shared<PulseContext>();
        QVERIFY(m_pulse->ensureConnected());
        m_onPipeWire = onPipeWire();
        // The program's own tests leave the monitor at the level they stored; the levels here are
        // the sink's as it is.
        pactl({QStringLiteral("set-source-volume"), testMonitor(), QStringLiteral("100%")});
        // A tone plays into the test sink for the whole test.
        const QString tone = m_dir.filePath("tone.wav");
        QVERIFY(writeWave(tone, 44100, 2, sine(60.0, 441.0)));
        m_player.start(QStringLiteral("paplay"), {QStringLiteral("--device=") + testSink(), tone});
        QVERIFY(m_player.waitForStarted());
        // The sink renders up to its whole buffer ahead whenever no record stream on its monitor
        // asks for less, and a recording that starts then gets nothing for that long. A second
        // recording runs for the whole test, so every recording here starts on a sink that keeps
        // its latency low.
        m_keeper = std::make_unique<PulseCapture>(m_pulse);
        m_keeper->setSpoolFolder(m_dir.path());
        QCOMPARE(m_keeper->start(2, 44100, 16), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    }

    void cleanupTestCase()
    {
        if (m_keeper)
            m_keeper->save(m_dir.filePath("keeper.wav"));
        m_player.kill();
        m_player.waitForFinished(3000);
    }

    void recordsTheFormat_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("wantChannels");
        QTest::addColumn<int>("wantRate");
        QTest::addColumn<int>("wantBits");
        for (int rate : {8000, 11025, 22050, 44100})
            for (int channels : {1, 2})
                for (int bits : {8, 16})
                    QTest::addRow("%d Hz %d ch %d bit", rate, channels, bits)
                        << channels << rate << bits << channels << rate << bits;
        QTest::addRow("0/0/0") << 0 << 0 << 0 << 2 << 22050 << 16;
        QTest::addRow("3 ch 48000 Hz 24 bit") << 3 << 48000 << 24 << 2 << 22050 << 16;
    }

    void recordsTheFormat()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        QFETCH(int, wantChannels);
        QFETCH(int, wantRate);
        QFETCH(int, wantBits);

        PulseCapture capture(m_pulse);
        capture.setSpoolFolder(m_dir.path());
        const QString target = m_dir.filePath(QStringLiteral("format-%1-%2-%3.wav").arg(channels).arg(rate).arg(bits));
        QCOMPARE(capture.start(channels, rate, bits), 0);
        QElapsedTimer clock;
        clock.start();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(capture.save(target), 0);

        const Wave wave = readWave(target);
        QVERIFY(wave.ok);
        QCOMPARE(wave.info.channels, wantChannels);
        QCOMPARE(wave.info.samplerate, wantRate);
        QCOMPARE(wave.info.format & SF_FORMAT_SUBMASK, wantBits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
        const int major = wave.info.format & SF_FORMAT_TYPEMASK;
        QVERIFY2(major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX, "a RIFF wave file below 4 GiB");

        const double expected = double(elapsed) / 1000.0 * wantRate;
        const double fragment = double(wantRate) * PulseCapture::fragmentMs / 1000;
        QVERIFY2(std::fabs(double(wave.info.frames) - expected) <= fragment,
                 qPrintable(QStringLiteral("%1 frames, expected %2").arg(wave.info.frames).arg(expected)));

        // The tone (amplitude 0.5, centred) in the second half: a wrong sample format shows as a
        // wrong peak or an offset. Mono is the server's mix of the two channels: PulseAudio takes
        // their mean, PipeWire keeps their power (3 dB louder for a tone on both).
        const bool keepsPower = wantChannels == 1 && m_onPipeWire;
        const double tone = keepsPower ? 0.5 * std::sqrt(2.0) : 0.5;
        double peak = 0;
        double sum = 0;
        size_t count = 0;
        for (size_t i = wave.values.size() / 2; i < wave.values.size(); ++i) {
            peak = std::max(peak, std::fabs(wave.values[i]));
            sum += wave.values[i];
            ++count;
        }
        QVERIFY(count > 0);
        QVERIFY2(std::fabs(peak - tone) < 0.1, qPrintable(QStringLiteral("peak %1, expected %2").arg(peak).arg(tone)));
        QVERIFY2(std::fabs(sum / double(count)) < 0.03, qPrintable(QStringLiteral("mean %1").arg(sum / double(count))));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (const int gate = pulse_test::gate("test_pulse_formats"))
        return gate;
    TestPulseFormats test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_pulse_formats.moc"
