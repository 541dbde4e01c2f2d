// SPDX-License-Identifier: GPL-3.0-or-later
// The Timer window over the real controller and its timer (the capture is a fake): what each choice
// arms, as the command line would; refusals shown in the window; cancelling from the window and the
// state it then shows.
#include "control/controller.h"
#include "control/record_timer.h"
#include "prefs/timer_window.h"
#include "recording/recorder.h"
#include "tests/fakes/fake_capture.h"
#include "tests/fakes/test_support.h"

#include <QCheckBox>
#include <QDateTimeEdit>
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
};

QTEST_MAIN(TestTimerWindow)
#include "test_timer_window.moc"
