#include "library/pulse_player.h"
#include "recording/pulse_backends.h"
#include "recording/recorder.h"
#include "setup/form2.h"
#include "tests/recording/pulse_test_support.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

class QuietHost : public WizardHost {
public:
    void requestClose() override {}
    void wizardDone(int16_t) override {}
};

// The wizard on the real sound server, with the built chime beside the program.
struct Fixture {
    QTemporaryDir dir;
    Platform platform;
    QuietHost host;
    AppPaths paths;
    SharedState state;
    Settings settings{paths.configFile()};
    std::unique_ptr<Recorder> recorder;
    std::unique_ptr<Form2> wizard;

    Fixture() : paths(AppPaths::inFolder(dir.path()))
    {
        QFile::copy(qEnvironmentVariable("TRELVIK_BIN_DIR") + QStringLiteral("/test.wav"),
                    paths.programFile(QStringLiteral("test.wav")));
        PulseBackends sound = makePulseBackends();
        platform.pulse = std::move(sound.pulse);
        platform.capture = std::move(sound.capture);
        platform.mixer = std::move(sound.mixer);
        platform.player = std::make_unique<PulsePlayer>(platform.pulse);
        recorder = std::make_unique<Recorder>(*platform.capture, paths, settings, state);
        wizard = std::make_unique<Form2>(paths, platform, settings, *recorder, host);
    }
    // Next counts the sources once the sound server has listed them.
    bool countSources()
    {
        wizard->SkinButton1->click();
        return QTest::qWaitFor([this] { return wizard->step() == Form2::Step::Counted; }, 5000);
    }
    // Counts the sources, then records the first while the chime plays, and waits for the check.
    QString testFirstSource()
    {
        if (!countSources())
            return QStringLiteral("the sources were never counted");
        for (int i = 0; i < 2; ++i)
            wizard->SkinButton1->click();
        if (!QTest::qWaitFor([this] { return wizard->step() == Form2::Step::Recorded; }, 15000))
            return QStringLiteral("the test never ended");
        return wizard->ChimeLabel->text();
    }
};

} // namespace

class TestWizardSound : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo::exists(qEnvironmentVariable("TRELVIK_BIN_DIR") + QStringLiteral("/test.wav")),
                 "the build makes test.wav beside the program");
        // Other tests move levels; this one needs the monitor to hear the sink as it is.
        pulse_test::pactl({"set-source-volume", pulse_test::testMonitor(), "100%"});
        pulse_test::pactl({"set-source-mute", pulse_test::testMonitor(), "0"});
        pulse_test::pactl({"set-sink-volume", pulse_test::testSink(), "100%"});
        pulse_test::pactl({"set-sink-mute", pulse_test::testSink(), "0"});
    }

    void theMonitorHearsTheChime()
    {
        const QString previous = pulse_test::defaultSource();
        pulse_test::setDefaultSource(pulse_test::testMonitor());
        Fixture f;
        const QString found = f.testFirstSource();
        const QString scratch = f.wizard->scratchPath();
        pulse_test::setDefaultSource(previous);
        QVERIFY2(found.contains(QStringLiteral("was found")), qPrintable(found));
        // The line gives the chime's peak as it arrived, the loudest sample of the test recording as
        // sox measures it (the server's channel mixing decides how loud that is).
        QProcess sox;
        sox.start(QStringLiteral("sox"), {scratch, QStringLiteral("-n"), QStringLiteral("stat")});
        QVERIFY(sox.waitForFinished(10000));
        double loudest = 0;
        for (const QString& line : QString::fromLocal8Bit(sox.readAllStandardError()).split(u'\n'))
            if (line.startsWith(QStringLiteral("Maximum amplitude")) ||
                line.startsWith(QStringLiteral("Minimum amplitude")))
                loudest = std::max(loudest, std::abs(line.section(u':', 1).trimmed().toDouble()));
        QVERIFY(loudest > 0);
        const QRegularExpressionMatch shown =
            QRegularExpression(QStringLiteral("Chime peak: (-\\d+\\.\\d) dBFS\\.")).match(found);
        QVERIFY2(shown.hasMatch(), qPrintable(found));
        QVERIFY2(std::abs(shown.captured(1).toDouble() - 20 * std::log10(loudest)) <= 0.1,
                 qPrintable(found + QStringLiteral(" sox: %1").arg(20 * std::log10(loudest))));
        QVERIFY(QFileInfo::exists(scratch));
        f.wizard.reset();
        QVERIFY(!QFileInfo::exists(scratch)); // removed when the wizard ends
    }

    // The window is the user's while the chime plays: it answers, and closing it ends the test
    // recording and leaves no file.
    void closingDuringTheChimeEndsTheTest()
    {
        Fixture f;
        QVERIFY(f.countSources());
        for (int i = 0; i < 2; ++i)
            f.wizard->SkinButton1->click();
        QCOMPARE(f.wizard->step(), Form2::Step::Recording);
        QCOMPARE(f.recorder->state(), Recorder::State::Testing);
        QVERIFY(!f.wizard->SkinButton1->isEnabled());
        // Events keep running while it plays: a timer set now fires long before the chime ends.
        bool answered = false;
        QTimer::singleShot(100, [&answered] { answered = true; });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 1000);
        QCOMPARE(f.wizard->step(), Form2::Step::Recording);
        f.wizard->close();
        QTRY_COMPARE_WITH_TIMEOUT(f.recorder->state(), Recorder::State::Idle, 5000);
        QVERIFY(!QFileInfo::exists(f.wizard->scratchPath()));
        QCOMPARE(f.platform.player->state(f.paths.programFile(QStringLiteral("test.wav"))), Player::State::Closed);
    }

    void aSilentSourceDoesNot()
    {
        pulse_test::TestSource silence(QStringLiteral("trelvik_wizard_silence"), pulse_test::TestSource::Kind::Silent);
        QVERIFY(silence.load());
        const QString previous = pulse_test::defaultSource();
        QVERIFY(pulse_test::setDefaultSource(QStringLiteral("trelvik_wizard_silence")));
        QString found;
        {
            Fixture f;
            found = f.testFirstSource();
        }
        pulse_test::setDefaultSource(previous);
        silence.unload();
        QVERIFY2(!found.contains(QStringLiteral("was found")), qPrintable(found));
        QVERIFY2(found.contains(QStringLiteral("silent")), qPrintable(found));
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (const int gate = pulse_test::gate("test_wizard_sound"))
        return gate;
    TestWizardSound test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_wizard_sound.moc"
