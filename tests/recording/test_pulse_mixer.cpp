// The mixer on the real sound server: it sets every channel of the chosen source, read back with
// pactl, and reports the range 0..65536. The level reaches the server after Volume has returned, so
// every check waits (with a bound) until pactl shows it.

#include "platform/pulse_context.h"
#include "recording/pulse_mixer.h"
#include "tests/recording/pulse_test_support.h"

#include <QCoreApplication>
#include <QTest>

#include <algorithm>

using namespace pulse_test;

// Waits until the source has that many channels, every one at the volume.
#define WAIT_FOR_VOLUME(source, volume, channels)                                                                      \
    QTRY_VERIFY2_WITH_TIMEOUT(allChannelsAre(source, volume, channels), shown(source).constData(), 5000)

class TestPulseMixer : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<PulseContext> m_pulse;
    QString m_previousDefault;
    TestSource m_sine{QStringLiteral("trelvik_mixer_sine"), TestSource::Kind::Tone};

    static bool allChannelsAre(const QString& source, uint32_t volume, size_t channels)
    {
        const std::vector<uint32_t> volumes = sourceVolume(source);
        return volumes.size() == channels &&
               std::all_of(volumes.begin(), volumes.end(), [volume](uint32_t v) { return v == volume; });
    }

    static QByteArray shown(const QString& source)
    {
        QStringList parts;
        for (uint32_t v : sourceVolume(source))
            parts << QString::number(v);
        return (source + QStringLiteral(": ") + parts.join(QLatin1Char(' '))).toUtf8();
    }

private slots:
    void initTestCase()
    {
        m_previousDefault = defaultSource();
        setDefaultSource(testMonitor());
        QVERIFY(m_sine.load());
        m_pulse = std::make_shared<PulseContext>();
        QVERIFY(m_pulse->ensureConnected());
    }

    void cleanupTestCase()
    {
        pactl({QStringLiteral("set-source-volume"), testMonitor(), QStringLiteral("65536")});
        m_sine.unload();
        if (!m_previousDefault.isEmpty())
            setDefaultSource(m_previousDefault);
    }

    void setsTheDefaultSourceForMinusOneAndMinusTwo()
    {
        PulseMixer mixer(m_pulse);
        LevelRange range{7, 7, 7, 7};
        mixer.Volume(-1, 0, range);
        QCOMPARE(range[0], 0);
        QCOMPARE(range[1], 65536);
        QVERIFY(mixer.lastLevelAccepted());
        WAIT_FOR_VOLUME(testMonitor(), 0, 2);

        mixer.Volume(-1, 32768, range);
        WAIT_FOR_VOLUME(testMonitor(), 32768, 2);
        mixer.Volume(-2, 49152, range);
        WAIT_FOR_VOLUME(testMonitor(), 49152, 2);
        QCOMPARE(range[0], 0);
        QCOMPARE(range[1], 65536);

        // Outside the range the level stops at its bounds.
        mixer.Volume(-1, 100000, range);
        WAIT_FOR_VOLUME(testMonitor(), 65536, 2);
        mixer.Volume(-1, -5, range);
        WAIT_FOR_VOLUME(testMonitor(), 0, 2);
        mixer.Volume(-1, 65536, range);
        WAIT_FOR_VOLUME(testMonitor(), 65536, 2);
    }

    void setsTheSourceAtAnIndexWithItsOwnChannels()
    {
        PulseMixer mixer(m_pulse);
        const std::vector<PulseSource> sources = m_pulse->sources();
        int sine = -1;
        for (size_t i = 0; i < sources.size(); ++i)
            if (sources[i].name == "trelvik_mixer_sine")
                sine = int(i);
        QVERIFY(sine > 0);
        LevelRange range{};
        // The sine source is mono: the volume must carry one channel.
        mixer.Volume(sine, 16384, range);
        QVERIFY(mixer.lastLevelAccepted());
        WAIT_FOR_VOLUME(QStringLiteral("trelvik_mixer_sine"), 16384, 1);
        WAIT_FOR_VOLUME(testMonitor(), 65536, 2);
        mixer.Volume(int32_t(sources.size()) + 3, 20000, range);
        WAIT_FOR_VOLUME(testMonitor(), 20000, 2);
        WAIT_FOR_VOLUME(QStringLiteral("trelvik_mixer_sine"), 16384, 1);
        QCOMPARE(range[1], 65536);
    }

    void aBurstOfLevelsEndsOnTheLastLevelOfEachSource()
    {
        PulseMixer mixer(m_pulse);
        const std::vector<PulseSource> sources = m_pulse->sources();
        int32_t sine = -1;
        for (size_t i = 0; i < sources.size(); ++i)
            if (sources[i].name == "trelvik_mixer_sine")
                sine = int32_t(i);
        QVERIFY(sine > 0);
        LevelRange range{};
        // A dragged slider, switched to another source and back on the way: levels arrive faster than
        // the server answers, and each source must end on the last level it was given.
        for (int32_t step = 1; step <= 300; ++step) {
            mixer.Volume(-1, step * 200, range);
            QVERIFY(mixer.lastLevelAccepted());
            if (step % 7 == 0)
                mixer.Volume(sine, step * 100, range);
        }
        WAIT_FOR_VOLUME(testMonitor(), 60000, 2);
        WAIT_FOR_VOLUME(QStringLiteral("trelvik_mixer_sine"), 29400, 1);
        mixer.Volume(-1, 65536, range);
        WAIT_FOR_VOLUME(testMonitor(), 65536, 2);
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (const int gate = pulse_test::gate("test_pulse_mixer"))
        return gate;
    TestPulseMixer test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_pulse_mixer.moc"
