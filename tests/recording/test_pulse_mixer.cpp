// The mixer on the real sound server: it sets every channel of the chosen source, read back with
// pactl, and reports the range 0..65536.

#include "platform/pulse_context.h"
#include "recording/pulse_mixer.h"
#include "tests/recording/pulse_test_support.h"

#include <QCoreApplication>
#include <QTest>

using namespace pulse_test;

class TestPulseMixer : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<PulseContext> m_pulse;
    QString m_previousDefault;
    int m_sine = -1;

    static void allChannelsAre(const QString& source, uint32_t volume, size_t channels)
    {
        const std::vector<uint32_t> volumes = sourceVolume(source);
        QCOMPARE(volumes.size(), channels);
        for (uint32_t v : volumes)
            QCOMPARE(v, volume);
    }

private slots:
    void initTestCase()
    {
        m_previousDefault = defaultSource();
        setDefaultSource(testMonitor());
        m_sine = loadModule(QStringLiteral("module-sine-source"), {QStringLiteral("source_name=trelvik_mixer_sine")});
        QVERIFY(m_sine >= 0);
        m_pulse = std::make_shared<PulseContext>();
        QVERIFY(m_pulse->ensureConnected());
    }

    void cleanupTestCase()
    {
        pactl({QStringLiteral("set-source-volume"), testMonitor(), QStringLiteral("65536")});
        unloadModule(m_sine);
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
        QVERIFY(mixer.lastCallSucceeded());
        allChannelsAre(testMonitor(), 0, 2);

        mixer.Volume(-1, 32768, range);
        allChannelsAre(testMonitor(), 32768, 2);
        mixer.Volume(-2, 49152, range);
        allChannelsAre(testMonitor(), 49152, 2);
        QCOMPARE(range[0], 0);
        QCOMPARE(range[1], 65536);

        // Outside the range the level stops at its bounds.
        mixer.Volume(-1, 100000, range);
        allChannelsAre(testMonitor(), 65536, 2);
        mixer.Volume(-1, -5, range);
        allChannelsAre(testMonitor(), 0, 2);
        mixer.Volume(-1, 65536, range);
        allChannelsAre(testMonitor(), 65536, 2);
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
        QVERIFY(mixer.lastCallSucceeded());
        allChannelsAre(QStringLiteral("trelvik_mixer_sine"), 16384, 1);
        allChannelsAre(testMonitor(), 65536, 2);
        mixer.Volume(int32_t(sources.size()) + 3, 20000, range);
        allChannelsAre(testMonitor(), 20000, 2);
        allChannelsAre(QStringLiteral("trelvik_mixer_sine"), 16384, 1);
        QCOMPARE(range[1], 65536);
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
