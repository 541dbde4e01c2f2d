#include "app/form1.h"
#include "prefs/output_location.h"
#include "tests/fakes/test_support.h"

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kRecording = QStringLiteral("The Program is Recording now........");
const QString kPaused = QStringLiteral("Recording Paused,Press Resume\\Stop to continue\\over");
const QString kSaved = QStringLiteral("Recording is over,Wave file has saved in appointed path");
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

struct Fixture {
    QTemporaryDir dir;
    FakePlatform fakes;
    SharedState state;
    AppPaths paths;
    std::unique_ptr<Form1> form;

    explicit Fixture(const QByteArray& extraConfig = {}) : paths(AppPaths::inFolder(makeProgramFolder(dir.path())))
    {
        writeTextFile(paths.configFile(), "[Config]\nRecording Source=1\nChannels=2\nBitsPerSample=16\n"
                                          "SamplesPerSec=22050\nSave Position=" +
                                              dir.filePath(QStringLiteral("rec/talk.wav")).toUtf8() + "\n" + extraConfig);
        QDir().mkpath(dir.filePath(QStringLiteral("rec")));
        fakes.capture->writeFileOnStop = true;
        form = std::make_unique<Form1>(paths, fakes.platform, state);
        form->Form_Load();
        fakes.log.clear();
    }
    Form1& w() { return *form; }
    QString rec(const QString& name) const { return QFileInfo(dir.filePath(QStringLiteral("rec/") + name)).absoluteFilePath(); }
    QString real(const QString& name) const { return QFileInfo(rec(name)).canonicalFilePath(); }
    QStringList items() const
    {
        QStringList result;
        for (int i = 0; i < form->List1->count(); ++i)
            result.append(form->List1->item(i)->text());
        return result;
    }
    void tick(int n)
    {
        for (int i = 0; i < n; ++i)
            form->Timer2_Timer();
    }
    void recordFor(int seconds)
    {
        form->SkinButton1_Click();
        tick(seconds + 1); // the display lags one tick behind the count
        form->SkinButton2_Click();
    }
};

} // namespace

class TestRecordingFlow : public QObject {
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void recordPauseResumeStop()
    {
        Fixture f;
        Form1& w = f.w();
        w.SkinButton1_Click();
        QCOMPARE(f.fakes.log.calls(), QStringList({"Brelloc(\"\",1,2,22050,16,0)"}));
        QCOMPARE(f.fakes.capture->spoolFolder, QFileInfo(f.rec(QStringLiteral("talk.wav"))).absolutePath());
        QVERIFY(!w.SkinButton1->isEnabled() && w.SkinButton4->isEnabled() && w.SkinButton2->isEnabled());
        QCOMPARE(w.SkinButton4->text(), QStringLiteral("Pause F10"));
        QCOMPARE(w.Text1->text(), kRecording);
        QCOMPARE(w.statusColour(), kBlue);
        QVERIFY(w.Timer2.isActive());
        QCOMPARE(w.MegabytesPerSecond, QStringLiteral("0.084"));
        QVERIFY(w.preferences() && !w.preferences()->isVisible()); // loaded, not shown
        QCOMPARE(w.SkinPanel1->text(), QStringLiteral("22050  Hz   16  Bit")); // until the first tick

        f.tick(1);
        QCOMPARE(w.SkinPanel1->text(), QStringLiteral("0.000 MB 0:00"));
        f.tick(5);
        QCOMPARE(w.SkinPanel1->text(), QStringLiteral("0.420 MB 0:05"));

        w.SkinButton4_Click();
        QCOMPARE(w.SkinButton4->text(), QStringLiteral("Resume F10"));
        QCOMPARE(w.Text1->text(), kPaused);
        QCOMPARE(w.statusColour(), kRed);
        QVERIFY(!w.Timer2.isActive());
        w.SkinButton4_Click();
        QCOMPARE(w.SkinButton4->text(), QStringLiteral("Pause F10"));
        QCOMPARE(w.Text1->text(), kRecording);
        QCOMPARE(w.statusColour(), kBlue);
        QVERIFY(w.Timer2.isActive());
        f.tick(1);

        w.SkinButton2_Click();
        QCOMPARE(f.fakes.log.calls(), QStringList({"Brelloc(\"\",1,2,22050,16,0)", "Brelloc(\"\",2,0,0,0,0)",
                                                    "Brelloc(\"\",3,0,0,0,0)",
                                                    QStringLiteral("Brelloc(\"%1\",0,0,0,0,0)").arg(f.rec("talk.wav"))}));
        QVERIFY(w.SkinButton1->isEnabled() && !w.SkinButton4->isEnabled() && !w.SkinButton2->isEnabled());
        QVERIFY(!w.Timer2.isActive());
        QCOMPARE(w.Text1->text(), kSaved);
        QCOMPARE(w.statusColour(), kRed);
        QCOMPARE(f.items(), QStringList({"01     00:06     " + f.real("talk.wav")}));
        QCOMPARE(w.NextItemNumber, int16_t(2));
        QCOMPARE(w.OutputSuffix, int16_t(1));
        QCOMPARE(f.state.OutputPath, f.rec("talk.wav"));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        w.List1->setCurrentRow(0);
        QCOMPARE(w.Getfilename(), f.real("talk.wav"));
    }

    void stopBeforeTheFirstTickListsNoLength()
    {
        Fixture f;
        f.w().SkinButton1_Click();
        f.w().SkinButton2_Click();
        QCOMPARE(f.items(), QStringList({"01     00:00     " + f.real("talk.wav")}));
        // A later quick stop shows the previous recording's length.
        f.recordFor(3);
        f.w().SkinButton1_Click();
        f.w().SkinButton2_Click();
        QCOMPARE(f.items().last(), "03     00:03     " + f.real("talk_2.wav"));
    }

    void clockPanelTexts_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QString>("panel");
        QTest::addColumn<QString>("minutes");
        QTest::addColumn<QString>("secs");
        QTest::newRow("0") << 0 << "0.084" << "0.000 MB 0:00" << "0" << "0";
        QTest::newRow("5") << 5 << "0.084" << "0.420 MB 0:05" << "0" << "5";
        QTest::newRow("59") << 59 << "0.084" << "4.956 MB 0:59" << "0" << "59";
        QTest::newRow("60") << 60 << "0.084" << "5.040 MB 1:00" << "1" << "0";
        QTest::newRow("75") << 75 << "0.084" << "6.300 MB 1:15" << "1" << "15";
        QTest::newRow("6000") << 6000 << "0.084" << "504.000 MB 100:00" << "100" << "0";
        QTest::newRow("rate 0") << 61 << "0.000" << "0.000 MB 1:01" << "1" << "1";
    }

    void clockPanelTexts()
    {
        QFETCH(int, seconds);
        QFETCH(QString, rate);
        QFETCH(QString, panel);
        QFETCH(QString, minutes);
        QFETCH(QString, secs);
        Fixture f;
        f.w().ElapsedSeconds = seconds;
        f.w().MegabytesPerSecond = rate;
        f.w().Mmss();
        QCOMPARE(f.w().SkinPanel1->text(), panel);
        QCOMPARE(f.w().MinutesText, minutes);
        QCOMPARE(f.w().SecondsText, secs);
    }

    void megabytesPerSecondFromThePreferencesDisplay_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QString>("expected");
        QTest::newRow("22050/2/16") << QByteArray("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n") << "0.084";
        QTest::newRow("44100/2/16") << QByteArray("Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n") << "0.168";
        QTest::newRow("8000/1/8") << QByteArray("Channels=1\nBitsPerSample=8\nSamplesPerSec=8000\n") << "0.008";
        QTest::newRow("0/0/0") << QByteArray() << "0.000";
    }

    void megabytesPerSecondFromThePreferencesDisplay()
    {
        QFETCH(QByteArray, format);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        FakePlatform fakes;
        SharedState state;
        const AppPaths paths = AppPaths::inFolder(makeProgramFolder(dir.path()));
        writeTextFile(paths.configFile(), "[Config]\n" + format);
        Form1 w(paths, fakes.platform, state);
        w.Form_Load();
        w.SkinButton1_Click();
        QCOMPARE(w.MegabytesPerSecond, expected);

        // The same in a German locale, where the display reads "5,047  MB/min".
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        w.SkinButton2_Click();
        w.mPreferences_Click();
        w.preferences()->SkinButton2_Click(); // unloads it; the next Record loads it again
        QVERIFY(!w.preferences());
        w.SkinButton1_Click();
        QString german = expected;
        german.replace(u'.', u',');
        QCOMPARE(w.MegabytesPerSecond, german);
        w.SkinButton2_Click();
    }

    void recordingsAreNumberedAndNeverReplaced()
    {
        Fixture f;
        f.recordFor(1);
        f.recordFor(1);
        f.recordFor(1);
        QCOMPARE(f.items(), QStringList({"01     00:01     " + f.real("talk.wav"), "02     00:01     " + f.real("talk_1.wav"),
                                          "03     00:01     " + f.real("talk_2.wav")}));

        // After "Clear list" the numbering starts again, and the names already taken are skipped.
        f.w().Clear_Click();
        QCOMPARE(f.w().Text1->text(), QStringLiteral("All lists were cleared."));
        QCOMPARE(f.w().statusColour(), kRed);
        QCOMPARE(f.w().List1->count(), 0);
        QCOMPARE(f.w().OutputSuffix, int16_t(0));
        writeTextFile(f.rec("talk_4.wav"), "RIFF");
        f.recordFor(2);
        f.recordFor(2);
        QCOMPARE(f.items(), QStringList({"01     00:02     " + f.real("talk_3.wav"), "02     00:02     " + f.real("talk_5.wav")}));
        QCOMPARE(f.w().OutputSuffix, int16_t(6));
        QCOMPARE(f.state.OutputPath, f.rec("talk.wav"));

        // "Output File" starts the numbering again at the chosen path.
        f.fakes.dialogs->answers = QStringList({f.rec("other.wav")});
        f.w().position_Click();
        f.recordFor(1);
        QCOMPARE(f.items().last(), "03     00:01     " + f.real("other.wav"));
    }

    void defaultPathWithoutExtension()
    {
        QTemporaryDir dir;
        FakePlatform fakes;
        fakes.capture->writeFileOnStop = true;
        SharedState state;
        const AppPaths paths = AppPaths::inFolder(makeProgramFolder(dir.path()));
        writeTextFile(paths.configFile(), "[Config]\n");
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(dir.path());
        Form1 w(paths, fakes.platform, state);
        w.Form_Load();
        for (int i = 0; i < 3; ++i) {
            w.SkinButton1_Click();
            w.SkinButton2_Click();
        }
        QDir::setCurrent(cwd);
        QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("Default"))));
        QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("Def_1.wav"))));
        QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("Def_2.wav"))));
        QCOMPARE(state.OutputPath, QStringLiteral("Default"));

        QCOMPARE(output_location::numberedPath(QStringLiteral("ab"), 1), QStringLiteral("_1.wav"));
        QCOMPARE(output_location::numberedPath(QStringLiteral("/r/take"), 2), QStringLiteral("/r/_2.wav"));
    }

    void failedSaveIsReportedWithTheKeptFile()
    {
        Fixture f;
        const QString kept = f.dir.filePath(QStringLiteral("kept spool.wav"));
        writeTextFile(kept, "RIFF");
        f.fakes.capture->failNextStop = true;
        f.fakes.capture->keptPathOnFailure = kept;
        f.recordFor(2);
        QVERIFY(f.w().Text1->text().contains(QStringLiteral("could not be saved")));
        QVERIFY(f.w().Text1->text().contains(QFileInfo(kept).canonicalFilePath()));
        QCOMPARE(f.w().statusColour(), kRed);
        QCOMPARE(f.items(), QStringList({"01     00:02     " + QFileInfo(kept).canonicalFilePath()}));

        // Nothing kept at all: no item that names a missing file.
        f.fakes.capture->keptPathOnFailure.clear();
        f.recordFor(1);
        QVERIFY(f.w().Text1->text().contains(QStringLiteral("nothing was recorded")));
        QCOMPARE(f.w().List1->count(), 1);
    }

    void removingAndDeletingItems()
    {
        Fixture f;
        f.recordFor(1);
        f.recordFor(1);
        f.recordFor(1);
        Form1& w = f.w();
        w.List1->setCurrentRow(1);
        w.Delist_Click();
        QCOMPARE(f.items(), QStringList({"01     00:01     " + f.real("talk.wav"), "03     00:01     " + f.real("talk_2.wav")}));
        QVERIFY(QFileInfo::exists(f.rec("talk_1.wav")));
        f.recordFor(1);
        QCOMPARE(f.items().last(), "04     00:01     " + f.real("talk_3.wav"));

        // Deleting removes the file and the item; a file already gone only loses its item.
        const QString first = f.real("talk.wav");
        w.List1->setCurrentRow(0);
        w.output_Click();
        QVERIFY(!QFileInfo::exists(first));
        QCOMPARE(w.List1->count(), 2);
        QFile::remove(f.rec("talk_2.wav"));
        w.List1->setCurrentRow(0);
        w.output_Click();
        QCOMPARE(w.List1->count(), 1);

        // The item that was played is stopped first.
        w.List1->setCurrentRow(0);
        w.PlayingFile = w.Getfilename();
        f.fakes.log.clear();
        w.Delist_Click();
        QCOMPARE(f.fakes.log.calls(), QStringList({QStringLiteral("mci(\"close %1\")").arg(f.real("talk_3.wav"))}));
        QCOMPARE(w.Text1->text(), QStringLiteral("Playback has stopped"));
        QCOMPARE(w.NextItemNumber, int16_t(1)); // the list is empty again
        f.recordFor(1);
        QVERIFY(f.items().last().startsWith(QStringLiteral("01     ")));

        // Nothing selected: nothing happens.
        w.List1->clearSelection();
        w.List1->setCurrentItem(nullptr);
        w.Delist_Click();
        w.output_Click();
        QCOMPARE(w.List1->count(), 1);
    }

    void deleteThatFailsKeepsTheItem()
    {
        Fixture f;
        f.recordFor(1);
        const QString folder = QFileInfo(f.rec("talk.wav")).absolutePath();
        // An immutable folder refuses the deletion even to root.
        if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), folder}) != 0)
            QSKIP("chattr cannot make the folder immutable here");
        f.w().List1->setCurrentRow(0);
        f.w().output_Click();
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), folder});
        QVERIFY(QFileInfo::exists(f.rec("talk.wav")));
        QCOMPARE(f.w().List1->count(), 1);
        QVERIFY(f.w().Text1->text().contains(QStringLiteral("could not be deleted")));
        QCOMPARE(f.w().statusColour(), kRed);
    }

    void rightClickSelectsTheItemUnderTheMouse()
    {
        Fixture f;
        f.recordFor(1);
        f.recordFor(1);
        Form1& w = f.w();
        w.show();
        w.List1->setCurrentRow(0);
        QListWidgetItem* second = w.List1->item(1);
        const QPoint onSecond = w.List1->visualItemRect(second).center();
        QTest::mouseClick(w.List1->viewport(), Qt::RightButton, {}, onSecond);
        QCOMPARE(w.List1->currentRow(), 1);
        QTRY_VERIFY(w.Popup->isVisible());
        w.Popup->hide();

        // Below the last item: no menu, the selection stays.
        const QPoint below(onSecond.x(), w.List1->viewport()->height() - 3);
        QVERIFY(!w.List1->itemAt(below));
        QTest::mouseClick(w.List1->viewport(), Qt::RightButton, {}, below);
        QCOMPARE(w.List1->currentRow(), 1);
        QVERIFY(w.List1->item(1)->isSelected());
        QVERIFY(!w.Popup->isVisible());

        // The menu key (a keyboard context-menu request) opens it for the selected item.
        QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(1, 1));
        QCoreApplication::sendEvent(w.List1, &request);
        QTRY_VERIFY(w.Popup->isVisible());
        w.Popup->hide();
    }

    void hotKeysRunEnabledButtonsOnly()
    {
        Fixture f;
        Form1& w = f.w();
        QCOMPARE(f.fakes.log.calls(), QStringList()); // registered at start-up, before the log was cleared
        auto press = [&](int id) {
            f.fakes.hotKeys->press(id);
            QCoreApplication::processEvents();
        };
        press(0xA0); // Stop while idle
        press(0);    // Pause while idle
        QVERIFY(f.fakes.log.calls().isEmpty());
        press(0xBFFF);
        QCOMPARE(w.Text1->text(), kRecording);
        press(0xBFFF); // Record while recording
        press(0);
        QCOMPARE(w.Text1->text(), kPaused);
        press(0);
        QCOMPARE(w.Text1->text(), kRecording);
        press(0xA0);
        QCOMPARE(w.Text1->text(), kSaved);
        QCOMPARE(f.fakes.log.calls().size(), 4);
    }

    void startUpAndShutdownRegisterAndReleaseTheKeys()
    {
        QTemporaryDir dir;
        FakePlatform fakes;
        SharedState state;
        const AppPaths paths = AppPaths::inFolder(makeProgramFolder(dir.path()));
        writeTextFile(paths.configFile(), "[Config]\n");
        Form1 w(paths, fakes.platform, state);
        w.Form_Load();
        w.List1->addItem(QStringLiteral("x"));
        fakes.log.clear();
        w.PlayingFile = QStringLiteral("/played.wav");
        w.close();
        QCOMPARE(fakes.log.calls(), QStringList({"mci(\"close /played.wav\")", "mci(\"close \")", "UnregisterHotKey(49151)",
                                                  "UnregisterHotKey(0)", "UnregisterHotKey(160)"}));
        QTemporaryDir dir2;
        FakePlatform fakes2;
        const AppPaths paths2 = AppPaths::inFolder(makeProgramFolder(dir2.path()));
        Form1 first(paths2, fakes2.platform, state); // a first run registers the keys as well
        first.Form_Load();
        QCOMPARE(fakes2.log.calls(), QStringList({"RegisterHotKey(49151,120)", "RegisterHotKey(0,121)",
                                                   "RegisterHotKey(160,122)"}));
    }

    void shutdownSavesARecordingWhateverTheStatusShows()
    {
        for (int paused = 0; paused < 2; ++paused) {
            Fixture f;
            Form1& w = f.w();
            w.SkinButton1_Click();
            f.tick(3);
            if (paused)
                w.SkinButton4_Click();
            w.setStatus(QStringLiteral("Recording is playing now........")); // another message replaced it
            w.close();
            QVERIFY(QFileInfo::exists(f.rec("talk.wav")));
            QCOMPARE(f.items(), QStringList({"01     00:02     " + f.real("talk.wav")}));
            QVERIFY(f.state.ExitPump);
        }
        // Nothing under way: nothing saved.
        Fixture idle;
        idle.w().close();
        QVERIFY(!idle.fakes.log.calls().join(u' ').contains(QStringLiteral(",0,0,0,0,0)")));
    }

    void countersNeverOverflow()
    {
        Fixture f;
        f.w().NextItemNumber = 32767;
        f.w().OutputSuffix = 32767;
        f.recordFor(1);
        f.recordFor(1);
        QCOMPARE(f.w().NextItemNumber, int16_t(32767));
        QCOMPARE(f.w().OutputSuffix, int16_t(32767));
        QVERIFY(QFileInfo::exists(f.rec("talk_32767.wav")));
        QVERIFY(QFileInfo::exists(f.rec("talk_32768.wav")));
        QCOMPARE(f.items().last(), "32767     00:01     " + f.real("talk_32768.wav"));
        f.w().List1->setCurrentRow(1);
        QCOMPARE(f.w().Getfilename(), f.real("talk_32768.wav"));

        // 100 minutes and more widen the length field; the path is still recovered exactly.
        f.w().MinutesText = QStringLiteral("123");
        f.w().SecondsText = QStringLiteral("4");
        f.w().SkinButton1_Click();
        f.w().SkinButton2_Click();
        QCOMPARE(f.items().last(), "32767     123:04     " + f.real("talk_32769.wav"));
        f.w().List1->setCurrentRow(2);
        QCOMPARE(f.w().Getfilename(), f.real("talk_32769.wav"));
    }
};

QTEST_MAIN(TestRecordingFlow)
#include "test_recording_flow.moc"
