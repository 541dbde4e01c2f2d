// The list of recording sources and the choice among them, against the real sound server with an
// extra null sink and a sine source loaded; and what the components do with no server, or with one
// that never answers.

#include "platform/pulse_context.h"
#include "recording/pulse_backends.h"
#include "recording/pulse_capture.h"
#include "recording/pulse_mixer.h"
#include "tests/recording/pulse_test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <QTest>
#include <cmath>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace pulse_test;

namespace {

std::vector<std::string> names(const std::vector<PulseSource>& sources)
{
    std::vector<std::string> result;
    for (const PulseSource& source : sources)
        result.push_back(source.name);
    return result;
}

int indexOf(const std::vector<PulseSource>& sources, const std::string& name)
{
    for (size_t i = 0; i < sources.size(); ++i)
        if (sources[i].name == name)
            return int(i);
    return -1;
}

} // namespace

class TestPulseSources : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<PulseContext> m_pulse;

    // Ends a stream of ours the way a volume control's kill does.
    void killSourceOutput(const QString& index)
    {
        PulseContext::Lock lock(*m_pulse);
        if (pa_operation* killing = pa_context_kill_source_output(m_pulse->context(), index.toUInt(), nullptr, nullptr))
            pa_operation_unref(killing);
    }
    QTemporaryDir m_dir;
    QString m_previousDefault;
    int m_extraSink = -1;
    TestSource m_sine{QStringLiteral("trelvik_test_sine"), TestSource::Kind::Tone};

    void checkGroups(const std::vector<PulseSource>& sources, const std::string& expectedDefault)
    {
        QVERIFY(!sources.empty());
        QCOMPARE(QString::fromStdString(sources.front().name), QString::fromStdString(expectedDefault));
        // Inputs before monitors, each group by name.
        for (size_t i = 2; i < sources.size(); ++i) {
            const PulseSource& a = sources[i - 1];
            const PulseSource& b = sources[i];
            QVERIFY2(a.monitor <= b.monitor, "an input after a monitor");
            if (a.monitor == b.monitor)
                QVERIFY2(a.name < b.name, (a.name + " before " + b.name).c_str());
        }
        // Exactly the server's sources.
        const QStringList server = pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")})
                                       .split('\n', Qt::SkipEmptyParts);
        QCOMPARE(sources.size(), size_t(server.size()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_previousDefault = defaultSource();
        m_extraSink = loadModule(QStringLiteral("module-null-sink"), {QStringLiteral("sink_name=trelvik_test_extra")});
        QVERIFY(m_extraSink >= 0);
        QVERIFY(m_sine.load());
        QVERIFY(setDefaultSource(testMonitor()));
        m_pulse = std::make_shared<PulseContext>();
        QVERIFY(m_pulse->ensureConnected());
    }

    void cleanupTestCase()
    {
        m_sine.unload();
        unloadModule(m_extraSink);
        if (!m_previousDefault.isEmpty())
            setDefaultSource(m_previousDefault);
    }

    void listsDefaultThenInputsThenMonitors()
    {
        const std::vector<PulseSource> sources = m_pulse->sources();
        checkGroups(sources, testMonitor().toStdString());
        const int sine = indexOf(sources, "trelvik_test_sine");
        const int extra = indexOf(sources, "trelvik_test_extra.monitor");
        QVERIFY(sine > 0);
        QVERIFY(extra > sine);
        QVERIFY(sources[size_t(extra)].monitor);
        QVERIFY(!sources[size_t(sine)].monitor);
        QCOMPARE(int(sources[size_t(sine)].channels), 1);

        PulseCapture capture(m_pulse);
        QCOMPARE(capture.sourceCount(), int32_t(sources.size()));

        // Another default source moves to the front; the old one joins the monitors. PipeWire's
        // Pulse server keeps each client's view of the default apart and brings it up to date as its
        // own news arrives, so a connection made earlier can learn of it after pactl's.
        QVERIFY(setDefaultSource(QStringLiteral("trelvik_test_sine")));
        std::vector<PulseSource> after;
        QVERIFY(eventually([&] {
            after = m_pulse->sources();
            return !after.empty() && after.front().name == "trelvik_test_sine";
        }));
        checkGroups(after, "trelvik_test_sine");
        QVERIFY(indexOf(after, testMonitor().toStdString()) > indexOf(after, "trelvik_test_extra.monitor") ||
                testMonitor().toStdString() < "trelvik_test_extra.monitor");
        QVERIFY(setDefaultSource(testMonitor()));
        // The same server gives the same list.
        QVERIFY(eventually([&] { return names(m_pulse->sources()) == names(sources); }));
    }

    void selectsByIndexAndFindsTheSourceAgainByName()
    {
        PulseCapture capture(m_pulse);
        capture.setSpoolFolder(m_dir.path());
        const std::vector<PulseSource> sources = m_pulse->sources();
        const int sine = indexOf(sources, "trelvik_test_sine");
        QVERIFY(sine > 0);

        QVERIFY(capture.selectSource(sine));
        QCOMPARE(capture.start(1, 22050, 16), 0);
        QCOMPARE(capture.recordingSourceName(), std::string("trelvik_test_sine"));
        QVERIFY(capturesSound(capture));
        QCOMPARE(capture.save(m_dir.filePath("sine1.wav")), 0);

        // The source goes away: recordings use the default source meanwhile.
        m_sine.unload();
        QCOMPARE(capture.start(1, 22050, 16), 0);
        QCOMPARE(capture.recordingSourceName(), testMonitor().toStdString());
        QVERIFY(capturesSound(capture));
        QCOMPARE(capture.save(m_dir.filePath("default.wav")), 0);

        // It comes back (under another server index): it is found by its name.
        QVERIFY(m_sine.load());
        QCOMPARE(capture.start(1, 22050, 16), 0);
        QCOMPARE(capture.recordingSourceName(), std::string("trelvik_test_sine"));
        QVERIFY2(capturesSound(capture, 0.05f), "the sine source's tone does not arrive");
        QCOMPARE(capture.save(m_dir.filePath("sine2.wav")), 0);
        const Wave wave = readWave(m_dir.filePath("sine2.wav"));
        QVERIFY(wave.ok);
        const auto [first, last] = loudSpan(wave, 0.05);
        QVERIFY2(first >= 0 && last > first, "the sine source's tone is not in the recording");
    }

    void indexOutsideTheListMeansTheDefault()
    {
        PulseCapture capture(m_pulse);
        capture.setSpoolFolder(m_dir.path());
        const int count = capture.sourceCount();
        QVERIFY(count >= 3);
        for (int index : {-1, -2, count, count + 5}) {
            const int sine = indexOf(m_pulse->sources(), "trelvik_test_sine");
            QVERIFY(capture.selectSource(sine));
            capture.selectSource(index);
            QCOMPARE(capture.selectedSourceName(), std::string());
            QCOMPARE(capture.start(2, 44100, 16), 0);
            QCOMPARE(capture.recordingSourceName(), testMonitor().toStdString());
            QVERIFY(capturesSound(capture));
            QCOMPARE(capture.save(m_dir.filePath(QStringLiteral("d%1.wav").arg(index + 10))), 0);
        }
        QCOMPARE(m_pulse->sourceAt(-1).name, testMonitor().toStdString());
        QCOMPARE(m_pulse->sourceAt(-2).name, testMonitor().toStdString());
    }

    // The seconds before Record come from the source chosen when Record is pressed, also when it was
    // chosen while listening; nothing of them is written before Record, and off, nothing listens.
    void listeningFollowsTheChosenSourceAndWritesNothing()
    {
        QTemporaryDir spool;
        PulseCapture capture(m_pulse);
        capture.setSpoolFolder(spool.path());
        capture.selectSourceNamed(QStringLiteral("trelvik_test_extra.monitor"));
        capture.setPreRecord(2, 1, 44100, 16);
        QVERIFY(eventually([&] { return capture.isListening(); }));
        capture.selectSourceNamed(QStringLiteral("trelvik_test_sine"));
        QVERIFY(eventually([&] { return capture.isListening(); }));
        // Ended by somebody else (a volume control's kill, a server's own failure) while its source
        // stays: it listens again.
        const QString listening = sourceOutputNamed(QStringLiteral("Listening"));
        QVERIFY(!listening.isEmpty());
        killSourceOutput(listening);
        QVERIFY2(eventually([&] {
                     const QString again = sourceOutputNamed(QStringLiteral("Listening"));
                     return !again.isEmpty() && again != listening && capture.isListening();
                 }),
                 "a listening stream that was ended is not made again");
        // Longer than the seconds kept: the ring has filled.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        QVERIFY(QDir(spool.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());

        QCOMPARE(capture.start(1, 44100, 16), int32_t(CaptureComponent::Started));
        QVERIFY2(capture.keptBeforeStartMs() >= 1900, qPrintable(QString::number(capture.keptBeforeStartMs())));
        QVERIFY(eventually([&] { return QFileInfo(capture.spoolPath()).size() > 44 + 2 * 44100 * 2; }));
        const QString path = m_dir.filePath(QStringLiteral("before.wav"));
        QCOMPARE(capture.save(path), int32_t(CaptureComponent::Saved));
        const Wave wave = readWave(path);
        QVERIFY(wave.ok && wave.info.channels == 1 && wave.info.frames >= 2 * 44100);
        // The tone from the first sample on: the part from before Record is the sine's.
        double sum = 0;
        for (size_t i = 0; i < 44100; ++i)
            sum += wave.values[i] * wave.values[i];
        QVERIFY2(std::sqrt(sum / 44100) > 0.05, qPrintable(QString::number(std::sqrt(sum / 44100))));

        capture.setPreRecord(0, 1, 44100, 16);
        QVERIFY(eventually([&] { return !capture.isListening(); }));
    }

    // The idle meter's stream and the one that keeps the source ready, ended by somebody else while
    // their source stays, come back by themselves.
    void idleStreamsEndedByOthersComeBack()
    {
        PulseCapture capture(m_pulse);
        capture.setSpoolFolder(m_dir.path());
        capture.selectSourceNamed(QStringLiteral("trelvik_test_sine"));
        capture.watchLevels(true);
        for (const QString& name : {QStringLiteral("Input level"), QStringLiteral("Keeping the source ready")}) {
            QVERIFY2(eventually([&] { return !sourceOutputNamed(name).isEmpty(); }), qPrintable(name));
            const QString first = sourceOutputNamed(name);
            killSourceOutput(first);
            QVERIFY2(eventually([&] {
                         const QString again = sourceOutputNamed(name);
                         return !again.isEmpty() && again != first;
                     }),
                     qPrintable(name + QStringLiteral(" is not made again")));
        }
        QVERIFY(eventually([&] { return capture.isMeasuringIdle(); }));
    }

    void withoutServerNothingWaitsAndNothingBreaks()
    {
        auto pulse = std::make_shared<PulseContext>("unix:" + m_dir.filePath("no-server").toStdString());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!pulse->ensureConnected());
        PulseCapture capture(pulse);
        capture.setSpoolFolder(m_dir.path());
        QCOMPARE(capture.sourceCount(), 0);
        capture.selectSource(0);
        QCOMPARE(capture.start(2, 22050, 16), int32_t(CaptureComponent::NoServer));
        // Nothing was recorded, and nothing is claimed or left behind.
        QCOMPARE(capture.save(m_dir.filePath("none.wav")), int32_t(CaptureComponent::NothingCaptured));
        QVERIFY(!QFileInfo::exists(m_dir.filePath("none.wav")));
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("*.recording")}, QDir::Files), QStringList());
        PulseMixer mixer(pulse);
        LevelRange range{-1, -1, -1, -1};
        mixer.Volume(0, 1000, range);
        QCOMPARE(range[0], 0);
        QCOMPARE(range[1], 65536);
        QVERIFY(!mixer.lastLevelAccepted());
        QVERIFY(clock.elapsed() < 2000);
    }

    void aServerThatNeverAnswersCostsAtMostTwoSeconds()
    {
        // A socket that accepts connections (the kernel completes them) and never answers.
        const QString socketPath = m_dir.filePath("hung");
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(listener >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.toLocal8Bit().constData());
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QCOMPARE(::listen(listener, 8), 0);
        auto pulse = std::make_shared<PulseContext>("unix:" + socketPath.toStdString());
        PulseCapture capture(pulse);
        QElapsedTimer clock;
        clock.start();
        std::atomic<int32_t> count{-1};
        std::thread caller([&] { count = capture.sourceCount(); });
        caller.join();
        ::close(listener);
        QCOMPARE(count.load(), 0);
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
    }

    void backendsWorkWithTheServer()
    {
        PulseBackends backends = makePulseBackends();
        QVERIFY(backends.pulse && backends.capture && backends.mixer);
        // Connected in the background; the sources are known once the server has listed them.
        bool known = false;
        backends.capture->whenSourcesKnown([&known] { known = true; });
        QTRY_VERIFY(known);
        QVERIFY(backends.pulse->isConnected());
        QCOMPARE(backends.capture->sourceCount(), int32_t(m_pulse->sources().size()));

        // Given up before its loop thread has begun to connect: nothing of it is left running.
        for (int i = 0; i < 20; ++i)
            PulseBackends dropped = makePulseBackends();
        // Asked to connect at once while the loop thread is about to: one connection, which stays.
        for (int i = 0; i < 5; ++i) {
            auto pulse = std::make_shared<PulseContext>();
            pulse->connectFromLoop();
            QVERIFY(pulse->ensureConnected());
            pa_context* first = nullptr;
            {
                PulseContext::Lock lock(*pulse);
                first = pulse->context();
            }
            QVERIFY(first);
            QCOMPARE(pulse->sources().size(), m_pulse->sources().size());
            PulseContext::Lock lock(*pulse);
            QCOMPARE(pulse->context(), first);
        }
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (const int gate = pulse_test::gate("test_pulse_sources"))
        return gate;
    TestPulseSources test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_pulse_sources.moc"
