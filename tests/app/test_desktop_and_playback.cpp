#include "app/form1.h"
#include "library/recordings_list.h"
#include "platform/ini_file.h"
#include "tests/fakes/test_support.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

struct Fixture {
    QTemporaryDir dir;
    FakePlatform fakes;
    SharedState state;
    AppPaths paths;
    std::unique_ptr<Form1> form;

    Fixture() : paths(AppPaths::inFolder(makeProgramFolder(dir.path())))
    {
        writeTextFile(paths.configFile(), "[Config]\nRecording Volume=7\n");
        form = std::make_unique<Form1>(paths, fakes.platform, state);
        form->Form_Load();
        for (const char* name : {"/rec/a.wav", "/rec/b.wav", "/rec/a.mp3"})
            recordings_list::append(*form->List1, form->NextItemNumber++, QStringLiteral("00:03"), QString::fromLatin1(name));
        fakes.log.clear();
    }
    Form1& w() { return *form; }
    void doubleClick(int row)
    {
        form->List1->setCurrentRow(row);
        form->List1_DblClick();
    }
};

} // namespace

class TestDesktopAndPlayback : public QObject {
    Q_OBJECT
private slots:
    void doubleClickPlaysAndThePollReportsTheEnd()
    {
        Fixture f;
        f.doubleClick(0);
        QCOMPARE(f.fakes.log.calls(), QStringList({"mci(\"close \")", "mci(\"play /rec/a.wav\")"}));
        QCOMPARE(f.w().PlayingFile, QStringLiteral("/rec/a.wav"));
        QCOMPARE(f.w().Text1->text(), QStringLiteral("Recording is playing now........"));
        QCOMPARE(f.w().statusColour(), kBlue);
        QVERIFY(f.w().Timer1.isActive());

        // The same item again restarts it; another item replaces it.
        f.fakes.log.clear();
        f.doubleClick(0);
        f.doubleClick(1);
        QCOMPARE(f.fakes.log.calls(), QStringList({"mci(\"close /rec/a.wav\")", "mci(\"play /rec/a.wav\")",
                                                    "mci(\"close /rec/a.wav\")", "mci(\"play /rec/b.wav\")"}));

        f.fakes.player->modes.insert(QStringLiteral("/rec/b.wav"), QStringLiteral("playing"));
        f.fakes.log.clear();
        f.w().Timer1_Timer();
        QCOMPARE(f.fakes.log.calls(), QStringList({"mci(\"status /rec/b.wav mode\")"}));
        QVERIFY(f.w().Timer1.isActive());
        QCOMPARE(f.w().Text1->text(), QStringLiteral("Recording is playing now........"));
        f.fakes.player->modes.insert(QStringLiteral("/rec/b.wav"), QStringLiteral("stopped"));
        f.w().Timer1_Timer();
        QVERIFY(!f.w().Timer1.isActive());
        QCOMPARE(f.w().Text1->text(), QStringLiteral("Playback has stopped"));
        QCOMPARE(f.w().statusColour(), kRed);
    }

    void stopPlayingRemovingAndClearing()
    {
        Fixture f;
        f.doubleClick(1);
        f.fakes.log.clear();
        f.w().Stop->trigger();
        QCOMPARE(f.fakes.log.calls(), QStringList({"mci(\"close /rec/b.wav\")"}));
        QVERIFY(!f.w().Timer1.isActive());
        QCOMPARE(f.w().Text1->text(), QStringLiteral("Playback has stopped"));

        // Removing another item leaves playback alone; removing the played one stops it first.
        f.doubleClick(1);
        f.fakes.log.clear();
        f.w().List1->setCurrentRow(0);
        f.w().Delist_Click();
        QVERIFY(f.fakes.log.calls().isEmpty());
        QVERIFY(f.w().Timer1.isActive());
        f.w().List1->setCurrentRow(0); // b.wav
        f.w().output_Click();
        QCOMPARE(f.fakes.log.calls(), QStringList({"mci(\"close /rec/b.wav\")"}));
        QCOMPARE(f.w().Text1->text(), QStringLiteral("Playback has stopped"));

        f.doubleClick(0);
        f.fakes.log.clear();
        f.w().Clear_Click();
        QCOMPARE(f.fakes.log.calls(), QStringList({"mci(\"close /rec/a.mp3\")"}));
        QVERIFY(!f.w().Timer1.isActive());
    }

    void aPlayThatFailsSaysSo()
    {
        Fixture f;
        f.fakes.player->playFails = true;
        f.doubleClick(2);
        QVERIFY(f.w().Text1->text().contains(QStringLiteral("cannot be played")));
        QCOMPARE(f.w().statusColour(), kRed);
        QVERIFY(!f.w().Timer1.isActive());
    }

    void handOffsToTheDesktop()
    {
        Fixture f;
        // "Input  File" hands the chosen file over unchanged; cancel does nothing.
        f.fakes.dialogs->answers = QStringList({"/music/my song (1).mp3"});
        f.w().input->trigger();
        QCOMPARE(f.fakes.desktop->calls, QStringList({"file|/music/my song (1).mp3"}));
        QVERIFY(f.fakes.dialogs->asked.first().startsWith(
            QStringLiteral("open|Supported Video Files(*.rm;*.avi;*.wmv;*.mpg;*.mpe;*.mov;*.ram;*.mpeg)|*.rm;*.wmv;*.mpg;")));
        f.w().input->trigger();
        QCOMPARE(f.fakes.desktop->calls.size(), 1);

        // "Support Homepage" before the About window was ever shown: it stays hidden.
        f.fakes.desktop->calls.clear();
        f.w().Homepage->trigger();
        QCOMPARE(f.fakes.desktop->calls, QStringList({"url|http://www.trelvik.example/"}));
        QVERIFY(f.w().aboutWindow() && !f.w().aboutWindow()->isVisible());
        f.w().Brel->trigger();
        QVERIFY(f.w().aboutWindow()->isVisible());

        // Mail: the selected item's file.
        f.fakes.desktop->calls.clear();
        const QString take = f.dir.filePath(QStringLiteral("take one.wav"));
        writeTextFile(take, "RIFF");
        recordings_list::append(*f.w().List1, 9, QStringLiteral("00:01"), take);
        f.w().List1->setCurrentRow(3);
        f.w().send->trigger();
        QCOMPARE(f.fakes.desktop->calls.size(), 1);
        QVERIFY(f.fakes.desktop->calls.first().startsWith(QStringLiteral("start|xdg-email|")));
        QVERIFY(f.fakes.desktop->calls.first().endsWith(QStringLiteral("|--attach|") + take));

        // Location window: shown, and "Location..." again brings the same one forward.
        f.w().Location->trigger();
        Form3* location = f.w().location();
        QVERIFY(location && location->isVisible());
        f.w().Location->trigger();
        QCOMPARE(f.w().location(), location);

        // Help: found beside the program; a program folder without it gives a message.
        f.fakes.desktop->calls.clear();
        writeTextFile(f.paths.programFile(QStringLiteral("Trelvik help.html")), "<html></html>");
        f.w().about->trigger();
        QCOMPARE(f.fakes.desktop->calls.size(), 1);
        QFile::remove(f.paths.programFile(QStringLiteral("Trelvik help.html")));
        f.w().about->trigger();
        QCOMPARE(f.fakes.dialogs->messages, QStringList({"The help file \"Trelvik help.html\" could not be opened."}));
    }

    void shutdownWithEveryWindowOpenAndAFilePlaying()
    {
        Fixture f;
        f.w().SkinScrollBar1->setValue(12);
        f.doubleClick(0);
        f.w().mPreferences->trigger();
        f.w().mp3otion->trigger();
        f.w().Location->trigger();
        f.w().Brel->trigger();
        QPointer<QWidget> windows[] = {f.w().preferences(), f.w().mp3Options(), f.w().location(), f.w().aboutWindow()};
        f.w().List1->setCurrentRow(1);
        f.fakes.log.clear();
        QTimer::singleShot(0, f.w().Exit, &QAction::trigger);
        f.w().HotKeyPump();
        QCOMPARE(f.fakes.log.calls(), QStringList({"mci(\"close /rec/a.wav\")", "mci(\"close /rec/b.wav\")",
                                                    "UnregisterHotKey(49151)", "UnregisterHotKey(0)", "UnregisterHotKey(160)"}));
        QVERIFY(!f.w().preferences() && !f.w().mp3Options() && !f.w().location() && !f.w().aboutWindow());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (const QPointer<QWidget>& window : windows)
            QVERIFY(window.isNull());
        QCOMPARE(IniFile(f.paths.configFile(), QStringLiteral("Config")).readInt(QStringLiteral("Recording Volume"), 0), 12);
    }
};

QTEST_MAIN(TestDesktopAndPlayback)
#include "test_desktop_and_playback.moc"
