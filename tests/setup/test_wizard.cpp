#include "app/form1.h"
#include "library/chime.h"
#include "tests/fakes/test_support.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kM3 =
    QStringLiteral("Press Next button, you should hear the same TEST chime AGAIN or you will not hear any voice.");
const QString kM4 = QStringLiteral(
    "Have you heard the TEST chime AGAIN? If you haven't heard any voice, press NEXT button to continue.");
const QString kM5 = QStringLiteral("Your sound card cannot support recording function.");
const QString kM6 = QStringLiteral("Sound card settings Completed,the information has be saved!");

struct Fixture {
    QTemporaryDir dir;
    FakePlatform fakes;
    SharedState state;
    AppPaths paths;
    std::unique_ptr<Form1> form;
    Form2* wizard = nullptr;

    explicit Fixture(int sources) : paths(AppPaths::inFolder(makeProgramFolder(dir.path())))
    {
        fakes.capture->sourceCount = sources;
        fakes.mixer->highest = 65536;
        form = std::make_unique<Form1>(paths, fakes.platform, state);
        form->Form_Load();
        wizard = form->wizard();
        fakes.log.clear();
    }
    QString text() const { return wizard->SkinLabel1->text(); }
    void next() { wizard->SkinButton1->click(); }
};

} // namespace

class TestWizard : public QObject {
    Q_OBJECT
private slots:
    void testsEachSourceWithTheChime()
    {
        Fixture f(3);
        QVERIFY(f.wizard);
        f.next();
        QCOMPARE(f.text(), QStringLiteral("Program has detected   3   usable recording sources."));
        QCOMPARE(f.fakes.log.calls(), QStringList({"Brelloc(\"\",4,0,0,0,0)"}));
        f.next();
        QCOMPARE(f.text(), QStringLiteral("Program will test NO.1 recording source. Press the NEXT button, You will "
                                          "hear the TEST chime."));
        f.fakes.log.clear();
        f.next();
        const QString scratch = f.wizard->scratchPath();
        QVERIFY(scratch.startsWith(QDir::tempPath() + u'/'));
        QCOMPARE(f.fakes.log.calls(),
                 QStringList({"Brelloc(\"\",5,0,0,0,0)", "Brelloc(\"\",1,1,22050,8,0)",
                              QStringLiteral("playAndWait(\"%1\")").arg(f.paths.programFile(QStringLiteral("test.wav"))),
                              QStringLiteral("Brelloc(\"%1\",0,0,0,0,0)").arg(scratch)}));
        QCOMPARE(f.text(), kM3);
        QVERIFY(f.wizard->SkinButton1->isEnabled());
        QVERIFY(f.wizard->SkinButton2->isHidden());
        f.fakes.log.clear();
        f.next();
        QCOMPARE(f.fakes.log.calls(), QStringList({QStringLiteral("playAndWait(\"%1\")").arg(scratch)}));
        QCOMPARE(f.text(), kM4);
        QVERIFY(!f.wizard->SkinButton2->isHidden());
        QCOMPARE(f.wizard->SkinButton2->text(), QStringLiteral("heard"));

        // Not heard: the next source.
        f.next();
        QVERIFY(f.text().startsWith(QStringLiteral("Program will test NO.2 ")));
        QVERIFY(f.wizard->SkinButton2->isHidden());
        f.fakes.log.clear();
        f.next();
        QCOMPARE(f.fakes.log.calls().first(), QStringLiteral("Brelloc(\"\",5,0,0,0,1)"));
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
                 "[Config]\nRecording Source=2\nSave Position=" + f.paths.defaultRecording().toUtf8() +
                     "\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        QVERIFY(!f.form->isVisible());
        f.wizard->SkinButton2->click();
        QCOMPARE(f.state.SourceIndex, 1);
        QCOMPARE(f.form->SkinScrollBar1->value(), 32768);
        QCOMPARE(f.fakes.log.calls(), QStringList({"Volume(1,0)", "Volume(1,32768)"}));
        QCOMPARE(f.state.Channels, 2);
        QCOMPARE(f.state.BitsPerSample, 16);
        QCOMPARE(f.state.SamplesPerSec, 22050);
        QCOMPARE(f.form->SkinPanel1->text(), QStringLiteral("22050  Hz   16  Bit"));
        QVERIFY(f.form->isVisible());
        QVERIFY(f.form->wizard() && !f.form->wizard()->isVisible()); // hidden, still loaded

        // Shutdown unloads it; its close request does not start a second shutdown.
        f.form->close();
        QVERIFY(f.state.ExitPump);
        QVERIFY(!f.form->wizard());
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

    void theChimeCheckSaysWhatTheRecordingHolds()
    {
        Fixture f(2);
        const QString chimeFile = f.dir.filePath(QStringLiteral("heard.wav"));
        QVERIFY(chime::writeWave(chimeFile, 22050));
        f.fakes.capture->recordingOnStop = chimeFile;
        for (int i = 0; i < 3; ++i)
            f.next();
        QVERIFY(!f.wizard->ChimeLabel->isHidden());
        QVERIFY2(f.wizard->ChimeLabel->text().contains(QStringLiteral("was found")), qPrintable(f.wizard->ChimeLabel->text()));

        f.next(); // play back
        f.next(); // not heard: the next source records silence
        const QString silence = f.dir.filePath(QStringLiteral("silence.wav"));
        QVERIFY(QProcess::execute(QStringLiteral("sox"), {"-n", "-r", "22050", "-c", "1", "-b", "8", silence, "trim", "0", "1"}) == 0);
        f.fakes.capture->recordingOnStop = silence;
        f.next();
        QVERIFY2(f.wizard->ChimeLabel->text().contains(QStringLiteral("silent")), qPrintable(f.wizard->ChimeLabel->text()));
    }

    void closingBeforeHeardEndsTheProgram()
    {
        Fixture f(2);
        f.next();
        f.next();
        f.next();
        const QString scratch = f.wizard->scratchPath();
        writeTextFile(scratch, "RIFF");
        QTimer::singleShot(0, f.wizard, &QWidget::close);
        f.form->HotKeyPump();
        QVERIFY(f.state.ExitPump);
        QVERIFY(!QFileInfo::exists(scratch));
        QCOMPARE(readTextFile(f.paths.configFile()), QByteArray("[Config]\nRecording Volume=0\n"));
    }
};

QTEST_MAIN(TestWizard)
#include "test_wizard.moc"
