// The level slider against a sound server that misbehaves: stopped, killed, started again. Each test
// runs a server of its own, so stopping or killing it cannot disturb the other tests. Also the
// context's cached source list, which the mixer reads instead of asking the server.

#include "platform/pulse_context.h"
#include "recording/pulse_mixer.h"
#include "tests/recording/pulse_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace pulse_test;

namespace {

QStringList names(const std::vector<PulseSource>& sources)
{
    QStringList list;
    for (const PulseSource& source : sources)
        list << QString::fromStdString(source.name);
    return list;
}

QString nullSink(const QString& name)
{
    return QStringLiteral("module-null-sink sink_name=%1 rate=44100 format=s16le channels=2").arg(name);
}

bool allChannelsAre(const PrivateServer& server, const QString& source, uint32_t volume)
{
    const std::vector<uint32_t> volumes = server.sourceVolume(source);
    return !volumes.empty() &&
           std::all_of(volumes.begin(), volumes.end(), [volume](uint32_t v) { return v == volume; });
}

} // namespace

class TestPulseMixerFaults : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void cachedListIsReadyOnConnectAndFollowsTheServer()
    {
        PrivateServer server(m_dir.filePath(QStringLiteral("cache")), {nullSink(QStringLiteral("cache_sink"))});
        QVERIFY(server.start());
        server.pactl({QStringLiteral("set-default-source"), QStringLiteral("cache_sink.monitor")});
        const int first = server.loadModule(QStringLiteral("module-null-source"),
                                            {QStringLiteral("source_name=cache_a"), QStringLiteral("channels=1")});
        QVERIFY(first >= 0);

        PulseContext pulse(server.server().toStdString());
        QVERIFY(pulse.ensureConnected());
        // Ready without any wait after connecting, in the order of the synchronous list: default
        // first, then the other inputs, then the monitors.
        const QStringList atConnect{QStringLiteral("cache_sink.monitor"), QStringLiteral("cache_a")};
        QCOMPARE(names(pulse.cachedSources()), atConnect);
        QCOMPARE(names(pulse.sources()), atConnect);
        QCOMPARE(pulse.cachedDefaultSourceName(), std::string("cache_sink.monitor"));
        QCOMPARE(pulse.cachedSourceAt(1).name, std::string("cache_a"));
        QCOMPARE(int(pulse.cachedSourceAt(1).channels), 1);
        QCOMPARE(int(pulse.cachedSourceAt(0).channels), 2);
        QVERIFY(!pulse.cachedSourceAt(1).monitor);
        QVERIFY(pulse.cachedSourceAt(0).monitor);
        for (int32_t outside : {-1, -2, 2, 40})
            QCOMPARE(pulse.cachedSourceAt(outside).name, std::string("cache_sink.monitor"));

        const int second =
            server.loadModule(QStringLiteral("module-sine-source"), {QStringLiteral("source_name=cache_b")});
        QVERIFY(second >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(
            names(pulse.cachedSources()),
            QStringList({QStringLiteral("cache_sink.monitor"), QStringLiteral("cache_a"), QStringLiteral("cache_b")}),
            5000);

        server.pactl({QStringLiteral("unload-module"), QString::number(first)});
        QTRY_COMPARE_WITH_TIMEOUT(names(pulse.cachedSources()),
                                  QStringList({QStringLiteral("cache_sink.monitor"), QStringLiteral("cache_b")}), 5000);

        server.pactl({QStringLiteral("set-default-source"), QStringLiteral("cache_b")});
        QTRY_COMPARE_WITH_TIMEOUT(names(pulse.cachedSources()),
                                  QStringList({QStringLiteral("cache_b"), QStringLiteral("cache_sink.monitor")}), 5000);
        QCOMPARE(pulse.cachedDefaultSourceName(), std::string("cache_b"));
        QCOMPARE(pulse.cachedSourceAt(-1).name, std::string("cache_b"));
        QCOMPARE(names(pulse.cachedSources()), names(pulse.sources()));

        // Without a server there is nothing to describe.
        server.kill();
        QTRY_VERIFY_WITH_TIMEOUT(pulse.cachedSources().empty(), 5000);
        QVERIFY(pulse.cachedSourceAt(0).name.empty());
        QVERIFY(pulse.cachedDefaultSourceName().empty());
    }

    void aStoppedServerNeverBlocksTheSliderAndGetsOnlyTheLatestLevel()
    {
        PrivateServer server(
            m_dir.filePath(QStringLiteral("stopped")),
            {nullSink(QStringLiteral("stall_sink")), QStringLiteral("module-null-source source_name=stall_mic")});
        QVERIFY(server.start());
        const QString source = QStringLiteral("stall_sink.monitor");
        server.pactl({QStringLiteral("set-default-source"), source});
        auto pulse = std::make_shared<PulseContext>(server.server().toStdString());
        QVERIFY(pulse->ensureConnected());
        PulseMixer mixer(pulse);
        LevelRange range{};
        // A fresh context that has not reached the server yet: its first connect happens while the
        // server is stopped.
        auto late = std::make_shared<PulseContext>(server.server().toStdString());
        PulseMixer lateMixer(late);
        // The server logs every volume request it gets; no other client of this server sets one.
        const QString requests = QStringLiteral(" changes volume of source ") + source + QLatin1Char('.');
        const int before = server.logCount(requests);

        QVERIFY(server.stop());
        {
            // A mixer that goes away with its level unanswered must not hear the answer.
            PulseMixer gone(pulse);
            gone.Volume(1, 3333, range);
            QVERIFY(gone.lastLevelAccepted());
        }
        QElapsedTimer clock;
        clock.start();
        int accepted = 0;
        for (int i = 1; i <= 50; ++i) {
            range = {};
            mixer.Volume(-1, i * 1200, range);
            QCOMPARE(range[0], 0);
            QCOMPARE(range[1], 65536);
            accepted += mixer.lastLevelAccepted() ? 1 : 0;
            lateMixer.Volume(-1, 5000 + i, range);
            if (clock.elapsed() > 500)
                break; // already failed; no need to wait out every call
        }
        const qint64 batch = clock.elapsed();
        QVERIFY(server.resume());
        // Waiting for the server would cost seconds per call; not waiting costs microseconds.
        QVERIFY2(batch < 500, qPrintable(QStringLiteral("100 calls took %1 ms").arg(batch)));
        QCOMPARE(accepted, 50);

        QTRY_VERIFY2_WITH_TIMEOUT(allChannelsAre(server, source, 60000),
                                  qPrintable(server.pactl({QStringLiteral("get-source-volume"), source})), 5000);
        // The first level went out at once; the others waited and only the last of them was sent.
        const int sent = server.logCount(requests) - before;
        QVERIFY2(sent >= 1 && sent <= 3, qPrintable(QStringLiteral("%1 volume requests reached the server").arg(sent)));

        // The late context connects once the server runs again, and its slider then works.
        QTRY_VERIFY_WITH_TIMEOUT((lateMixer.Volume(-1, 7777, range), lateMixer.lastLevelAccepted()), 5000);
        QTRY_VERIFY2_WITH_TIMEOUT(allChannelsAre(server, source, 7777),
                                  qPrintable(server.pactl({QStringLiteral("get-source-volume"), source})), 5000);
    }

    void aKilledServerNeverBlocksTheSliderAndOneOnTheSameSocketIsFoundAgain()
    {
        PrivateServer server(m_dir.filePath(QStringLiteral("killed")), {nullSink(QStringLiteral("doomed_sink"))});
        QVERIFY(server.start());
        const QString source = QStringLiteral("doomed_sink.monitor");
        server.pactl({QStringLiteral("set-default-source"), source});
        auto pulse = std::make_shared<PulseContext>(server.server().toStdString());
        QVERIFY(pulse->ensureConnected());
        PulseMixer mixer(pulse);
        LevelRange range{};
        mixer.Volume(-1, 11111, range);
        QVERIFY(mixer.lastLevelAccepted());
        QTRY_VERIFY_WITH_TIMEOUT(allChannelsAre(server, source, 11111), 5000);

        qint64 slowest = 0;
        auto step = [&](int32_t level) {
            QElapsedTimer clock;
            clock.start();
            mixer.Volume(-1, level, range);
            slowest = std::max(slowest, clock.elapsed());
            return mixer.lastLevelAccepted();
        };
        // Killed while hung, with a level on its way that will never be answered.
        QVERIFY(server.stop());
        QVERIFY(step(22222));
        server.kill();
        // Straight after the kill the context may not have noticed yet; either way nothing waits.
        for (int i = 0; i < 20; ++i)
            step(20000 + i);
        QTRY_VERIFY_WITH_TIMEOUT(!pulse->isConnected(), 5000);
        for (int i = 0; i < 20; ++i)
            QVERIFY(!step(30000 + i));
        QCOMPARE(range[1], 65536);

        // Nothing but the slider's own calls makes the connection again.
        QVERIFY(server.start());
        server.pactl({QStringLiteral("set-default-source"), source});
        QTRY_VERIFY_WITH_TIMEOUT(step(44444), 10000);
        QTRY_VERIFY2_WITH_TIMEOUT(allChannelsAre(server, source, 44444),
                                  qPrintable(server.pactl({QStringLiteral("get-source-volume"), source})), 5000);
        QVERIFY2(slowest < 500, qPrintable(QStringLiteral("the slowest call took %1 ms").arg(slowest)));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("pactl")).isEmpty()) {
        if (qEnvironmentVariableIsEmpty("TRELVIK_TEST_SINK")) {
            std::fprintf(stderr, "test_pulse_mixer_faults: no pulseaudio and TRELVIK_TEST_SINK unset: skipped\n");
            return 77;
        }
        std::fprintf(stderr, "test_pulse_mixer_faults: TRELVIK_TEST_SINK is set but pulseaudio or pactl is missing\n");
        return 1;
    }
    TestPulseMixerFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_pulse_mixer_faults.moc"
