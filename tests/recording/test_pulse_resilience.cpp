// What survives when things go wrong: a recording process killed outright leaves a spool file that
// plays, and a sound server that dies mid-recording neither hangs nor loses what was captured.

#include "platform/pulse_context.h"
#include "recording/pulse_capture.h"
#include "tests/recording/pulse_test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace pulse_test;

namespace {

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The size the RIFF header gives the data chunk, read straight from the file's bytes.
qint64 headerDataBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray bytes = file.read(4096);
    if (!bytes.startsWith("RIFF"))
        return -1;
    qint64 at = 12;
    while (at + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(at, 4);
        const auto* p = reinterpret_cast<const uchar*>(bytes.constData() + at + 4);
        const qint64 size = qint64(p[0]) | qint64(p[1]) << 8 | qint64(p[2]) << 16 | qint64(p[3]) << 24;
        if (id == "data")
            return size;
        at += 8 + size + (size & 1);
    }
    return -1;
}

} // namespace

class TestPulseResilience : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void killedRecordingLeavesAPlayableSpoolFile()
    {
        QProcess helper;
        helper.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pulse_record_helper"), {m_dir.path()});
        QVERIFY(helper.waitForStarted(5000));
        QVERIFY(helper.waitForReadyRead(5000));
        const QString spool = QString::fromLocal8Bit(helper.readLine()).trimmed();
        QVERIFY(!spool.isEmpty());
        QCOMPARE(QFileInfo(spool).absolutePath(), QFileInfo(m_dir.path()).absoluteFilePath());
        // A monitor whose sink had rendered far ahead hands a new recording its first audio up to
        // two seconds late: the header is watched until it announces two seconds.
        QTRY_VERIFY_WITH_TIMEOUT(headerDataBytes(spool) >= 2 * 44100 * 4, 10000);
        helper.kill(); // SIGKILL: no chance to finish anything
        QVERIFY(helper.waitForFinished(5000));

        // The header alone must already announce the audio written so far.
        const qint64 dataBytes = headerDataBytes(spool);
        QVERIFY2(dataBytes >= 2 * 44100 * 4, qPrintable(QStringLiteral("data chunk of %1 bytes").arg(dataBytes)));
        const Wave wave = readWave(spool);
        QVERIFY(wave.ok);
        QCOMPARE(wave.info.samplerate, 44100);
        QCOMPARE(wave.info.channels, 2);
        QVERIFY2(wave.info.frames >= 2 * 44100, qPrintable(QStringLiteral("%1 frames").arg(wave.info.frames)));
    }

    void serverDyingMidRecordingKeepsTheAudio()
    {
        // A server of its own, to kill.
        const QString runtime = m_dir.filePath("runtime");
        QVERIFY(QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        const QString server = QStringLiteral("unix:") + runtime + QStringLiteral("/pulse/native");
        env.insert(QStringLiteral("PULSE_SERVER"), server);
        QProcess daemon;
        daemon.setProcessEnvironment(env);
        daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        daemon.start(QStringLiteral("pulseaudio"),
                     {QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"), QStringLiteral("-n"),
                      QStringLiteral("--use-pid-file=no"), QStringLiteral("--load=module-native-protocol-unix"),
                      QStringLiteral("--load=module-null-sink sink_name=doomed rate=44100 format=s16le channels=2")});
        QVERIFY(daemon.waitForStarted(5000));
        bool up = false;
        for (int i = 0; i < 100 && !up; ++i) {
            up = run(QStringLiteral("pactl"), {QStringLiteral("info")}, 2000, env).exitCode == 0;
            if (!up)
                sleepMs(100);
        }
        QVERIFY2(up, "the private sound server did not start");
        run(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), QStringLiteral("doomed.monitor")}, 5000,
            env);

        const QString tone = m_dir.filePath("tone.wav");
        QVERIFY(writeWave(tone, 44100, 2, sine(20.0)));
        QProcess player;
        player.setProcessEnvironment(env);
        player.start(QStringLiteral("paplay"), {QStringLiteral("--device=doomed"), tone});
        QVERIFY(player.waitForStarted(5000));

        auto pulse = std::make_shared<PulseContext>(server.toStdString());
        QVERIFY(pulse->ensureConnected());
        PulseCapture capture(pulse);
        capture.setSpoolFolder(m_dir.path());
        QCOMPARE(capture.start(2, 44100, 16), 0);
        QCOMPARE(capture.recordingSourceName(), std::string("doomed.monitor"));
        // Three seconds of the tone in the spool: the monitor's first audio may come up to two
        // seconds late, and the last 200 ms it hands over wait in the capture.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(capture.spoolPath()).size() >= 3 * 44100 * 4 + 44100 * 4 / 2, 15000);
        daemon.kill();
        QVERIFY(daemon.waitForFinished(5000));
        player.waitForFinished(5000);
        // The capture learns that its server is gone.
        QVERIFY(eventually([&] { return capture.failure() != CaptureComponent::Failure::None; }));

        const QString target = m_dir.filePath("survivor.wav");
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(capture.save(target), 0);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QStringLiteral("op 0 took %1 ms").arg(clock.elapsed())));
        const Wave wave = readWave(target);
        QVERIFY(wave.ok);
        const auto [first, last] = loudSpan(wave, 0.25);
        QVERIFY2(first >= 0, "the tone captured before the server died is missing");
        QVERIFY2(last - first >= 44100, qPrintable(QStringLiteral("%1 frames of tone").arg(last - first)));
        QVERIFY(wave.info.frames >= 3 * 44100);

        // Without its server the component answers at once.
        clock.restart();
        QCOMPARE(capture.sourceCount(), 0);
        QVERIFY(clock.elapsed() < 2000);
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (const int gate = pulse_test::gate("test_pulse_resilience"))
        return gate;
    TestPulseResilience test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_pulse_resilience.moc"
