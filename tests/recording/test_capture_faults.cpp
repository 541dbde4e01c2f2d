// The capture when things go wrong for real: the source unloaded and the sound server killed in the
// middle of a take, no server at all, a disk that fills up. Each case runs a server of its own, so
// unloading and killing cannot disturb the other tests. What was captured must be kept, the failure
// must be told within a second, and the next take after the source or server is back must work and
// hold the sound from its first moment.

#include "platform/pulse_context.h"
#include "recording/pulse_capture.h"
#include "recording/recorder.h"
#include "tests/recording/pulse_test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sys/mount.h>

using namespace pulse_test;

namespace {

QString nullSink(const QString& name)
{
    return QStringLiteral("module-null-sink sink_name=%1 rate=44100 format=s16le channels=2").arg(name);
}

// A tone played into a sink of the private server for as long as it lives.
class Tone {
public:
    Tone(const PrivateServer& server, const QString& sink, const QString& file)
    {
        m_player.setProcessEnvironment(server.environment());
        m_player.start(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, file});
        m_player.waitForStarted(5000);
    }
    ~Tone()
    {
        m_player.kill();
        m_player.waitForFinished(5000);
    }

private:
    QProcess m_player;
};

// The capture on a private server, with the failures it reports written down.
struct Rig {
    std::shared_ptr<PulseContext> pulse;
    std::unique_ptr<PulseCapture> capture;
    QList<CaptureComponent::Failure> failures;
    QElapsedTimer sinceFailure;

    Rig(const PrivateServer& server, const QString& folder)
        : pulse(std::make_shared<PulseContext>(server.server().toStdString())),
          capture(std::make_unique<PulseCapture>(pulse))
    {
        capture->setSpoolFolder(folder);
        capture->setFailureHandler([this](CaptureComponent::Failure failure) {
            failures.append(failure);
            sinceFailure.start();
        });
    }
    // Selects the source of that name by its index in the capture's list.
    bool select(const std::string& name)
    {
        const std::vector<PulseSource> sources = pulse->sources();
        for (size_t i = 0; i < sources.size(); ++i)
            if (sources[i].name == name)
                return capture->selectSource(int32_t(i));
        return false;
    }
};

// The server lists a record stream: with no take running, the one that keeps the source ready.
bool sourceIsKeptReady(const PrivateServer& server)
{
    return !server.pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs")}).isEmpty();
}

// Seconds into the recording where the tone is first heard; -1 when never.
double toneStartsAt(const QString& path)
{
    const Wave wave = readWave(path);
    if (!wave.ok)
        return -1;
    const long first = loudSpan(wave, 0.1).first;
    return first < 0 ? -1 : double(first) / wave.info.samplerate;
}

} // namespace

class TestCaptureFaults : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_tone;

    static void sleepMs(int ms) { QTest::qWait(ms); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_tone = m_dir.filePath(QStringLiteral("tone.wav"));
        QVERIFY(writeWave(m_tone, 44100, 2, sine(60.0)));
    }

    void theSourceGoesMidTakeAndComesBack()
    {
        PrivateServer server(m_dir.filePath(QStringLiteral("source")), {nullSink(QStringLiteral("keep_sink"))});
        QVERIFY(server.start());
        const int sink = server.loadModule(QStringLiteral("module-null-sink"),
                                           {QStringLiteral("sink_name=gone_sink"), QStringLiteral("rate=44100")});
        QVERIFY(sink >= 0);
        Rig rig(server, m_dir.path());
        QVERIFY(rig.select("gone_sink.monitor"));
        auto tone = std::make_unique<Tone>(server, QStringLiteral("gone_sink"), m_tone);

        QCOMPARE(rig.capture->start(2, 44100, 16), int32_t(CaptureComponent::Started));
        // A second of the tone has reached the disk.
        const QString spool = rig.capture->spoolPath();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(spool).size() > 44100 * 4, 10000);
        tone.reset();
        server.pactl({QStringLiteral("unload-module"), QString::number(sink)});
        const qint64 before = QFileInfo(spool).size();
        QElapsedTimer told;
        told.start();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.failures.isEmpty(), 1000);
        QVERIFY(told.elapsed() < 1000);
        QCOMPARE(rig.failures, QList<CaptureComponent::Failure>({CaptureComponent::Failure::SourceGone}));
        QCOMPARE(rig.capture->failure(), CaptureComponent::Failure::SourceGone);

        // What came before is kept, and nothing of another source came after it.
        const QString take = m_dir.filePath(QStringLiteral("source-gone.wav"));
        QCOMPARE(rig.capture->save(take), int32_t(CaptureComponent::Saved));
        const Wave wave = readWave(take);
        QVERIFY(wave.ok);
        QVERIFY2(wave.info.frames * 4 >= before - 80 && wave.info.frames * 4 <= before + 44100 * 4,
                 qPrintable(QStringLiteral("%1 frames kept of %2 bytes spooled").arg(wave.info.frames).arg(before)));
        QVERIFY(loudSpan(wave, 0.1).first >= 0);

        // The source comes back: it is made ready again by itself, and the next take holds the
        // sound that is playing from its first moment.
        QVERIFY(server.loadModule(QStringLiteral("module-null-sink"),
                                  {QStringLiteral("sink_name=gone_sink"), QStringLiteral("rate=44100")}) >= 0);
        QTRY_VERIFY_WITH_TIMEOUT(sourceIsKeptReady(server), 5000);
        tone = std::make_unique<Tone>(server, QStringLiteral("gone_sink"), m_tone);
        sleepMs(2500); // the sound has been playing a while: the sink renders far ahead by now
        QCOMPARE(rig.capture->start(2, 44100, 16), int32_t(CaptureComponent::Started));
        sleepMs(2000);
        const QString again = m_dir.filePath(QStringLiteral("source-back.wav"));
        QCOMPARE(rig.capture->save(again), int32_t(CaptureComponent::Saved));
        const double start = toneStartsAt(again);
        QVERIFY2(start >= 0 && start < 0.25, qPrintable(QStringLiteral("the sound starts at %1 s").arg(start)));
        QCOMPARE(rig.failures.size(), 1);
    }

    void theServerDiesMidTakeAndComesBack()
    {
        PrivateServer server(m_dir.filePath(QStringLiteral("server")), {nullSink(QStringLiteral("dies_sink"))});
        QVERIFY(server.start());
        server.pactl({QStringLiteral("set-default-source"), QStringLiteral("dies_sink.monitor")});
        Rig rig(server, m_dir.path());
        QVERIFY(rig.select("dies_sink.monitor"));
        {
            Tone tone(server, QStringLiteral("dies_sink"), m_tone);
            QCOMPARE(rig.capture->start(2, 22050, 16), int32_t(CaptureComponent::Started));
            const QString spool = rig.capture->spoolPath();
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(spool).size() > 22050 * 4, 10000);
            server.kill();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!rig.failures.isEmpty(), 1000);
        QCOMPARE(rig.failures, QList<CaptureComponent::Failure>({CaptureComponent::Failure::ServerGone}));
        const QString take = m_dir.filePath(QStringLiteral("server-gone.wav"));
        QCOMPARE(rig.capture->save(take), int32_t(CaptureComponent::Saved));
        const Wave wave = readWave(take);
        QVERIFY(wave.ok);
        QVERIFY2(wave.info.frames > 22050, qPrintable(QString::number(wave.info.frames)));
        QVERIFY(loudSpan(wave, 0.1).first >= 0);

        // No server: a start says so and leaves nothing behind.
        QCOMPARE(rig.capture->start(2, 22050, 16), int32_t(CaptureComponent::NoServer));
        QCOMPARE(rig.capture->save(m_dir.filePath(QStringLiteral("nothing.wav"))),
                 int32_t(CaptureComponent::NothingCaptured));
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("nothing.wav"))));
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("*.recording")}, QDir::Files), QStringList());

        // A server on the same socket again: found by itself, the source made ready, and the first
        // take holds the sound from its start.
        QVERIFY(server.start());
        server.pactl({QStringLiteral("set-default-source"), QStringLiteral("dies_sink.monitor")});
        QTRY_VERIFY_WITH_TIMEOUT(sourceIsKeptReady(server), 5000);
        Tone tone(server, QStringLiteral("dies_sink"), m_tone);
        sleepMs(2500); // the sound has been playing a while: the sink renders far ahead by now
        QCOMPARE(rig.capture->start(2, 22050, 16), int32_t(CaptureComponent::Started));
        sleepMs(2000);
        const QString again = m_dir.filePath(QStringLiteral("server-back.wav"));
        QCOMPARE(rig.capture->save(again), int32_t(CaptureComponent::Saved));
        const double start = toneStartsAt(again);
        QVERIFY2(start >= 0 && start < 0.25, qPrintable(QStringLiteral("the sound starts at %1 s").arg(start)));
    }

    void noServerAtStart()
    {
        auto pulse = std::make_shared<PulseContext>("unix:" + m_dir.filePath(QStringLiteral("none")).toStdString());
        PulseCapture capture(pulse);
        const QString folder = m_dir.filePath(QStringLiteral("empty"));
        QVERIFY(QDir().mkpath(folder));
        capture.setSpoolTarget(folder + QStringLiteral("/take.wav"));
        QCOMPARE(capture.start(2, 22050, 16), int32_t(CaptureComponent::NoServer));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }

    void aFullDiskIsToldAtTheFirstFailedWrite()
    {
        const QString small = m_dir.filePath(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(small));
        if (::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP("a small tmpfs cannot be mounted here (the test needs root)");
        PrivateServer server(m_dir.filePath(QStringLiteral("full")), {nullSink(QStringLiteral("full_sink"))});
        QVERIFY(server.start());
        Rig rig(server, small);
        QVERIFY(rig.select("full_sink.monitor"));
        Tone tone(server, QStringLiteral("full_sink"), m_tone);
        const QString take = small + QStringLiteral("/take.wav");
        rig.capture->setSpoolTarget(take);
        QCOMPARE(rig.capture->start(2, 44100, 16), int32_t(CaptureComponent::Started));
        // 1 MiB holds about 6 s at 176 kB/s.
        QTRY_VERIFY_WITH_TIMEOUT(!rig.failures.isEmpty(), 15000);
        QCOMPARE(rig.failures, QList<CaptureComponent::Failure>({CaptureComponent::Failure::WriteFailed}));
        QCOMPARE(rig.capture->writeError(), ENOSPC);
        QCOMPARE(rig.capture->save(take), int32_t(CaptureComponent::SavedIncomplete));
        const Wave wave = readWave(take);
        QVERIFY(wave.ok);
        QVERIFY2(wave.info.frames > 44100 * 4, qPrintable(QString::number(wave.info.frames)));
        QVERIFY(loudSpan(wave, 0.1).first >= 0);
        ::umount(QFile::encodeName(small).constData());
    }

    // An MP3 copy whose encoder gives up part-way through the take: the take goes on into its wave
    // file, the status line says at once that the copy failed and that the wave file will be kept,
    // and Stop keeps and lists the wave file. The encoder is run with the user's MP3 options.
    void aCopyThatFailsMidTakeIsSaidAtOnce()
    {
        PrivateServer server(m_dir.filePath(QStringLiteral("midway")), {nullSink(QStringLiteral("midway_sink"))});
        QVERIFY(server.start());
        const QString folder = m_dir.filePath(QStringLiteral("midway-takes"));
        QVERIFY(QDir().mkpath(folder));
        Rig rig(server, folder);
        QVERIFY(rig.select("midway_sink.monitor"));
        const AppPaths paths = AppPaths::inFolder(folder);
        {
            QFile config(paths.configFile());
            QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QTextStream(&config) << "[Config]\nSave Position=" << folder << "/take.wav\nSave Format=MP3\n";
        }
        // lame as the program finds it in its own folder: it takes about 2 s of the take, then fails.
        const QString arguments = folder + QStringLiteral("/lame arguments");
        {
            QFile lame(paths.programFile(QStringLiteral("lame")));
            QVERIFY(lame.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QTextStream(&lame) << "#!/bin/sh\nfor word in \"$@\"; do echo \"$word\"; done >'" << arguments
                               << "'\nhead -c 352800 >/dev/null\necho 'lame: encoder out of order' >&2\nexit 3\n";
            lame.close();
            QVERIFY(lame.setPermissions(lame.permissions() | QFileDevice::ExeOwner));
        }
        const Settings settings(paths.configFile());
        SharedState shared;
        shared.Channels = 2;
        shared.BitsPerSample = 16;
        shared.SamplesPerSec = 44100;
        shared.LameOptions = QStringLiteral(" -b 64 -m m -f");
        Recorder recorder(*rig.capture, paths, settings, shared);
        recorder.Savefile();
        QStringList messages;
        QObject::connect(&recorder, &Recorder::status, [&messages](const QString& text) { messages.append(text); });
        QStringList listed;
        QObject::connect(&recorder, &Recorder::listed,
                         [&listed](const QString&, const QString& path) { listed.append(path); });
        Tone tone(server, QStringLiteral("midway_sink"), m_tone);
        QVERIFY(recorder.record());
        QTRY_COMPARE_WITH_TIMEOUT(recorder.state(), Recorder::State::Recording, 5000);
        const QString said = QStringLiteral("Recording, but it cannot be saved as MP3: ");
        QTRY_VERIFY2_WITH_TIMEOUT(std::any_of(messages.begin(), messages.end(),
                                              [&said](const QString& text) { return text.startsWith(said); }),
                                  qPrintable(messages.join(u'|')), 10000);
        QCOMPARE(recorder.state(), Recorder::State::Recording);
        QVERIFY2(messages.last().startsWith(said) &&
                     messages.last().endsWith(QStringLiteral(". The wave file will be kept.")),
                 qPrintable(messages.last()));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/take.mp3.encoding")));

        QFile given(arguments);
        QVERIFY(given.open(QIODevice::ReadOnly));
        QCOMPARE(given.readAll().split('\n').mid(0, 5), QList<QByteArray>({"-b", "64", "-a", "-f", "-r"}));

        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(rig.capture->spoolPath()).size() > 44100 * 4 * 3, 10000);
        QVERIFY(recorder.stop());
        QTRY_COMPARE_WITH_TIMEOUT(recorder.state(), Recorder::State::Idle, 10000);
        const QString wave = QFileInfo(folder + QStringLiteral("/take.wav")).canonicalFilePath();
        QVERIFY2(!wave.isEmpty(), qPrintable(messages.join(u'|')));
        QCOMPARE(listed, QStringList({wave}));
        QVERIFY2(messages.last().startsWith(QStringLiteral("It was not saved as MP3: ")) &&
                     messages.last().endsWith(QStringLiteral(". The recording is kept as the wave file ") + wave),
                 qPrintable(messages.last()));
        const Wave kept = readWave(wave);
        QVERIFY(kept.ok);
        QVERIFY2(kept.info.frames > 44100 * 3, qPrintable(QString::number(kept.info.frames)));
        QVERIFY(loudSpan(kept, 0.1).first >= 0);
        QCOMPARE(QDir(folder).entryList({QStringLiteral("take.mp3*")}, QDir::Files), QStringList());
    }

    // A take saved in another format: when its source goes, the take ends in that format, holding
    // what came before; when the disk fills up, the wave file holds what was written and the
    // unfinished copy goes.
    void aTakeSavedInAnotherFormatSurvivesTheSourceGoingAndAFullDisk()
    {
        PrivateServer server(m_dir.filePath(QStringLiteral("copy")), {nullSink(QStringLiteral("copy_keep"))});
        QVERIFY(server.start());
        const QString folder = m_dir.filePath(QStringLiteral("copies"));
        QVERIFY(QDir().mkpath(folder));
        Rig rig(server, folder);
        const AppPaths paths = AppPaths::inFolder(folder);
        auto configure = [&paths](const QString& take, const QString& format) {
            QFile file(paths.configFile());
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QTextStream(&file) << "[Config]\nSave Position=" << take << "\nSave Format=" << format << "\n";
        };
        const Settings settings(paths.configFile());
        SharedState shared;
        shared.Channels = 2;
        shared.BitsPerSample = 16;
        shared.SamplesPerSec = 44100;
        Recorder recorder(*rig.capture, paths, settings, shared);
        QStringList messages;
        QObject::connect(&recorder, &Recorder::status, [&messages](const QString& text) { messages.append(text); });
        QStringList listed;
        QObject::connect(&recorder, &Recorder::listed,
                         [&listed](const QString&, const QString& path) { listed.append(path); });

        for (const auto& [format, extension] : {std::pair{"FLAC", "flac"}, std::pair{"Ogg Vorbis", "ogg"},
                                                std::pair{"Opus", "opus"}, std::pair{"MP3", "mp3"}}) {
            const QString name = QStringLiteral("take-") + QLatin1String(extension);
            const int sink = server.loadModule(QStringLiteral("module-null-sink"),
                                               {QStringLiteral("sink_name=copy_gone"), QStringLiteral("rate=44100")});
            QVERIFY(sink >= 0);
            QVERIFY(rig.select("copy_gone.monitor"));
            configure(folder + u'/' + name + QStringLiteral(".wav"), QLatin1String(format));
            recorder.Savefile();
            recorder.restartNumbering();
            listed.clear();
            auto tone = std::make_unique<Tone>(server, QStringLiteral("copy_gone"), m_tone);
            QVERIFY(recorder.record());
            QTRY_COMPARE_WITH_TIMEOUT(recorder.state(), Recorder::State::Recording, 5000);
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(rig.capture->spoolPath()).size() > 44100 * 4, 10000);
            const QString copy = folder + u'/' + name + u'.' + QLatin1String(extension);
            QVERIFY(QFileInfo::exists(copy + QStringLiteral(".encoding")));
            tone.reset();
            server.pactl({QStringLiteral("unload-module"), QString::number(sink)});
            QTRY_COMPARE_WITH_TIMEOUT(recorder.state(), Recorder::State::Idle, 10000);
            const QString saved = QFileInfo(copy).canonicalFilePath();
            QVERIFY2(!saved.isEmpty(), qPrintable(messages.join(u'|')));
            QCOMPARE(listed, QStringList({saved}));
            QVERIFY(!QFileInfo::exists(folder + u'/' + name + QStringLiteral(".wav")));
            QVERIFY2(messages.last().startsWith(QStringLiteral("Recording stopped: the source is gone.")) &&
                         messages.last().endsWith(saved),
                     qPrintable(messages.last()));
            const Wave kept = readWave(saved);
            QVERIFY2(kept.ok, extension);
            QVERIFY2(kept.info.frames > 44100, qPrintable(QString::number(kept.info.frames)));
            QVERIFY2(loudSpan(kept, 0.1).first >= 0, extension);
        }
        QCOMPARE(QDir(folder).entryList({QStringLiteral("*.encoding"), QStringLiteral("*.recording")}, QDir::Files),
                 QStringList());

        const QString small = m_dir.filePath(QStringLiteral("small-copy"));
        QVERIFY(QDir().mkpath(small));
        if (::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP("a small tmpfs cannot be mounted here (the test needs root)");
        QVERIFY(rig.select("copy_keep.monitor"));
        configure(small + QStringLiteral("/take.wav"), QStringLiteral("FLAC"));
        recorder.Savefile();
        rig.capture->setSpoolFolder(small);
        Tone keep(server, QStringLiteral("copy_keep"), m_tone);
        listed.clear();
        QVERIFY(recorder.record());
        QTRY_COMPARE_WITH_TIMEOUT(recorder.state(), Recorder::State::Recording, 5000);
        // 1 MiB holds about 6 s of the wave file and its copy: the take ends by itself.
        QTRY_COMPARE_WITH_TIMEOUT(recorder.state(), Recorder::State::Idle, 20000);
        // The next take of the session: numbered on.
        const QString wave = QFileInfo(small + QStringLiteral("/take_1.wav")).canonicalFilePath();
        QVERIFY2(!wave.isEmpty(), qPrintable(messages.join(u'|')));
        QCOMPARE(listed, QStringList({wave}));
        QCOMPARE(QDir(small).entryList(QDir::Files), QStringList({QStringLiteral("take_1.wav")}));
        // The copy fills the disk as well: whichever of the two finds it full first, the copy's own
        // failure may be said with it.
        QVERIFY2(messages.last().startsWith(QStringLiteral("Recording stopped: the disk is full.")) &&
                     QRegularExpression(QStringLiteral(" It was not saved as FLAC(: cannot write take_1\\.flac: "
                                                       "No space left on device)?\\.$"))
                         .match(messages.last())
                         .hasMatch(),
                 qPrintable(messages.last()));
        const Wave written = readWave(wave);
        QVERIFY(written.ok);
        QVERIFY(written.info.frames > 44100);
        ::umount(QFile::encodeName(small).constData());
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty()) {
        std::fprintf(stderr, "test_capture_faults: pulseaudio is not installed: skipped\n");
        return 77;
    }
    TestCaptureFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_capture_faults.moc"
