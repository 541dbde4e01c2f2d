// SPDX-License-Identifier: GPL-3.0-or-later
// The Timer window over the real controller and its timer (the capture is a fake): what each choice
// arms, as the command line would; refusals shown in the window; cancelling from the window and the
// state it then shows; arming and disarming the start on sound, and following the controller when
// something else arms or disarms it.
#include "control/controller.h"
#include "control/record_timer.h"
#include "prefs/timer_window.h"
#include "recording/recorder.h"
#include "tests/fakes/fake_capture.h"
#include "tests/fakes/test_support.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>

namespace {

struct Fixture {
    QTemporaryDir dir;
    CallLog log;
    FakeCapture capture{log};
    AppPaths paths;
    SharedState shared;
    Controller controller{capture, nullptr, paths, shared};
    TimerWindow window{controller};

    Fixture() : paths(AppPaths::inFolder(dir.path()))
    {
        writeTextFile(paths.configFile(),
                      "[Config]\nSave Position=" + dir.filePath(QStringLiteral("take.wav")).toUtf8() + "\n");
        controller.recorder().Savefile();
    }
    template <class T> T* find(const char* name) const { return window.findChild<T*>(QString::fromLatin1(name)); }
    QRadioButton* radio(const QString& text) const
    {
        for (QRadioButton* button : window.findChildren<QRadioButton*>())
            if (button->text().remove(u'&') == text)
                return button;
        return nullptr;
    }
    QString shown() const { return find<QLabel>("TimerState")->text(); }
};

// The window opened anew over the fixture's controller, once Config.ini holds what the test wrote.
struct Reopened {
    TimerWindow window;
    explicit Reopened(Controller& controller) : window(controller)
    {
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
    }
    template <class T> T* find(const char* name) const { return window.findChild<T*>(QString::fromLatin1(name)); }
    QString soundState() const { return find<QLabel>("SoundState")->text(); }
};

// The object name of the control that has the keyboard focus, or of the control it is part of.
QString focused()
{
    for (QWidget* widget = QApplication::focusWidget(); widget; widget = widget->parentWidget())
        if (!widget->objectName().isEmpty() && !widget->objectName().startsWith(QLatin1String("qt_")))
            return widget->objectName();
    return {};
}

void keyOnFocus(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus);
    QTest::keyClick(focus, key, modifiers);
}

QString accessibleName(QWidget* widget)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QStringLiteral("<none>");
}

} // namespace

class TestTimerWindow : public QObject {
    Q_OBJECT
private slots:
    void choicesArmTheTimerTheCommandLineWould()
    {
        Fixture f;
        QCOMPARE(f.shown(), QStringLiteral("No timer is set."));
        QVERIFY(!f.find<QPushButton>("CancelTimer")->isEnabled());

        // A date and time tomorrow, for an hour and a half, every day.
        const QDateTime start = QDateTime::currentDateTime().addDays(1);
        const QDateTime whole(start.date(), QTime(start.time().hour(), start.time().minute()));
        f.radio(QStringLiteral("At"))->click();
        f.find<QDateTimeEdit>("StartTime")->setDateTime(whole);
        f.radio(QStringLiteral("After a duration"))->click();
        f.find<QTimeEdit>("Duration")->setTime(QTime(1, 30));
        f.find<QCheckBox>("Daily")->setChecked(true);
        QCOMPARE(f.window.words(),
                 QStringLiteral("record-at:%1+stop-after:5400s+daily").arg(whole.toString(Qt::ISODate)));
        QTest::keyClick(f.find<QPushButton>("SetTimer"), Qt::Key_Space);
        QCOMPARE(f.controller.timer().state(), RecordTimer::State::Armed);
        QCOMPARE(f.controller.timer().startTime(), whole.toUTC());
        QVERIFY(f.controller.timer().plan().daily);
        QVERIFY(f.controller.timerArmed());
        QVERIFY2(f.shown().startsWith(QStringLiteral("Set: recording starts ")), qPrintable(f.shown()));
        QVERIFY(f.find<QPushButton>("CancelTimer")->isEnabled());
        // The armed timer holds nothing else up: Record still records by hand, and the status line
        // says the timer stays set.
        QVERIFY(f.controller.recordAction()->isEnabled());
        QStringList said;
        QObject::connect(&f.controller, &Controller::status, [&said](const QString& text) { said.append(text); });
        // The main window's status line counts down to the start.
        f.controller.checkTimer();
        QVERIFY2(!said.isEmpty() && said.last().startsWith(QStringLiteral("Timer set: recording starts in ")),
                 qPrintable(said.join(u'|')));
        f.controller.recordAction()->trigger();
        QTRY_VERIFY(!said.isEmpty() && said.last().endsWith(QStringLiteral(" stays set.")));
        QCOMPARE(f.controller.timer().state(), RecordTimer::State::Armed);
        f.controller.stopAction()->trigger();
        QTRY_COMPARE(f.controller.recorder().state(), Recorder::State::Idle);

        // Cancelled from the window: nothing is armed, and the window says so.
        QTest::keyClick(f.find<QPushButton>("CancelTimer"), Qt::Key_Space);
        QCOMPARE(f.controller.timer().state(), RecordTimer::State::Idle);
        QCOMPARE(f.shown(), QStringLiteral("No timer is set."));

        // Every day from a start time to a stop time: the stop goes as a time of day, which every
        // day's take resolves for itself.
        f.radio(QStringLiteral("At"))->click();
        f.find<QDateTimeEdit>("StartTime")->setDateTime(whole);
        f.find<QRadioButton>("StopAtTime")->click();
        f.find<QDateTimeEdit>("StopTime")->setDateTime(whole.addSecs(3600));
        f.find<QCheckBox>("Daily")->setChecked(true);
        QCOMPARE(f.window.words(), QStringLiteral("record-at:%1+stop-at:%2+daily")
                                       .arg(whole.toString(Qt::ISODate), whole.addSecs(3600).toString(u"HH:mm:ss")));
        QCOMPARE(f.window.set(), QString());
        QCOMPARE(f.controller.timer().state(), RecordTimer::State::Armed);
        QVERIFY(f.controller.timer().plan().daily);
        QCOMPARE(f.controller.timer().plan().stop, record_timer::TimerPlan::Stop::At);
        QTest::keyClick(f.find<QPushButton>("CancelTimer"), Qt::Key_Space);
        QCOMPARE(f.controller.timer().state(), RecordTimer::State::Idle);
        f.find<QCheckBox>("Daily")->setChecked(false);

        // After a delay, stopping at a size; then a start that has passed is refused and shown.
        f.radio(QStringLiteral("After"))->click();
        f.find<QTimeEdit>("StartDelay")->setTime(QTime(0, 20));
        f.radio(QStringLiteral("When the file reaches (MB)"))->click();
        f.find<QSpinBox>("Size")->setValue(650);
        QCOMPARE(f.window.words(), QStringLiteral("record-after:1200s+stop-at-size:650MB"));
        QVERIFY(f.window.set().isEmpty());
        QCOMPARE(f.controller.timer().plan().stopAtBytes, qint64(650000000));
        f.window.cancelTimer();

        f.radio(QStringLiteral("At"))->click();
        f.find<QDateTimeEdit>("StartTime")->setDateTime(QDateTime::currentDateTime().addSecs(-3600));
        f.radio(QStringLiteral("By hand"))->click();
        const QString refused = f.window.set();
        QVERIFY(!refused.isEmpty());
        QCOMPARE(f.controller.timer().state(), RecordTimer::State::Idle);
        QCOMPARE(f.shown(), QStringLiteral("The timer is not set: %1.").arg(refused));
    }

    void soundStartIsArmedFromTheKeyboardAndStored()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        Fixture f;
        writeTextFile(f.paths.configFile(), readTextFile(f.paths.configFile()) +
                                                "Sound Threshold=-45\nSound Hang Seconds=3.5\nSound Takes=Files\n");
        Reopened w(f.controller);
        auto* threshold = w.find<QSpinBox>("SoundThreshold");
        auto* hang = w.find<QDoubleSpinBox>("SoundHang");
        auto* pauses = w.find<QRadioButton>("SoundPauses");
        auto* files = w.find<QRadioButton>("SoundFiles");
        auto* arm = w.find<QPushButton>("ArmSound");
        auto* disarm = w.find<QPushButton>("DisarmSound");
        QVERIFY(threshold && hang && pauses && files && arm && disarm);

        // Loaded from Config.ini.
        QCOMPARE(threshold->value(), -45);
        QCOMPARE(threshold->text(), QStringLiteral("-45 dBFS"));
        QCOMPARE(hang->value(), 3.5);
        QCOMPARE(hang->text(), QStringLiteral("3.5 s"));
        QVERIFY(files->isChecked());
        QCOMPARE(w.soundState(), QStringLiteral("Not armed."));
        QVERIFY(arm->isEnabled());
        QVERIFY(!disarm->isEnabled());

        // From the timer's buttons onwards by Tab: each control of the start on sound in turn (the
        // pair of buttons at the chosen one), the unavailable Disarm passed over, the state, then
        // Close.
        w.find<QPushButton>("SetTimer")->setFocus();
        QTRY_COMPARE(focused(), QStringLiteral("SetTimer"));
        QStringList order;
        for (int i = 0; i < 6; ++i) {
            keyOnFocus(Qt::Key_Tab);
            order << focused();
        }
        QCOMPARE(order,
                 QStringList({"SoundThreshold", "SoundHang", "SoundFiles", "ArmSound", "SoundState", "CloseTimer"}));

        // Choose by keys: 7 dB lower, a second longer, a paused take; then Arm.
        threshold->setFocus();
        QTRY_COMPARE(focused(), QStringLiteral("SoundThreshold"));
        for (int i = 0; i < 7; ++i)
            keyOnFocus(Qt::Key_Down);
        keyOnFocus(Qt::Key_Tab);
        QCOMPARE(focused(), QStringLiteral("SoundHang"));
        keyOnFocus(Qt::Key_Up);
        keyOnFocus(Qt::Key_Up);
        keyOnFocus(Qt::Key_Tab);
        QCOMPARE(focused(), QStringLiteral("SoundFiles"));
        keyOnFocus(Qt::Key_Up);
        QVERIFY(pauses->isChecked());
        QCOMPARE(focused(), QStringLiteral("SoundPauses"));
        keyOnFocus(Qt::Key_Tab);
        QCOMPARE(focused(), QStringLiteral("ArmSound"));
        QVERIFY(!f.controller.armed());
        keyOnFocus(Qt::Key_Space);

        QVERIFY(f.controller.armed());
        QCOMPARE(f.controller.soundStart().thresholdDb, -52.0);
        QCOMPARE(f.controller.soundStart().hangSeconds, 4.5);
        QCOMPARE(f.controller.soundStart().takes, SoundStart::Takes::OneWithPauses);
        const SoundStart stored = f.controller.settings().soundStart();
        QCOMPARE(stored.thresholdDb, -52.0);
        QCOMPARE(stored.hangSeconds, 4.5);
        QCOMPARE(stored.takes, SoundStart::Takes::OneWithPauses);
        const QByteArray config = readTextFile(f.paths.configFile());
        QVERIFY2(config.contains("Sound Threshold=-52\nSound Hang Seconds=4.5\nSound Takes=Pauses\n"),
                 config.constData());
        QCOMPARE(w.soundState(), QStringLiteral("Armed: recording starts on sound above -52 dBFS."));
        QVERIFY(!arm->isEnabled());
        QVERIFY(disarm->isEnabled());
        // The keyboard moves on to Disarm, which the next Space presses.
        QCOMPARE(focused(), QStringLiteral("DisarmSound"));
        keyOnFocus(Qt::Key_Space);
        QVERIFY(!f.controller.armed());
        QCOMPARE(w.soundState(), QStringLiteral("Not armed."));
        QVERIFY(arm->isEnabled());
        QVERIFY(!disarm->isEnabled());
        QCOMPARE(focused(), QStringLiteral("ArmSound"));

        // The window opened anew shows what was stored.
        Reopened again(f.controller);
        QCOMPARE(again.find<QSpinBox>("SoundThreshold")->value(), -52);
        QCOMPARE(again.find<QDoubleSpinBox>("SoundHang")->value(), 4.5);
        QVERIFY(again.find<QRadioButton>("SoundPauses")->isChecked());
    }

    void soundStartFollowsTheControllerAndReadsAloud()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        Fixture f;
        auto* state = f.find<QLabel>("SoundState");
        auto* arm = f.find<QPushButton>("ArmSound");
        auto* disarm = f.find<QPushButton>("DisarmSound");

        // Every control of the start on sound carries its words for screen readers, and the state
        // reads as it shows.
        QCOMPARE(accessibleName(f.find<QSpinBox>("SoundThreshold")), QStringLiteral("Start above"));
        QCOMPARE(accessibleName(f.find<QDoubleSpinBox>("SoundHang")), QStringLiteral("Stop after quiet for"));
        QCOMPARE(accessibleName(f.find<QRadioButton>("SoundPauses")),
                 QStringLiteral("Pause the take while it is quiet"));
        QCOMPARE(accessibleName(f.find<QRadioButton>("SoundFiles")), QStringLiteral("A file for each sound"));
        QCOMPARE(accessibleName(arm), QStringLiteral("Arm"));
        QCOMPARE(accessibleName(disarm), QStringLiteral("Disarm"));
        QCOMPARE(accessibleName(state), QStringLiteral("Not armed."));
        QAccessibleInterface* threshold = QAccessible::queryAccessibleInterface(f.find<QSpinBox>("SoundThreshold"));
        QCOMPARE(threshold->text(QAccessible::Value), QStringLiteral("-30 dBFS"));
        for (const char* name : {"SoundThreshold", "SoundHang", "SoundPauses", "SoundFiles", "ArmSound", "DisarmSound"})
            QVERIFY2(!f.find<QWidget>(name)->toolTip().isEmpty(), name);

        // Armed elsewhere (the command line): the window says so with the threshold armed, and only
        // Disarm is offered.
        SoundStart how;
        how.thresholdDb = -20;
        how.takes = SoundStart::Takes::FilePerSound;
        QVERIFY(f.controller.arm(how).isEmpty());
        QCOMPARE(state->text(), QStringLiteral("Armed: recording starts on sound above -20 dBFS."));
        QCOMPARE(accessibleName(state), state->text());
        QVERIFY(!arm->isEnabled());
        QVERIFY(disarm->isEnabled());
        // What the window shows is not what the command line armed: the window's controls keep their
        // values, and nothing is stored.
        QCOMPARE(f.find<QSpinBox>("SoundThreshold")->value(), -30);
        QVERIFY(!readTextFile(f.paths.configFile()).contains("Sound"));

        // Disarmed elsewhere.
        f.controller.disarm();
        QCOMPARE(state->text(), QStringLiteral("Not armed."));
        QVERIFY(arm->isEnabled());
        QVERIFY(!disarm->isEnabled());

        // Disarm from the window.
        QVERIFY(f.controller.arm(how).isEmpty());
        QTest::keyClick(disarm, Qt::Key_Space);
        QVERIFY(!f.controller.armed());
        QCOMPARE(state->text(), QStringLiteral("Not armed."));
    }
};

QTEST_MAIN(TestTimerWindow)
#include "test_timer_window.moc"
