#include "app/form1.h"
#include "library/playback.h"
#include "platform/ini_file.h"
#include "tests/fakes/window_fixture.h"

#include <QLineEdit>
#include <QListWidget>
#include <QProxyStyle>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

// Three recordings made and listed: a.wav, a_1.wav and a_2.wav.
struct Fixture : WindowFixture {
    Fixture()
    {
        recordingConfig("Recording Volume=7\n");
        fakes.capture->writeFileOnStop = true;
        load();
        for (int i = 0; i < 3; ++i)
            recordFor(3);
        a = real(QStringLiteral("talk.wav"));
        b = real(QStringLiteral("talk_1.wav"));
        c = real(QStringLiteral("talk_2.wav"));
        fakes.log.clear();
    }
    void doubleClick(int row) { activate(row); }
    QString a, b, c;
};

QString mci(const QString& command, const QString& path)
{
    return QStringLiteral("mci(\"%1%2\")").arg(command, path);
}

} // namespace

class TestDesktopAndPlayback : public QObject {
    Q_OBJECT
private slots:
    void doubleClickPlaysAndThePollReportsTheEnd()
    {
        Fixture f;
        f.doubleClick(0);
        QCOMPARE(f.fakes.log.calls(), QStringList({mci("close ", {}), mci("play ", f.a)}));
        QCOMPARE(f.w().playback().playingFile(), f.a);
        QCOMPARE(f.statusLine()->text(), QStringLiteral("Recording is playing now........"));
        QCOMPARE(f.w().statusColour(), kBlue);
        QVERIFY(f.w().playback().poll().isActive());

        // The same item again restarts it; another item replaces it.
        f.fakes.log.clear();
        f.doubleClick(0);
        f.doubleClick(1);
        QCOMPARE(f.fakes.log.calls(),
                 QStringList({mci("close ", f.a), mci("play ", f.a), mci("close ", f.a), mci("play ", f.b)}));

        f.fakes.player->modes.insert(f.b, QStringLiteral("playing"));
        f.fakes.log.clear();
        f.w().playback().tick(); // a tick of the poll
        QCOMPARE(f.fakes.log.calls(), QStringList({mci("status ", f.b + " mode")}));
        QVERIFY(f.w().playback().poll().isActive());
        QCOMPARE(f.statusLine()->text(), QStringLiteral("Recording is playing now........"));
        f.fakes.player->modes.insert(f.b, QStringLiteral("stopped"));
        f.w().playback().tick(); // a tick of the poll
        QVERIFY(!f.w().playback().poll().isActive());
        QCOMPARE(f.statusLine()->text(), QStringLiteral("Playback has stopped"));
        QCOMPARE(f.w().statusColour(), kRed);
    }

    void stopPlayingRemovingAndClearing()
    {
        Fixture f;
        f.doubleClick(1);
        f.fakes.log.clear();
        f.item("Stop")->trigger();
        QCOMPARE(f.fakes.log.calls(), QStringList({mci("close ", f.b)}));
        QVERIFY(!f.w().playback().poll().isActive());
        QCOMPARE(f.statusLine()->text(), QStringLiteral("Playback has stopped"));

        // Removing another item leaves playback alone; removing the played one stops it first.
        f.doubleClick(1);
        f.fakes.log.clear();
        f.select(0);
        f.item("Delist")->trigger();
        QVERIFY(f.fakes.log.calls().isEmpty());
        QVERIFY(f.w().playback().poll().isActive());
        f.select(0); // b.wav
        f.item("output")->trigger();
        QCOMPARE(f.fakes.log.calls(), QStringList({mci("close ", f.b)}));
        QCOMPARE(f.statusLine()->text(), QStringLiteral("Playback has stopped"));

        f.doubleClick(0);
        f.fakes.log.clear();
        f.item("Clear")->trigger();
        QCOMPARE(f.fakes.log.calls(), QStringList({mci("close ", f.c)}));
        QVERIFY(!f.w().playback().poll().isActive());
    }

    void aSingleClickOnlySelects()
    {
        // A desktop that activates items on a single click (a common setting) must not start playback.
        class SingleClickActivates : public QProxyStyle {
        public:
            int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                          QStyleHintReturn* returned) const override
            {
                if (hint == QStyle::SH_ItemView_ActivateItemOnSingleClick)
                    return 1;
                return QProxyStyle::styleHint(hint, option, widget, returned);
            }
        };
        Fixture f;
        SingleClickActivates style;
        f.list()->setStyle(&style);
        f.w().show();
        const QPoint onSecond = f.list()->visualItemRect(f.list()->item(1)).center();
        QTest::mouseClick(f.list()->viewport(), Qt::LeftButton, {}, onSecond);
        QCOMPARE(f.list()->currentRow(), 1);
        QVERIFY(f.fakes.log.calls().isEmpty());
        QTest::mouseDClick(f.list()->viewport(), Qt::LeftButton, {}, onSecond);
        QCOMPARE(f.fakes.log.calls(), QStringList({mci("close ", {}), mci("play ", f.b)}));
        f.fakes.log.clear();
        QTest::keyClick(f.list(), Qt::Key_Enter);
        QCOMPARE(f.fakes.log.calls(), QStringList({mci("close ", f.b), mci("play ", f.b)}));
        f.list()->setStyle(nullptr);
    }

    void aPlayThatFailsSaysSo()
    {
        Fixture f;
        f.fakes.player->playFails = true;
        f.doubleClick(2);
        QVERIFY(f.statusLine()->text().contains(QStringLiteral("cannot be played")));
        QCOMPARE(f.w().statusColour(), kRed);
        QVERIFY(!f.w().playback().poll().isActive());
    }

    void handOffsToTheDesktop()
    {
        Fixture f;
        // "Input  File" hands the chosen file over unchanged; cancel does nothing.
        f.fakes.dialogs->answers = QStringList({"/music/my song (1).mp3"});
        f.item("input")->trigger();
        QCOMPARE(f.fakes.desktop->calls, QStringList({"file|/music/my song (1).mp3"}));
        QVERIFY(f.fakes.dialogs->asked.first().startsWith(QStringLiteral(
            "open|Supported Video Files(*.rm;*.avi;*.wmv;*.mpg;*.mpe;*.mov;*.ram;*.mpeg)|*.rm;*.wmv;*.mpg;")));
        f.item("input")->trigger();
        QCOMPARE(f.fakes.desktop->calls.size(), 1);

        // "Support Homepage" before the About window was ever shown: it stays hidden.
        f.fakes.desktop->calls.clear();
        f.item("Homepage")->trigger();
        QCOMPARE(f.fakes.desktop->calls, QStringList({"url|http://www.trelvik.example/"}));
        QVERIFY(f.w().aboutWindow() && !f.w().aboutWindow()->isVisible());
        f.item("Brel")->trigger();
        QVERIFY(f.w().aboutWindow()->isVisible());

        // Mail: the selected item's file.
        f.fakes.desktop->calls.clear();
        f.fakes.dialogs->answers = QStringList({f.dir.filePath(QStringLiteral("rec/take one.wav"))});
        f.item("position")->trigger();
        f.recordFor(1);
        const QString take = f.real(QStringLiteral("take one.wav"));
        f.select(3);
        f.item("send")->trigger();
        QCOMPARE(f.fakes.desktop->calls.size(), 1);
        QVERIFY(f.fakes.desktop->calls.first().startsWith(QStringLiteral("start|xdg-email|")));
        QVERIFY(f.fakes.desktop->calls.first().endsWith(QStringLiteral("|--attach|") + take));

        // Location window: shown, and "Location..." again brings the same one forward.
        f.item("Location")->trigger();
        Form3* location = f.w().location();
        QVERIFY(location && location->isVisible());
        f.item("Location")->trigger();
        QCOMPARE(f.w().location(), location);

        // Help: found beside the program; a program folder without it gives a message.
        f.fakes.desktop->calls.clear();
        writeTextFile(f.paths.programFile(QStringLiteral("Trelvik help.html")), "<html></html>");
        f.item("about")->trigger();
        QCOMPARE(f.fakes.desktop->calls.size(), 1);
        QFile::remove(f.paths.programFile(QStringLiteral("Trelvik help.html")));
        f.item("about")->trigger();
        QCOMPARE(f.fakes.dialogs->messages, QStringList({"The help file \"Trelvik help.html\" could not be opened."}));
    }

    void shutdownWithEveryWindowOpenAndAFilePlaying()
    {
        Fixture f;
        f.slider()->setValue(12);
        f.doubleClick(0);
        f.item("mPreferences")->trigger();
        f.item("mp3otion")->trigger();
        f.item("Location")->trigger();
        f.item("Brel")->trigger();
        QPointer<QWidget> windows[] = {f.w().preferences(), f.w().mp3Options(), f.w().location(), f.w().aboutWindow()};
        f.select(1);
        f.fakes.log.clear();
        QTimer::singleShot(0, f.item("Exit"), &QAction::trigger);
        f.w().HotKeyPump();
        QCOMPARE(f.fakes.log.calls(), QStringList({mci("close ", f.a), mci("close ", f.b), "UnregisterHotKey(Record)",
                                                   "UnregisterHotKey(Pause)", "UnregisterHotKey(Stop)"}));
        QVERIFY(!f.w().preferences() && !f.w().mp3Options() && !f.w().location() && !f.w().aboutWindow());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (const QPointer<QWidget>& window : windows)
            QVERIFY(window.isNull());
        QCOMPARE(IniFile(f.paths.configFile(), QStringLiteral("Config")).readInt(QStringLiteral("Recording Volume"), 0),
                 12);
    }
};

QTEST_MAIN(TestDesktopAndPlayback)
#include "test_desktop_and_playback.moc"
