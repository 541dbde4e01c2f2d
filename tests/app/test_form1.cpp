#include "app/form1.h"
#include "library/playback.h"
#include "platform/ini_file.h"
#include "recording/recorder.h"
#include "tests/fakes/window_fixture.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList captions(const QMenu* menu)
{
    QStringList result;
    for (const QAction* action : menu->actions())
        result.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    return result;
}

QStringList names(const QMenu* menu)
{
    QStringList result;
    for (const QAction* action : menu->actions())
        result.append(action->objectName());
    return result;
}

struct Fixture : WindowFixture {
    QString config() const { return paths.configFile(); }
    using WindowFixture::config;
};

} // namespace

class TestForm1 : public QObject {
    Q_OBJECT
private slots:
    void normalStartRestoresSourceLevelAndFormat()
    {
        Fixture f;
        writeTextFile(f.config(), "[Config]\nRecording Source=2\nRecording Volume=1234\nChannels=1\n"
                                  "BitsPerSample=8\nSamplesPerSec=8000\nSave Position=/rec/talk.wav\n");
        f.fakes.mixer->highest = 65536;
        Form1& w = f.load();

        QCOMPARE(f.fakes.log.calls(),
                 QStringList({"RegisterHotKey(Record)", "RegisterHotKey(Pause)", "RegisterHotKey(Stop)",
                              "selectSource(1)", "levelRange(1)", "Volume(1,1234)"}));
        QVERIFY(w.isVisible());
        QVERIFY(!w.wizard());
        QCOMPARE(f.state.SourceIndex, 1);
        QCOMPARE(f.state.Channels, 1);
        QCOMPARE(f.state.BitsPerSample, 8);
        QCOMPARE(f.state.SamplesPerSec, 8000);
        QCOMPARE(f.state.OutputPath, QStringLiteral("/rec/talk.wav"));
        QCOMPARE(f.state.LameOptions, QStringLiteral(" -b 128 -m j"));
        QCOMPARE(f.state.ExitPump, false);
        QCOMPARE(w.outputFileFilter(), QStringLiteral("Wave Files(*.wav)|*.wav"));
        QCOMPARE(f.formatPanel()->text(), QStringLiteral("8000  Hz   8  Bit"));
        QCOMPARE(f.statusLine()->text(), QStringLiteral("Please read help files before starting program."));
        QCOMPARE(f.slider()->maximum(), 65536);
        QCOMPARE(f.slider()->value(), 1234);
        QCOMPARE(f.sliderCaption()->text(), QStringLiteral("Recording volume setting :1234"));
        QCOMPARE(f.nextItemNumber(), int16_t(1));
        QCOMPARE(w.recorder().outputSuffix(), int16_t(0));

        // Moving the slider shows and sends the new level.
        f.fakes.log.clear();
        f.slider()->setValue(40);
        QCOMPARE(f.sliderCaption()->text(), QStringLiteral("Recording volume setting :40"));
        QCOMPARE(f.fakes.log.calls(), QStringList({"Volume(1,40)"}));
    }

    void theSourceIsFoundByItsNameWhereItMoved()
    {
        // Another default source moved the chosen one from the second place to the third.
        Fixture f;
        writeTextFile(f.config(), "[Config]\nRecording Source=2\nRecording Volume=10\n"
                                  "Recording Source Name=usb-headset\n");
        f.fakes.capture->sourceNames = QStringList({"new-default", "built-in", "usb-headset"});
        f.load();
        QCOMPARE(f.state.SourceIndex, 2);
        QCOMPARE(f.fakes.log.calls().mid(3), QStringList({"selectSourceNamed(usb-headset)", "levelRange(2)", "Volume(2,10)"}));

        // Not connected: the default source records in its place and the status line says so. The
        // device now at its old place is somebody else's: no level reaches it, nor any other.
        Fixture gone;
        writeTextFile(gone.config(), "[Config]\nRecording Source=2\nRecording Volume=10\n"
                                     "Recording Source Name=usb-headset\n");
        gone.fakes.capture->sourceNames = QStringList({"new-default", "built-in"});
        gone.load();
        QCOMPARE(gone.fakes.log.calls().mid(3),
                 QStringList({"selectSourceNamed(usb-headset)", "levelRange(1)", "levelRange(1)"}));
        QCOMPARE(gone.slider()->value(), 10);
        QCOMPARE(gone.status(), QStringLiteral("usb-headset is not connected; recording from new-default"));
        gone.fakes.log.clear();
        gone.slider()->setValue(20);
        QCOMPARE(gone.fakes.log.calls(), QStringList({"levelRange(1)"}));
        gone.clickRecord();
        QCOMPARE(gone.status(), QStringLiteral("usb-headset is not connected; recording from new-default"));
        gone.clickStop();

        // Plugged in again: the slider sets its level once more, wherever it is listed now.
        gone.fakes.capture->sourceNames = QStringList({"new-default", "usb-headset", "built-in"});
        gone.fakes.log.clear();
        gone.slider()->setValue(30);
        QCOMPARE(gone.fakes.log.calls(), QStringList({"Volume(1,30)"}));
        gone.clickRecord();
        QCOMPARE(gone.status(), QStringLiteral("The Program is Recording now........"));
    }

    // The sound server lists its sources after the window is up: the source is chosen at once, the
    // stored level shown but sent to nothing, a step meanwhile shown and kept; both reach the source
    // once it is listed. A close before then stores what the slider shows.
    void aStartBeforeTheSourcesAreListed()
    {
        for (const bool closeFirst : {false, true}) {
            Fixture f;
            writeTextFile(f.config(), "[Config]\nRecording Source=2\nRecording Volume=1234\n"
                                      "Recording Source Name=usb-headset\n");
            f.fakes.mixer->highest = 65536;
            f.fakes.capture->sourcesListed = false;
            f.fakes.capture->sourceNames = QStringList({"new-default", "built-in", "usb-headset"});
            Form1& w = f.load();
            QCOMPARE(f.fakes.log.calls().mid(3),
                     QStringList({"selectSourceNamed(usb-headset)", "levelRange(1)", "levelRange(1)"}));
            QCOMPARE(f.slider()->value(), 1234);
            QCOMPARE(f.sliderCaption()->text(), QStringLiteral("Recording volume setting :1234"));
            f.fakes.log.clear();
            f.slider()->setValue(40);
            QCOMPARE(f.sliderCaption()->text(), QStringLiteral("Recording volume setting :40"));
            QVERIFY(!f.fakes.log.calls().join(QLatin1Char(' ')).contains(QStringLiteral("Volume(")));
            if (closeFirst) {
                w.close();
                QCOMPARE(IniFile(f.config(), QStringLiteral("Config")).readInt(QStringLiteral("Recording Volume"), 0),
                         40);
                continue;
            }
            f.fakes.log.clear();
            f.fakes.capture->listSources();
            QCOMPARE(f.fakes.log.calls(), QStringList({"levelRange(2)", "Volume(2,40)"}));
            QCOMPARE(f.state.SourceIndex, 2);
            f.fakes.log.clear();
            f.slider()->setValue(50);
            QCOMPARE(f.fakes.log.calls(), QStringList({"Volume(2,50)"}));
        }
    }

    void hotKeysHeldByAnotherProgramAreToldAtStart()
    {
        Fixture f;
        writeTextFile(f.config(), "[Config]\n");
        f.fakes.hotKeys->held = {HotKeys::Action::Record};
        Form1& w = f.load();
        QVERIFY2(f.status().startsWith(QStringLiteral("Global hot keys are not available: another program holds F9")) &&
                     f.status().contains(QStringLiteral("\"trelvik --command toggle\"")),
                 qPrintable(f.status()));
        QCOMPARE(w.statusColour(), QColor(255, 0, 0));
        // Longer than the line: the pointer resting on it shows all of it.
        QCOMPARE(f.statusLine()->toolTip(), f.status());
    }

    void emptyConfigGivesTheDefaults()
    {
        Fixture f;
        writeTextFile(f.config(), "");
        f.fakes.mixer->level = 700;
        Form1& w = f.load();
        QCOMPARE(f.fakes.log.calls(), QStringList({"RegisterHotKey(Record)", "RegisterHotKey(Pause)",
                                                   "RegisterHotKey(Stop)", "selectSource(-1)", "levelRange(-2)"}));
        QCOMPARE(f.state.SourceIndex, -2);
        // No format stored: the setup wizard's, which is what a recording then holds.
        QCOMPARE(f.state.Channels, 2);
        QCOMPARE(f.state.BitsPerSample, 16);
        QCOMPARE(f.state.SamplesPerSec, 22050);
        QCOMPARE(f.formatPanel()->text(), QStringLiteral("22050  Hz   16  Bit"));
        QCOMPARE(f.state.OutputPath, f.paths.recordingFolder() + QStringLiteral("/Default"));
        // No level stored: the slider shows the source's own level and sends nothing.
        QCOMPARE(f.slider()->value(), 700);
        QVERIFY(w.isVisible());
    }

    void firstRunShowsOnlyTheWizardAndItsCloseEndsTheProgram()
    {
        Fixture f;
        f.fakes.mixer->level = 700;
        Form1& w = f.load();
        // No recording setting is read; the hot keys are registered all the same.
        QCOMPARE(f.fakes.log.calls(),
                 QStringList({"RegisterHotKey(Record)", "RegisterHotKey(Pause)", "RegisterHotKey(Stop)"}));
        QVERIFY(!w.isVisible());
        QVERIFY(w.wizard());
        Form2& wizard = *w.wizard();
        QVERIFY(wizard.isVisible());
        QCOMPARE(wizard.windowTitle(), QStringLiteral("Sound Card Setting"));
        QCOMPARE(wizard.SkinLabel1->text(),
                 QStringLiteral("Program is preparing to configure your sound card settings."));
        QCOMPARE(wizard.SkinButton1->text(), QStringLiteral("next"));
        QVERIFY(wizard.SkinButton1->isVisible() && wizard.SkinButton1->isEnabled());
        QCOMPARE(wizard.SkinButton2->text(), QStringLiteral("heard"));
        QVERIFY(wizard.SkinButton2->isHidden());
        QCOMPARE(wizard.SkinForm1.skinFile(), f.paths.programFile(QStringLiteral("skin/green.skn")));
        QCOMPARE(f.state.OutputPath, f.paths.defaultRecording());
        QCOMPARE(f.state.SourceIndex, 0);
        QCOMPARE(f.state.Channels, 0);

        // The pump runs until the wizard's close request has shut the main window down.
        QTimer::singleShot(0, &wizard, &QWidget::close);
        w.HotKeyPump();
        QVERIFY(f.state.ExitPump);
        QVERIFY(!w.wizard());
        // Shutdown stores the level: the source's own, which the next start, a normal one, sends
        // back unchanged.
        QCOMPARE(readTextFile(f.config()), QByteArray("[Config]\nRecording Volume=700\n"));
    }

    void controlsAndMenusAsDesigned()
    {
        Fixture f;
        writeTextFile(f.config(), "[Config]\n");
        Form1& w = f.load();
        QCOMPARE(w.windowTitle(), QStringLiteral("Trelvik"));
        QCOMPARE(f.recordButton()->text(), QStringLiteral("Record F9"));
        QVERIFY(f.recordButton()->isEnabled());
        QCOMPARE(f.pauseButton()->text(), QStringLiteral("Pause F10"));
        QVERIFY(!f.pauseButton()->isEnabled());
        QCOMPARE(f.stopButton()->text(), QStringLiteral("Stop F11"));
        QVERIFY(!f.stopButton()->isEnabled());
        QCOMPARE(w.playback().poll().interval(), 1000);
        QCOMPARE(w.recorder().clock().interval(), 1000);
        QCOMPARE(f.timer("Timer3")->interval(), 10);
        QVERIFY(!w.playback().poll().isActive() && !w.recorder().clock().isActive() && !f.timer("Timer3")->isActive());
        QCOMPARE(f.list()->count(), 0);
        const QString tip = QStringLiteral("Double Click list to Play Recording , Right Click to Edit.");
        QCOMPARE(f.list()->toolTip(), tip);
        QCOMPARE(f.label("SkinLabel2")->text(), tip);
        QCOMPARE(f.list()->geometry(), QRect(8, 40, 329, 191));

        QCOMPARE(captions(f.menu("file")), QStringList({"Output File", "Input  File", "Location...", "Exit"}));
        QCOMPARE(names(f.menu("file")), QStringList({"position", "input", "Location", "Exit"}));
        QCOMPARE(captions(f.menu("mOptions")),
                 QStringList({"Preferences...", "Timer...", "Cancel Timer", "Clear list", "Skin"}));
        QVERIFY(!f.item("mCancelTimer")->isEnabled()); // nothing to cancel until a timer is set
        QCOMPARE(captions(f.menu("skin")), QStringList({"Green", "Red", "pink"}));
        QCOMPARE(names(f.menu("skin")), QStringList({"green", "red", "blue"}));
        QCOMPARE(captions(f.menu("encoder")), QStringList({"MP3 Options", "Wav to Mp3"}));
        QCOMPARE(names(f.menu("encoder")), QStringList({"mp3otion", "Wavtomp3"}));
        QCOMPARE(captions(f.menu("help")), QStringList({"Help Topics", "Support Homepage", "About Trelvik"}));
        QCOMPARE(names(f.menu("help")), QStringList({"about", "Homepage", "Brel"}));
        QCOMPARE(captions(f.menu("Popup")),
                 QStringList({"Stop playing", "-", "Remove selected item", "Delete output file", "Convert wav to mp3",
                              "-", "Mail to friends", "-", "Cancel"}));
        QCOMPARE(names(f.menu("Popup")), QStringList({"Stop", "separate1", "Delist", "output", "Convert", "separate",
                                                      "send", "separate3", "Ccancel"}));
        QCOMPARE(f.menu("Popup")->title(), QStringLiteral("PopupMenu"));
        QStringList bar;
        for (const QAction* action : w.menuBar()->actions())
            bar.append(action->text());
        QCOMPARE(bar, QStringList({"File", "Options", "Encoder", "Help"}));
    }

    void screenReadersSeeEveryControlByName()
    {
        Fixture f;
        writeTextFile(f.config(), "[Config]\n");
        Form1& w = f.load();
        auto name = [](QWidget* widget) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
            return accessible ? accessible->text(QAccessible::Name) : QString();
        };
        QCOMPARE(name(f.recordButton()), QStringLiteral("Record F9"));
        QCOMPARE(name(f.pauseButton()), QStringLiteral("Pause F10"));
        QCOMPARE(name(f.stopButton()), QStringLiteral("Stop F11"));
        QCOMPARE(name(f.list()), QStringLiteral("Recordings"));
        QCOMPARE(name(f.slider()), QStringLiteral("Recording volume setting"));
        QCOMPARE(name(f.statusLine()), QStringLiteral("Status"));
        QVERIFY(!name(f.formatPanel()).isEmpty());
        for (QWidget* control : {static_cast<QWidget*>(f.recordButton()), static_cast<QWidget*>(f.list()),
                                 static_cast<QWidget*>(f.slider()), static_cast<QWidget*>(f.statusLine())})
            QVERIFY2(control->focusPolicy() & Qt::TabFocus, qPrintable(control->objectName()));

        f.item("mPreferences")->trigger();
        // A combo box is named by its text here; its label reaches screen readers as a relation.
        QStringList labels;
        for (const auto& [other, relation] :
             QAccessible::queryAccessibleInterface(w.preferences()->Combo1)->relations(QAccessible::Label))
            labels.append(other->text(QAccessible::Name));
        QCOMPARE(labels, QStringList({"Sample Rate"}));
        QCOMPARE(name(w.preferences()->Option1), QStringLiteral("Mono"));
        QCOMPARE(name(w.preferences()->Check1), QStringLiteral("Convert recording to MP3 on completion"));
    }

    void skinsSwitchOnlyTheMainWindow()
    {
        Fixture f;
        writeTextFile(f.config(), "[Config]\n");
        Form1& w = f.load();
        const QString greenFile = f.paths.programFile(QStringLiteral("skin/green.skn"));
        const QString redFile = f.paths.programFile(QStringLiteral("skin/red.skn"));
        const QString blueFile = f.paths.programFile(QStringLiteral("skin/blue.skn"));
        auto checks = [&f] {
            return QList<bool>({f.item("green")->isChecked(), f.item("red")->isChecked(), f.item("blue")->isChecked()});
        };
        QCOMPARE(w.skin().skinFile(), greenFile);
        QCOMPARE(checks(), QList<bool>({true, false, false}));
        QCOMPARE(f.recordButton()->styleSheet(), QString::fromUtf8(readTextFile(greenFile)));

        f.item("red")->trigger();
        QCOMPARE(checks(), QList<bool>({false, true, false}));
        QCOMPARE(w.skin().skinFile(), redFile);
        const QString redText = QString::fromUtf8(readTextFile(redFile));
        QVERIFY(!redText.isEmpty());
        for (QWidget* control : {static_cast<QWidget*>(f.label("SkinLabel2")), static_cast<QWidget*>(f.sliderCaption()),
                                 static_cast<QWidget*>(f.formatPanel()), static_cast<QWidget*>(f.recordButton()),
                                 static_cast<QWidget*>(f.stopButton()), static_cast<QWidget*>(f.pauseButton()),
                                 static_cast<QWidget*>(f.slider())})
            QCOMPARE(control->styleSheet(), redText);
        QCOMPARE(w.styleSheet(), redText);
        QVERIFY(f.list()->styleSheet().isEmpty());

        f.item("red")->trigger(); // the checked item again: stays checked and loads its file again
        QCOMPARE(checks(), QList<bool>({false, true, false}));
        QCOMPARE(w.skin().skinFile(), redFile);

        // Secondary windows opened after a switch still take green.
        f.item("mPreferences")->trigger();
        QVERIFY(w.preferences());
        QCOMPARE(w.preferences()->SkinForm1.skinFile(), greenFile);
        QCOMPARE(w.preferences()->SkinButton1->styleSheet(), QString::fromUtf8(readTextFile(greenFile)));

        f.item("blue")->trigger();
        QCOMPARE(checks(), QList<bool>({false, false, true}));
        QCOMPARE(w.skin().skinFile(), blueFile);
        QCOMPARE(w.preferences()->SkinForm1.skinFile(), greenFile); // open windows keep their look
        f.item("green")->trigger();
        QCOMPARE(checks(), QList<bool>({true, false, false}));
        QCOMPARE(w.skin().skinFile(), greenFile);
    }

    void missingSkinFilesLeaveTheStandardLook()
    {
        QTemporaryDir dir;
        FakePlatform fakes;
        SharedState state;
        const AppPaths paths = AppPaths::inFolder(dir.path()); // no skin folder at all
        writeTextFile(paths.configFile(), "[Config]\n");
        Form1 w(paths, fakes.platform, state);
        w.Form_Load();
        QVERIFY(w.isVisible());
        QCOMPARE(controlOf<SkinButton>(w, "SkinButton1")->styleSheet(), QString());
        controlOf<QAction>(w, "red")->trigger();
        QVERIFY(controlOf<QAction>(w, "red")->isChecked());
    }

    void outputFileChoosesAndStoresTheLocation()
    {
        Fixture f;
        writeTextFile(f.config(), "[Config]\nSave Position=/rec/talk.wav\n");
        Form1& w = f.load();
        for (int i = 0; i < 3; ++i)
            f.recordFor(0);
        QCOMPARE(w.recorder().outputSuffix(), int16_t(3));

        f.fakes.dialogs->answers = QStringList({"/other/new take.wav"});
        f.item("position")->trigger();
        QCOMPARE(f.fakes.dialogs->asked, QStringList({"save|/rec/talk.wav|Wave Files(*.wav)|*.wav"}));
        QCOMPARE(f.state.OutputPath, QStringLiteral("/other/new take.wav"));
        QCOMPARE(w.recorder().outputSuffix(), int16_t(0));
        QCOMPARE(readTextFile(f.config()), QByteArray("[Config]\nSave Position=/other/new take.wav\n"));

        // Cancel writes the previous path back and still resets the suffix.
        f.recordFor(0);
        f.recordFor(0);
        QCOMPARE(w.recorder().outputSuffix(), int16_t(2));
        writeTextFile(f.config(), "[Config]\nSave Position=/edited/by/hand.wav\n");
        f.item("position")->trigger();
        QCOMPARE(f.state.OutputPath, QStringLiteral("/other/new take.wav"));
        QCOMPARE(w.recorder().outputSuffix(), int16_t(0));
        QCOMPARE(readTextFile(f.config()), QByteArray("[Config]\nSave Position=/other/new take.wav\n"));

        // Savefile (here through "Clear list") reloads the stored path, whole, however long.
        const QString longPath = QStringLiteral("/") + QString(300, u'x') + QStringLiteral(".wav");
        writeTextFile(f.config(), "[Config]\nSave Position=" + longPath.toUtf8() + "\n");
        f.item("Clear")->trigger();
        QCOMPARE(f.state.OutputPath, longPath);
    }

    void shutdownStoresTheLevelAndUnloadsTheWindows()
    {
        Fixture f;
        writeTextFile(f.config(), "[Config]\nRecording Source=1\nRecording Volume=10\n");
        f.fakes.mixer->lowest = -100;
        f.fakes.mixer->highest = 100;
        Form1& w = f.load();
        f.slider()->setValue(-37);
        f.item("mPreferences")->trigger();
        QPointer<Preferences> preferences = w.preferences();
        QVERIFY(preferences && preferences->isVisible());

        QTimer::singleShot(0, f.item("Exit"), &QAction::trigger);
        w.HotKeyPump();
        QVERIFY(f.state.ExitPump);
        QVERIFY(!w.isVisible());
        QVERIFY(!w.preferences());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(preferences.isNull());
        QCOMPARE(IniFile(f.config(), QStringLiteral("Config")).readInt(QStringLiteral("Recording Volume"), 0), -37);
        QCOMPARE(IniFile(f.config(), QStringLiteral("Config")).readInt(QStringLiteral("Recording Source"), 0), 1);

        // A second close request does nothing more.
        writeTextFile(f.config(), "[Config]\n");
        w.close();
        QCOMPARE(readTextFile(f.config()), QByteArray("[Config]\n"));
    }

    void configDeletedWhileRunningIsRecreatedWithTheLevelAlone()
    {
        Fixture f;
        writeTextFile(f.config(), "[Config]\nRecording Volume=5\nChannels=2\n");
        Form1& w = f.load();
        QFile::remove(f.config());
        w.close();
        QCOMPARE(readTextFile(f.config()), QByteArray("[Config]\nRecording Volume=5\n"));
    }
};

QTEST_MAIN(TestForm1)
#include "test_form1.moc"
