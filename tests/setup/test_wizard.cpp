#include "app/form1.h"
#include "library/chime.h"
#include "recording/recorder.h"
#include "tests/fakes/window_fixture.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

const QString kM3 =
    QStringLiteral("Press Next button, you should hear the same TEST chime AGAIN or you will not hear any voice.");
const QString kM4 = QStringLiteral(
    "Have you heard the TEST chime AGAIN? If you haven't heard any voice, press NEXT button to continue.");
const QString kM5 = QStringLiteral("Your sound card cannot support recording function.");
const QString kM6 = QStringLiteral("Sound card settings Completed,the information has be saved!");

// A first run: no Config.ini, so only the wizard is shown.
struct Fixture : WindowFixture {
    Form2* wizard = nullptr;

    explicit Fixture(int sources, bool listed = true)
    {
        fakes.capture->sourcesListed = listed;
        fakes.capture->sources = sources;
        for (int i = 0; i < sources; ++i)
            fakes.capture->sourceNames.append(QStringLiteral("source-%1").arg(i + 1));
        fakes.mixer->highest = 65536;
        load();
        wizard = form->wizard();
        fakes.log.clear();
    }
    QString text() const { return wizard->SkinLabel1->text(); }
    // Next, and what it starts (the chime, the save, the playback) to its end: the wizard waits for
    // these through the event loop.
    void next()
    {
        wizard->SkinButton1->click();
        using Step = Form2::Step;
        QTRY_VERIFY(wizard->step() != Step::Recording && wizard->step() != Step::Saving &&
                    wizard->step() != Step::PlayingBack);
    }
    // A sound played through the player, as the log shows it: started, asked about until it has
    // played out, closed.
    static QStringList played(const QString& path)
    {
        return {QStringLiteral("mci(\"play %1\")").arg(path), QStringLiteral("mci(\"status %1 mode\")").arg(path),
                QStringLiteral("mci(\"close %1\")").arg(path)};
    }
};

} // namespace

class TestWizard : public QObject {
    Q_OBJECT
private slots:
    // Next before the sound server has listed its sources waits for the list, and counts it then.
    void theCountWaitsForTheSourceList()
    {
        Fixture f(2, false);
        f.wizard->SkinButton1->click();
        QCOMPARE(f.wizard->step(), Form2::Step::Counting);
        QVERIFY(!f.wizard->SkinButton1->isEnabled());
        QVERIFY(f.fakes.log.calls().isEmpty());
        f.wizard->SkinButton1->click(); // a second press meanwhile does nothing
        f.fakes.capture->listSources();
        QCOMPARE(f.wizard->step(), Form2::Step::Counted);
        QCOMPARE(f.text(), QStringLiteral("Program has detected   2   usable recording sources."));
        QCOMPARE(f.fakes.log.calls(), QStringList({"sourceCount()"}));
        QVERIFY(f.wizard->SkinButton1->isEnabled());
    }

    void testsEachSourceWithTheChime()
    {
        Fixture f(3);
        QVERIFY(f.wizard);
        f.next();
        QCOMPARE(f.text(), QStringLiteral("Program has detected   3   usable recording sources."));
        QCOMPARE(f.fakes.log.calls(), QStringList({"sourceCount()"}));
        f.next();
        QCOMPARE(f.text(), QStringLiteral("Program will test NO.1 recording source. Press the NEXT button, You will "
                                          "hear the TEST chime."));
        f.fakes.log.clear();
        f.next();
        const QString scratch = f.wizard->scratchPath();
        QVERIFY(scratch.startsWith(QDir::tempPath() + u'/'));
        QCOMPARE(f.fakes.log.calls(), QStringList({"selectSource(0)", "start(1,22050,8)"}) +
                                          f.played(f.paths.programFile(QStringLiteral("test.wav"))) +
                                          QStringList({QStringLiteral("save(\"%1\")").arg(scratch)}));
        QCOMPARE(f.text(), kM3);
        QVERIFY(f.wizard->SkinButton1->isEnabled());
        QVERIFY(f.wizard->SkinButton2->isHidden());
        f.fakes.log.clear();
        f.next();
        QCOMPARE(f.fakes.log.calls(), f.played(scratch));
        QCOMPARE(f.text(), kM4);
        QVERIFY(!f.wizard->SkinButton2->isHidden());
        QCOMPARE(f.wizard->SkinButton2->text(), QStringLiteral("heard"));

        // Not heard: the next source.
        f.next();
        QVERIFY(f.text().startsWith(QStringLiteral("Program will test NO.2 ")));
        QVERIFY(f.wizard->SkinButton2->isHidden());
        f.fakes.log.clear();
        f.next();
        QCOMPARE(f.fakes.log.calls().first(), QStringLiteral("selectSource(1)"));
        f.next();
        QCOMPARE(f.text(), kM4);

        // Confirmed at the second source: five keys in order, then Done brings up the main window.
        f.fakes.log.clear();
        f.wizard->SkinButton2->click();
        QCOMPARE(f.text(), kM6);
        QCOMPARE(f.wizard->SkinButton2->text(), QStringLiteral("Done"));
        QVERIFY(f.wizard->SkinButton1->isHidden());
        QVERIFY(!QFileInfo::exists(scratch));
        QCOMPARE(readTextFile(f.paths.configFile()),
                 "[Config]\nRecording Source=2\nRecording Source Name=source-2\nSave Position=" +
                     f.paths.defaultRecording().toUtf8() + "\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        QVERIFY(!f.form->isVisible());
        f.wizard->SkinButton2->click();
        QCOMPARE(f.state.SourceIndex, 1);
        QCOMPARE(f.slider()->value(), 32768);
        QCOMPARE(f.fakes.log.calls(), QStringList({"levelRange(1)", "Volume(1,32768)"}));
        QCOMPARE(f.state.Channels, 2);
        QCOMPARE(f.state.BitsPerSample, 16);
        QCOMPARE(f.state.SamplesPerSec, 22050);
        QCOMPARE(f.formatPanel()->text(), QStringLiteral("22050  Hz   16  Bit"));
        QVERIFY(f.form->isVisible());
        QVERIFY(f.form->wizard() && !f.form->wizard()->isVisible()); // hidden, still loaded

        // Shutdown unloads it; its close request does not start a second shutdown.
        f.form->close();
        QVERIFY(f.state.ExitPump);
        QVERIFY(!f.form->wizard());
    }

    void aTestWaitsForARecordingStartedByAHotKey()
    {
        Fixture f(2);
        f.fakes.capture->writeFileOnStop = true;
        f.next();
        f.next();
        // F9 on the hidden main window: a recording runs into the default file.
        f.press(f.kF9);
        QCOMPARE(f.w().recorder().state(), Recorder::State::Recording);
        f.fakes.log.clear();
        f.next(); // the test of source 1 would cut into it: it is refused
        QCOMPARE(f.fakes.log.calls(), QStringList());
        QVERIFY(f.wizard->ChimeLabel->text().contains(QStringLiteral("A recording is running")));
        QVERIFY(f.text().startsWith(QStringLiteral("Program will test NO.1 ")));
        QVERIFY(f.wizard->SkinButton1->isEnabled());
        QCOMPARE(f.w().recorder().state(), Recorder::State::Recording);

        f.press(f.kF11);
        QCOMPARE(f.items(),
                 QStringList({"01     00:00     " + QFileInfo(f.paths.defaultRecording()).canonicalFilePath()}));
        f.next(); // now the test runs
        QCOMPARE(f.fakes.log.calls().mid(1, 2), QStringList({"selectSource(0)", "start(1,22050,8)"}));
        QCOMPARE(f.text(), kM3);
        // While a test records, F9 does nothing.
        f.fakes.capture->during = [&f](FakeCapture::Call call) {
            if (call == FakeCapture::Call::Start)
                f.press(f.kF9);
        };
        f.next(); // play back
        f.next(); // not heard: source 2
        f.next();
        QCOMPARE(f.w().recorder().state(), Recorder::State::Idle);
        QCOMPARE(f.fakes.log.calls().filter(QStringLiteral("start(0,0,0)")).size(), 0); // no second take
    }

    void noSourcesAndTheLastSource()
    {
        Fixture none(0);
        none.next();
        QCOMPARE(none.text(), kM5);
        writeTextFile(none.wizard->scratchPath(), "left over from an earlier run");
        none.next();
        QVERIFY(!QFileInfo::exists(none.wizard->scratchPath()));
        QVERIFY(!none.wizard->SkinButton1->isEnabled());

        Fixture one(1);
        for (int i = 0; i < 4; ++i)
            one.next();
        QCOMPARE(one.text(), kM4);
        one.next(); // not heard at the last source
        QCOMPARE(one.text(), kM5);
    }

    // The server's list changes while the wizard runs. A source gone since the count is not
    // tested (its test would record another source) and Next goes on; "heard" stores the source
    // that was tested, also when a source plugged in meanwhile moved it down the list.
    void theListChangesDuringTheWizard()
    {
        Fixture f(3);
        f.next();
        f.next();
        f.fakes.log.clear();
        f.fakes.capture->sourceNames.clear();
        f.fakes.capture->sources = 0;
        f.next();
        QVERIFY(!f.fakes.log.calls().contains(QStringLiteral("selectSource(0)")));
        QVERIFY(!f.fakes.log.calls().contains(QStringLiteral("start(1,22050,8)")));
        QVERIFY(!f.wizard->ChimeLabel->isHidden());
        QCOMPARE(f.wizard->ChimeLabel->text(),
                 QStringLiteral("The sound server does not list this source now, so it was not tested. Next goes on."));
        QVERIFY(f.wizard->SkinButton1->isEnabled());
        QVERIFY(f.wizard->SkinButton2->isHidden());
        f.next();
        QVERIFY(f.text().startsWith(QStringLiteral("Program will test NO.2 ")));

        // Back: the second source is tested, then a new source sorts in front of it before "heard".
        f.fakes.capture->sourceNames = {QStringLiteral("source-1"), QStringLiteral("source-2"),
                                        QStringLiteral("source-3")};
        f.fakes.capture->sources = 3;
        f.next();
        QCOMPARE(f.text(), kM3);
        f.next();
        QCOMPARE(f.text(), kM4);
        f.fakes.capture->sourceNames.prepend(QStringLiteral("a new headset"));
        f.fakes.capture->sources = 4;
        f.wizard->SkinButton2->click();
        QCOMPARE(f.text(), kM6);
        QVERIFY(readTextFile(f.paths.configFile()).contains("\nRecording Source Name=source-2\n"));
    }

    void theChimeCheckSaysWhatTheRecordingHolds()
    {
        Fixture f(3);
        const QString chimeFile = f.dir.filePath(QStringLiteral("heard.wav"));
        QVERIFY(chime::writeWave(chimeFile, 22050));
        // The chime's peak as written: the loudest sample, 16 bits.
        double loudest = 0;
        for (const float sample : chime::samples(22050))
            loudest = std::max(loudest, std::abs(double(sample)));
        const double chimeDb = 20 * std::log10(std::round(loudest * 32767) / 32768);
        // The figure on the result line, in dBFS; NaN when there is none.
        auto peakShown = [&f] {
            const QRegularExpressionMatch match =
                QRegularExpression(QStringLiteral("Chime peak: (-\\d+\\.\\d) dBFS\\."))
                    .match(f.wizard->ChimeLabel->text());
            return match.hasMatch() ? match.captured(1).toDouble() : std::nan("");
        };

        f.fakes.capture->recordingOnStop = chimeFile;
        for (int i = 0; i < 3; ++i)
            f.next();
        QVERIFY(!f.wizard->ChimeLabel->isHidden());
        QVERIFY2(f.wizard->ChimeLabel->text().contains(QStringLiteral("was found")),
                 qPrintable(f.wizard->ChimeLabel->text()));
        QVERIFY2(std::abs(peakShown() - chimeDb) <= 0.06, qPrintable(f.wizard->ChimeLabel->text()));

        f.next(); // play back
        f.next(); // not heard: the next source hears the chime 12 dB quieter
        const QString quieter = f.dir.filePath(QStringLiteral("quieter.wav"));
        QVERIFY(QProcess::execute(QStringLiteral("sox"), {"-D", chimeFile, quieter, "gain", "-12"}) == 0);
        f.fakes.capture->recordingOnStop = quieter;
        f.next();
        QVERIFY2(f.wizard->ChimeLabel->text().contains(QStringLiteral("was found")),
                 qPrintable(f.wizard->ChimeLabel->text()));
        QVERIFY2(std::abs(peakShown() - (chimeDb - 12)) <= 0.06, qPrintable(f.wizard->ChimeLabel->text()));

        f.next(); // play back
        f.next(); // not heard: the next source records silence
        const QString silence = f.dir.filePath(QStringLiteral("silence.wav"));
        QVERIFY(QProcess::execute(QStringLiteral("sox"),
                                  {"-D", "-n", "-r", "22050", "-c", "1", "-b", "8", silence, "trim", "0", "1"}) == 0);
        f.fakes.capture->recordingOnStop = silence;
        f.next();
        QVERIFY2(f.wizard->ChimeLabel->text().contains(QStringLiteral("silent")),
                 qPrintable(f.wizard->ChimeLabel->text()));
        QVERIFY2(f.wizard->ChimeLabel->text().endsWith(QStringLiteral("every sample is zero.")),
                 qPrintable(f.wizard->ChimeLabel->text()));
    }

    // A stream slow to start would miss the chime's first tone: the chime sounds once the test
    // recording runs. Closing the wizard while the stream starts ends the test, with no chime.
    void theChimeWaitsForTheTestRecording()
    {
        Fixture f(2);
        f.next();
        f.next();
        f.fakes.capture->holdStarts = true;
        f.fakes.log.clear();
        f.wizard->SkinButton1->click();
        QVERIFY(f.fakes.capture->startHeld());
        QCOMPARE(f.wizard->step(), Form2::Step::Recording);
        QVERIFY(!f.wizard->SkinButton1->isEnabled());
        QCoreApplication::processEvents();
        QCOMPARE(f.fakes.log.calls(), QStringList({"selectSource(0)", "start(1,22050,8)"}));
        const QString chimeFile = f.paths.programFile(QStringLiteral("test.wav"));
        f.fakes.capture->finishStart();
        QCOMPARE(f.fakes.log.calls().value(2), QStringLiteral("mci(\"play %1\")").arg(chimeFile));
        QTRY_COMPARE(f.wizard->step(), Form2::Step::Recorded);
        const QString scratch = f.wizard->scratchPath();
        QCOMPARE(f.fakes.log.calls(), QStringList({"selectSource(0)", "start(1,22050,8)"}) + f.played(chimeFile) +
                                          QStringList({QStringLiteral("save(\"%1\")").arg(scratch)}));
        QCOMPARE(f.text(), kM3);

        f.next(); // play back
        f.next(); // not heard: source 2
        f.fakes.log.clear();
        f.wizard->SkinButton1->click();
        QVERIFY(f.fakes.capture->startHeld());
        f.wizard->close();
        f.fakes.capture->finishStart();
        QTRY_COMPARE(f.w().recorder().state(), Recorder::State::Idle);
        // The test ends and saves; closing the wizard then ends the program, and nothing played.
        QCOMPARE(f.fakes.log.calls().mid(0, 3),
                 QStringList({"selectSource(1)", "start(1,22050,8)", QStringLiteral("save(\"%1\")").arg(scratch)}));
        QCOMPARE(f.fakes.log.calls().filter(QStringLiteral("mci(\"play")), QStringList());
        QVERIFY(!QFileInfo::exists(scratch));
    }

    void closingBeforeHeardEndsTheProgram()
    {
        Fixture f(2);
        f.fakes.mixer->level = 26214;
        f.next();
        f.next();
        f.next();
        const QString scratch = f.wizard->scratchPath();
        writeTextFile(scratch, "RIFF");
        QTimer::singleShot(0, f.wizard, &QWidget::close);
        f.form->HotKeyPump();
        QVERIFY(f.state.ExitPump);
        QVERIFY(!QFileInfo::exists(scratch));
        // The level alone is stored, the source's own, and none was sent: the next start is a normal
        // one that changes nothing. Where the level cannot be told, the value stays empty, which the
        // next start leaves alone too.
        QCOMPARE(readTextFile(f.paths.configFile()), QByteArray("[Config]\nRecording Volume=26214\n"));
        QVERIFY(!f.fakes.log.calls().join(u' ').contains(QStringLiteral("Volume(")));

        Fixture unknown(2);
        unknown.fakes.mixer->level.reset();
        QTimer::singleShot(0, unknown.wizard, &QWidget::close);
        unknown.form->HotKeyPump();
        QCOMPARE(readTextFile(unknown.paths.configFile()), QByteArray("[Config]\nRecording Volume=\n"));
    }
};

QTEST_MAIN(TestWizard)
#include "test_wizard.moc"
