#include "app/form1.h"
#include "library/playback.h"
#include "recording/output_location.h"
#include "recording/recorder.h"
#include "tests/fakes/window_fixture.h"

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QtTest>

namespace {

const QString kRecording = QStringLiteral("The Program is Recording now........");
const QString kPaused = QStringLiteral("Recording Paused,Press Resume\\Stop to continue\\over");
const QString kSaved = QStringLiteral("Recording is over,Wave file has saved in appointed path");
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

// The window loaded with a recording configuration, its call log cleared.
struct Fixture : WindowFixture {
    explicit Fixture(const QByteArray& extraConfig = {})
    {
        recordingConfig(extraConfig);
        fakes.capture->writeFileOnStop = true;
        load();
        fakes.log.clear();
    }
    int saves() const { return fakes.log.calls().filter(QStringLiteral("save(")).size(); }
    int starts() const { return fakes.log.calls().filter(QStringLiteral("start(")).size(); }
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
        f.clickRecord();
        QCOMPARE(f.fakes.log.calls(), QStringList({"start(2,22050,16)"}));
        QCOMPARE(f.fakes.capture->spoolTarget, f.rec(QStringLiteral("talk.wav")));
        QVERIFY(!f.recordButton()->isEnabled() && f.pauseButton()->isEnabled() && f.stopButton()->isEnabled());
        QVERIFY(!f.item("RecordAction")->isEnabled() && f.item("PauseAction")->isEnabled() &&
                f.item("StopAction")->isEnabled());
        QCOMPARE(f.pauseButton()->text(), QStringLiteral("Pause F10"));
        QCOMPARE(f.status(), kRecording);
        QCOMPARE(w.statusColour(), kBlue);
        QVERIFY(w.recorder().clock().isActive());
        QCOMPARE(w.recorder().megabytesPerSecond(), QStringLiteral("0.084"));
        QVERIFY(!w.preferences()); // the rate comes from the format: nothing loads the window
        QCOMPARE(f.formatPanel()->text(), QStringLiteral("22050  Hz   16  Bit")); // until the first tick

        f.tick(1);
        QCOMPARE(f.formatPanel()->text(), QStringLiteral("0.000 MB 0:00"));
        f.tick(5);
        QCOMPARE(f.formatPanel()->text(), QStringLiteral("0.420 MB 0:05"));

        f.clickPause();
        QCOMPARE(f.pauseButton()->text(), QStringLiteral("Resume F10"));
        QCOMPARE(f.status(), kPaused);
        QCOMPARE(w.statusColour(), kRed);
        QVERIFY(!w.recorder().clock().isActive());
        f.clickPause();
        QCOMPARE(f.pauseButton()->text(), QStringLiteral("Pause F10"));
        QCOMPARE(f.status(), kRecording);
        QCOMPARE(w.statusColour(), kBlue);
        QVERIFY(w.recorder().clock().isActive());
        f.tick(1);

        f.clickStop();
        QCOMPARE(f.fakes.log.calls(), QStringList({"start(2,22050,16)", "pause()", "resume()",
                                                   QStringLiteral("save(\"%1\")").arg(f.rec("talk.wav"))}));
        QVERIFY(f.recordButton()->isEnabled() && !f.pauseButton()->isEnabled() && !f.stopButton()->isEnabled());
        QVERIFY(!w.recorder().clock().isActive());
        QCOMPARE(f.status(), kSaved);
        QCOMPARE(w.statusColour(), kRed);
        QCOMPARE(f.items(), QStringList({"01     00:06     " + f.real("talk.wav")}));
        QCOMPARE(f.nextItemNumber(), int16_t(2));
        QCOMPARE(w.recorder().outputSuffix(), int16_t(1));
        QCOMPARE(f.state.OutputPath, f.rec("talk.wav"));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        f.select(0);
        QCOMPARE(f.selectedPath(), f.real("talk.wav"));
    }

    void stopBeforeTheFirstTickListsNoLength()
    {
        Fixture f;
        f.clickRecord();
        f.clickStop();
        QCOMPARE(f.items(), QStringList({"01     00:00     " + f.real("talk.wav")}));
        // A later quick stop lists the length of its own file, not what the clock last showed.
        f.recordFor(3);
        f.clickRecord();
        f.clickStop();
        QCOMPARE(f.items().last(), "03     00:00     " + f.real("talk_2.wav"));
    }

    void megabytesPerSecondFromThePreferencesDisplay_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QString>("expected");
        QTest::newRow("22050/2/16") << QByteArray("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n") << "0.084";
        QTest::newRow("44100/2/16") << QByteArray("Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n") << "0.168";
        QTest::newRow("8000/1/8") << QByteArray("Channels=1\nBitsPerSample=8\nSamplesPerSec=8000\n") << "0.008";
        // Nothing stored: the setup wizard's format, which is what the take holds.
        QTest::newRow("0/0/0") << QByteArray() << "0.084";
    }

    void megabytesPerSecondFromThePreferencesDisplay()
    {
        QFETCH(QByteArray, format);
        QFETCH(QString, expected);
        WindowFixture f;
        f.config("[Config]\n" + format);
        Form1& w = f.load();
        f.clickRecord();
        QCOMPARE(w.recorder().megabytesPerSecond(), expected);

        // The same in a German locale, where the display reads "5,047  MB/min".
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        f.clickStop();
        f.item("mPreferences")->trigger();
        w.preferences()->SkinButton2->click(); // Cancel unloads it
        QVERIFY(!w.preferences());
        f.clickRecord();
        QString german = expected;
        german.replace(u'.', u',');
        QCOMPARE(w.recorder().megabytesPerSecond(), german);
        f.clickStop();
    }

    void recordingsAreNumberedAndNeverReplaced()
    {
        Fixture f;
        f.recordFor(1);
        f.recordFor(1);
        f.recordFor(1);
        QCOMPARE(f.items(),
                 QStringList({"01     00:01     " + f.real("talk.wav"), "02     00:01     " + f.real("talk_1.wav"),
                              "03     00:01     " + f.real("talk_2.wav")}));

        // After "Clear list" the numbering starts again, and the names already taken are skipped.
        f.item("Clear")->trigger();
        QCOMPARE(f.status(), QStringLiteral("All lists were cleared."));
        QCOMPARE(f.w().statusColour(), kRed);
        QCOMPARE(f.list()->count(), 0);
        QCOMPARE(f.w().recorder().outputSuffix(), int16_t(0));
        writeTextFile(f.rec("talk_4.wav"), "RIFF");
        f.recordFor(2);
        f.recordFor(2);
        QCOMPARE(f.items(),
                 QStringList({"01     00:02     " + f.real("talk_3.wav"), "02     00:02     " + f.real("talk_5.wav")}));
        QCOMPARE(f.w().recorder().outputSuffix(), int16_t(6));
        QCOMPARE(f.state.OutputPath, f.rec("talk.wav"));

        // "Output File" starts the numbering again at the chosen path.
        f.fakes.dialogs->answers = QStringList({f.rec("other.wav")});
        f.item("position")->trigger();
        f.recordFor(1);
        QCOMPARE(f.items().last(), "03     00:01     " + f.real("other.wav"));
    }

    void defaultPathWithoutExtension()
    {
        // Without a stored location the takes go to the recordings folder (here the test's folder),
        // not to the folder the program was started from.
        WindowFixture f;
        f.fakes.capture->writeFileOnStop = true;
        f.config("[Config]\n");
        const QString cwd = QDir::currentPath();
        QTemporaryDir elsewhere;
        QDir::setCurrent(elsewhere.path());
        f.load();
        for (int i = 0; i < 3; ++i) {
            f.clickRecord();
            f.clickStop();
        }
        QDir::setCurrent(cwd);
        QVERIFY(QFileInfo::exists(f.dir.filePath(QStringLiteral("Default"))));
        QVERIFY(QFileInfo::exists(f.dir.filePath(QStringLiteral("Def_1.wav"))));
        QVERIFY(QFileInfo::exists(f.dir.filePath(QStringLiteral("Def_2.wav"))));
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::Files), QStringList());
        QCOMPARE(f.state.OutputPath, f.paths.recordingFolder() + QStringLiteral("/Default"));

        // A location that is a folder, or holds a line break: a clear message, and nothing starts.
        for (const QByteArray& odd :
             {f.dir.path().toUtf8(), f.dir.filePath(QStringLiteral("ta")).toUtf8() + "\rke.wav"}) {
            f.config("[Config]\nSave Position=" + odd + "\n");
            f.item("Clear")->trigger(); // reloads the location
            f.fakes.log.clear();
            f.clickRecord();
            QVERIFY2(f.status().contains(QStringLiteral("a folder")) ||
                         f.status().contains(QStringLiteral("line break")),
                     qPrintable(f.status()));
            QCOMPARE(f.w().statusColour(), QColor(255, 0, 0));
            QVERIFY(f.fakes.log.calls().isEmpty());
            QVERIFY(f.recordButton()->isEnabled());
        }

        QCOMPARE(output_location::numberedPath(QStringLiteral("ab"), 1), QStringLiteral("_1.wav"));
        QCOMPARE(output_location::numberedPath(QStringLiteral("/r/take"), 2), QStringLiteral("/r/_2.wav"));
    }

    void failedSaveIsReportedWithTheKeptFile()
    {
        Fixture f;
        const QString kept = f.dir.filePath(QStringLiteral("kept spool.wav"));
        QVERIFY(writeSilentWave(kept, 2.5));
        f.fakes.capture->failNextStop = true;
        f.fakes.capture->keptPathOnFailure = kept;
        f.recordFor(2);
        QVERIFY(f.status().contains(QStringLiteral("Could not save as talk.wav")));
        QVERIFY(f.status().contains(QFileInfo(kept).canonicalFilePath()));
        QCOMPARE(f.w().statusColour(), kRed);
        QCOMPARE(f.items(), QStringList({"01     00:02     " + QFileInfo(kept).canonicalFilePath()}));

        // A message too long for the line shows its file shortened in the middle, once; the whole
        // text is in the tooltip and the description screen readers read.
        const QString deep = f.dir.filePath(QStringLiteral("a folder with a rather long name/") + QString(60, u'x') +
                                            QStringLiteral("/kept spool.wav"));
        QDir().mkpath(QFileInfo(deep).absolutePath());
        QVERIFY(writeSilentWave(deep, 1.5));
        f.fakes.capture->keptPathOnFailure = deep;
        f.recordFor(1);
        const QString whole = f.status();
        QVERIFY(whole.contains(QFileInfo(deep).canonicalFilePath()));
        const QString shown = f.statusLine()->text();
        QVERIFY2(shown.contains(u'…') && shown.size() < whole.size(), qPrintable(shown));
        QVERIFY(shown.startsWith(QStringLiteral("Could not save as talk_1.wav; the recording is kept in ")));
        QVERIFY2(shown.endsWith(QStringLiteral("kept spool.wav")), qPrintable(shown));
        QVERIFY(QFontMetrics(f.statusLine()->font()).horizontalAdvance(shown) <=
                f.statusLine()->contentsRect().width());
        QCOMPARE(f.statusLine()->toolTip(), whole);
        QCOMPARE(f.statusLine()->accessibleDescription(), whole);

        // Nothing kept at all: no item that names a missing file.
        f.fakes.capture->keptPathOnFailure.clear();
        f.recordFor(1);
        QVERIFY(f.status().contains(QStringLiteral("nothing was recorded")));
        QCOMPARE(f.list()->count(), 2);
    }

    void closingWhileASaveFailsShowsWhereTheAudioIs()
    {
        for (const bool duringTheSave : {false, true}) {
            Fixture f;
            const QString kept = f.dir.filePath(QStringLiteral("kept spool.wav"));
            QVERIFY(writeSilentWave(kept, 3.5));
            f.clickRecord();
            f.tick(4);
            f.fakes.capture->failNextStop = true;
            f.fakes.capture->keptPathOnFailure = kept;
            if (duringTheSave) {
                // The close box is clicked while Stop saves: shutdown waits, then says where.
                QTimer::singleShot(0, f.form.get(), &QWidget::close);
                f.clickStop();
                f.w().HotKeyPump();
            } else {
                f.w().close(); // shutdown saves the running take itself, and then ends
                QTRY_VERIFY(f.state.ExitPump);
            }
            QVERIFY(f.state.ExitPump);
            QCOMPARE(f.fakes.dialogs->messages.size(), 1);
            QVERIFY2(f.fakes.dialogs->messages.first().contains(QFileInfo(kept).canonicalFilePath()),
                     qPrintable(f.fakes.dialogs->messages.first()));
        }
        // A failure while the program goes on is told in the status line, without a box.
        Fixture f;
        f.fakes.capture->failNextStop = true;
        f.fakes.capture->keptPathOnFailure = f.dir.filePath(QStringLiteral("kept.wav"));
        QVERIFY(writeSilentWave(f.fakes.capture->keptPathOnFailure, 1.5));
        f.recordFor(1);
        QVERIFY(f.status().startsWith(QStringLiteral("Could not save as")));
        f.fakes.capture->failNextStop = false;
        f.w().close();
        QVERIFY(f.fakes.dialogs->messages.isEmpty());
    }

    void aRecordThatCannotStartLeavesTheWindowIdle()
    {
        Fixture f;
        f.fakes.capture->startResult = CaptureComponent::NoServer;
        f.press(f.kF9);
        QVERIFY(f.status().startsWith(QStringLiteral("Recording could not start: no sound server answers.")));
        QCOMPARE(f.w().statusColour(), kRed);
        QVERIFY(f.recordButton()->isEnabled() && !f.stopButton()->isEnabled() && !f.pauseButton()->isEnabled());
        QCOMPARE(f.w().recorder().state(), Recorder::State::Idle);
        f.press(f.kF11);
        QCOMPARE(f.saves(), 0);
        QCOMPARE(f.list()->count(), 0);

        // The source goes during a take: saved at once, Record offered again.
        f.fakes.capture->startResult = CaptureComponent::Started;
        f.clickRecord();
        f.tick(5);
        f.fakes.capture->fail(CaptureComponent::Failure::SourceGone);
        f.settle();
        QVERIFY(f.status().startsWith(QStringLiteral("Recording stopped: the source is gone. 0:04 kept in ")));
        QCOMPARE(f.w().statusColour(), kRed);
        QVERIFY(f.recordButton()->isEnabled() && !f.stopButton()->isEnabled());
        QCOMPARE(f.items(), QStringList({"01     00:04     " + f.real("talk.wav")}));
    }

    void removingAndDeletingItems()
    {
        Fixture f;
        f.recordFor(1);
        f.recordFor(1);
        f.recordFor(1);
        Form1& w = f.w();
        f.select(1);
        f.item("Delist")->trigger();
        QCOMPARE(f.items(),
                 QStringList({"01     00:01     " + f.real("talk.wav"), "03     00:01     " + f.real("talk_2.wav")}));
        QVERIFY(QFileInfo::exists(f.rec("talk_1.wav")));
        f.recordFor(1);
        QCOMPARE(f.items().last(), "04     00:01     " + f.real("talk_3.wav"));

        // Deleting removes the file and the item; a file already gone only loses its item.
        const QString first = f.real("talk.wav");
        f.select(0);
        f.item("output")->trigger();
        QVERIFY(!QFileInfo::exists(first));
        QCOMPARE(f.list()->count(), 2);
        QFile::remove(f.rec("talk_2.wav"));
        f.select(0);
        f.item("output")->trigger();
        QCOMPARE(f.list()->count(), 1);

        // The item that was played is stopped first.
        f.activate(0);
        QCOMPARE(w.playback().playingFile(), f.real("talk_3.wav"));
        f.fakes.log.clear();
        f.item("Delist")->trigger();
        QCOMPARE(f.fakes.log.calls(), QStringList({QStringLiteral("mci(\"close %1\")").arg(f.real("talk_3.wav"))}));
        QCOMPARE(f.status(), QStringLiteral("Playback has stopped"));
        QCOMPARE(f.nextItemNumber(), int16_t(1)); // the list is empty again
        f.recordFor(1);
        QVERIFY(f.items().last().startsWith(QStringLiteral("01     ")));

        // Nothing selected: nothing happens.
        f.list()->clearSelection();
        f.list()->setCurrentItem(nullptr);
        f.item("Delist")->trigger();
        f.item("output")->trigger();
        QCOMPARE(f.list()->count(), 1);
    }

    void deleteThatFailsKeepsTheItem()
    {
        Fixture f;
        f.recordFor(1);
        const QString folder = QFileInfo(f.rec("talk.wav")).absolutePath();
        // An immutable folder refuses the deletion even to root.
        if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), folder}) != 0)
            QSKIP("chattr cannot make the folder immutable here");
        f.select(0);
        f.item("output")->trigger();
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), folder});
        QVERIFY(QFileInfo::exists(f.rec("talk.wav")));
        QCOMPARE(f.list()->count(), 1);
        QVERIFY(f.status().contains(QStringLiteral("could not be deleted")));
        QCOMPARE(f.w().statusColour(), kRed);
    }

    void rightClickSelectsTheItemUnderTheMouse()
    {
        Fixture f;
        f.recordFor(1);
        f.recordFor(1);
        Form1& w = f.w();
        w.show();
        f.select(0);
        QListWidgetItem* second = f.list()->item(1);
        const QPoint onSecond = f.list()->visualItemRect(second).center();
        QTest::mouseClick(f.list()->viewport(), Qt::RightButton, {}, onSecond);
        QCOMPARE(f.list()->currentRow(), 1);
        QTRY_VERIFY(f.menu("Popup")->isVisible());
        f.menu("Popup")->hide();

        // Below the last item: no menu, the selection stays.
        const QPoint below(onSecond.x(), f.list()->viewport()->height() - 3);
        QVERIFY(!f.list()->itemAt(below));
        QTest::mouseClick(f.list()->viewport(), Qt::RightButton, {}, below);
        QCOMPARE(f.list()->currentRow(), 1);
        QVERIFY(f.list()->item(1)->isSelected());
        QVERIFY(!f.menu("Popup")->isVisible());

        // The menu key (a keyboard context-menu request) opens it for the selected item.
        QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(1, 1), f.list()->mapToGlobal(QPoint(1, 1)));
        QCoreApplication::sendEvent(f.list(), &request);
        QTRY_VERIFY(f.menu("Popup")->isVisible());
        f.menu("Popup")->hide();
    }

    void hotKeysRunEnabledButtonsOnly()
    {
        Fixture f;
        QCOMPARE(f.fakes.log.calls(), QStringList()); // registered at start-up, before the log was cleared
        f.press(f.kF11);                              // Stop while idle
        f.press(f.kF10);                              // Pause while idle
        QVERIFY(f.fakes.log.calls().isEmpty());
        f.press(f.kF9);
        QCOMPARE(f.status(), kRecording);
        f.press(f.kF9); // Record while recording
        f.press(f.kF10);
        QCOMPARE(f.status(), kPaused);
        f.press(f.kF10);
        QCOMPARE(f.status(), kRecording);
        f.press(f.kF11);
        QCOMPARE(f.status(), kSaved);
        QCOMPARE(f.fakes.log.calls().size(), 4);
    }

    void hotKeysPressedDuringASaveAreLost()
    {
        Fixture f;
        f.press(f.kF9);
        // Presses while the file is written, and one already waiting when Stop lets events run.
        f.fakes.capture->during = [&f](FakeCapture::Call call) {
            if (call != FakeCapture::Call::Save)
                return;
            f.fakes.hotKeys->press(f.kF9);
            f.fakes.hotKeys->press(f.kF10);
            f.fakes.hotKeys->press(f.kF11);
        };
        QTimer::singleShot(0, [&f] { f.fakes.hotKeys->press(f.kF9); });
        f.press(f.kF11);
        QCoreApplication::processEvents();
        QCOMPARE(f.status(), kSaved);
        QCOMPARE(f.starts(), 1);
        QCOMPARE(f.saves(), 1);
        QCOMPARE(f.w().recorder().state(), Recorder::State::Idle);
        QCOMPARE(f.items(), QStringList({"01     00:00     " + f.real("talk.wav")}));

        // F11 and F9 pressed together: Stop runs, and the F9 that waited behind it is lost.
        f.fakes.capture->during = nullptr;
        f.press(f.kF9);
        f.fakes.hotKeys->press(f.kF11);
        f.fakes.hotKeys->press(f.kF9);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(f.w().recorder().state(), Recorder::State::Idle);
        QCOMPARE(f.starts(), 2);
        QCOMPARE(f.items().size(), 2);
        QVERIFY(f.item("RecordAction")->isEnabled());
    }

    void aCloseRequestDuringStopWaitsForTheSave()
    {
        Fixture f;
        f.clickRecord();
        f.tick(3);
        // The close box is clicked while Stop shows its message.
        QTimer::singleShot(0, f.form.get(), &QWidget::close);
        f.clickStop();
        QVERIFY(!f.state.ExitPump);
        f.w().HotKeyPump(); // the close request waited; now it ends the program
        QVERIFY(f.state.ExitPump);
        QCOMPARE(f.saves(), 1);
        QCOMPARE(f.status(), kSaved);
        QCOMPARE(f.items(), QStringList({"01     00:02     " + f.real("talk.wav")}));
        QVERIFY(!QFileInfo::exists(f.rec("talk_1.wav")));
        QCOMPARE(QDir(QFileInfo(f.rec("talk.wav")).absolutePath()).entryList(QDir::Files), QStringList({"talk.wav"}));
    }

    void startUpAndShutdownRegisterAndReleaseTheKeys()
    {
        Fixture f;
        f.recordFor(1);
        f.activate(0);
        const QString played = f.w().playback().playingFile();
        QCOMPARE(played, f.real("talk.wav"));
        f.list()->clearSelection();
        f.fakes.log.clear();
        f.w().close();
        QCOMPARE(f.fakes.log.calls(),
                 QStringList({QStringLiteral("mci(\"close %1\")").arg(played), "mci(\"close \")",
                              "UnregisterHotKey(Record)", "UnregisterHotKey(Pause)", "UnregisterHotKey(Stop)"}));

        WindowFixture first; // a first run registers the keys as well
        first.load();
        QCOMPARE(first.fakes.log.calls(),
                 QStringList({"RegisterHotKey(Record)", "RegisterHotKey(Pause)", "RegisterHotKey(Stop)"}));
    }

    void shutdownSavesARecordingWhateverTheStatusShows()
    {
        for (int paused = 0; paused < 2; ++paused) {
            Fixture f;
            f.recordFor(1);
            f.clickRecord();
            f.tick(3);
            if (paused)
                f.clickPause();
            f.activate(0); // playing an earlier take replaces the recording's message
            QCOMPARE(f.status(), QStringLiteral("Recording is playing now........"));
            f.w().close();
            QTRY_VERIFY(f.state.ExitPump); // once the take is saved
            QVERIFY(QFileInfo::exists(f.rec("talk_1.wav")));
            QCOMPARE(f.items().last(), "02     00:02     " + f.real("talk_1.wav"));
            QVERIFY(f.state.ExitPump);
        }
        // Nothing under way: nothing saved.
        Fixture idle;
        idle.w().close();
        QCOMPARE(idle.saves(), 0);
    }

    void countersNeverOverflow()
    {
        Fixture f;
        // Earlier runs left talk_1 .. talk_32766 beside the stored path.
        for (int i = 1; i < 32767; ++i)
            writeTextFile(f.rec(QStringLiteral("talk_%1.wav").arg(i)), "");
        writeTextFile(f.rec(QStringLiteral("talk.wav")), "");
        f.recordFor(1);
        f.recordFor(1);
        QCOMPARE(f.w().recorder().outputSuffix(), int16_t(32767));
        QVERIFY(QFileInfo::exists(f.rec("talk_32767.wav")));
        QVERIFY(QFileInfo::exists(f.rec("talk_32768.wav")));
        QCOMPARE(f.items().last(), "02     00:01     " + f.real("talk_32768.wav"));
        f.select(1);
        QCOMPARE(f.selectedPath(), f.real("talk_32768.wav"));

        // The list's numbers stop at the largest value too.
        f.recordings().continueFrom(32767);
        f.recordFor(1);
        f.recordFor(1);
        QCOMPARE(f.nextItemNumber(), int16_t(32767));
        QCOMPARE(f.items().last(), "32767     00:01     " + f.real("talk_32770.wav"));

        // 100 minutes and more widen the length field; the path is still recovered exactly.
        f.clickRecord();
        f.tick(123 * 60 + 5);
        f.clickStop();
        QCOMPARE(f.items().last(), "32767     123:04     " + f.real("talk_32771.wav"));
        f.select(f.list()->count() - 1);
        QCOMPARE(f.selectedPath(), f.real("talk_32771.wav"));
    }
};

QTEST_MAIN(TestRecordingFlow)
#include "test_recording_flow.moc"
