// The main window's input level meter and clip light over a capture whose measurements the test
// chooses: where they sit, when the meter reads the capture at all, what the bars and the screen
// reader's value show, the clip light's whole life, and the silence warning of a recording.

#include "app/form1.h"
#include "recording/recorder.h"
#include "tests/fakes/window_fixture.h"
#include "ui/input_meter.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);
const QString kRecording = QStringLiteral("The Program is Recording now........");

// The fake capture with a level meter: each reading hands over what the test put in next, once.
class MeteredCapture : public FakeCapture {
public:
    using FakeCapture::FakeCapture;

    void watchLevels(bool on) override
    {
        watching = on;
        watchCalls.append(on);
    }
    InputLevels readLevels() override
    {
        ++readings;
        InputLevels reading = next;
        next.channels = 0; // measured once
        return reading;
    }
    float takeLoudest() override { return loudest; }
    QString recordingSourceDescription() override { return description; }

    // A reading of both channels at these fractions of full scale.
    void measure(float left, float right, bool withRms = false)
    {
        next.channels = 2;
        next.peak = {left, right};
        next.hasRms = withRms;
        next.rms = {left / 2, right / 2};
    }

    InputLevels next;
    float loudest = -1;
    QString description;
    bool watching = false;
    QList<bool> watchCalls;
    int readings = 0;
};

struct Fixture : WindowFixture {
    MeteredCapture* capture = nullptr;

    Fixture()
    {
        auto metered = std::make_unique<MeteredCapture>(fakes.log);
        capture = metered.get();
        fakes.capture = capture;
        fakes.platform.capture = std::move(metered);
        recordingConfig();
        load();
    }
    InputMeter& meter() { return *inputMeter(); }
    ClipLight& clip() { return *clipLight(); }
    // Waits for the meter's next update and the one after it.
    bool updates(int count = 2)
    {
        QSignalSpy ticks(timer("MeterTimer"), &QTimer::timeout);
        return QTest::qWaitFor([&] { return ticks.count() >= count; }, 2000);
    }
    double accessibleValue()
    {
        QAccessibleInterface* meter = QAccessible::queryAccessibleInterface(inputMeter());
        return meter && meter->valueInterface() ? meter->valueInterface()->currentValue().toDouble() : 999;
    }
};

} // namespace

class TestInputMeter : public QObject {
    Q_OBJECT
private slots:
    void everyControlKeepsItsPlace()
    {
        Fixture f;
        Form1& w = f.w();
        // The layout of the window before the meter was added.
        const QList<QPair<QWidget*, QRect>> kept{
            {f.label("SkinLabel2"), QRect(8, 10, 459, 24)}, {f.list(), QRect(8, 40, 329, 191)},
            {f.recordButton(), QRect(347, 40, 120, 40)},    {f.pauseButton(), QRect(347, 90, 120, 40)},
            {f.stopButton(), QRect(347, 140, 120, 40)},     {f.formatPanel(), QRect(8, 240, 459, 28)},
            {f.sliderCaption(), QRect(8, 277, 230, 22)},    {f.slider(), QRect(242, 277, 225, 22)},
            {f.statusLine(), QRect(8, 308, 459, 26)}};
        const QRect inside = w.centralWidget()->rect();
        for (const auto& [control, where] : kept) {
            QCOMPARE(control->geometry(), where);
            QVERIFY(!control->geometry().intersects(f.meter().geometry()));
            QVERIFY(!control->geometry().intersects(f.clip().geometry()));
        }
        QVERIFY(inside.contains(f.meter().geometry()));
        QVERIFY(inside.contains(f.clip().geometry()));
        QVERIFY(!f.meter().geometry().intersects(f.clip().geometry()));
        // The skin of the window is the meter's too, and follows the skin chosen.
        QCOMPARE(f.meter().styleSheet(), w.skin().styleSheet());
        f.item("red")->trigger();
        QVERIFY(w.skin().skinFile().endsWith(QStringLiteral("red.skn")));
        QCOMPARE(f.meter().styleSheet(), w.skin().styleSheet());
        QCOMPARE(f.clip().styleSheet(), w.skin().styleSheet());
        QVERIFY(!f.clip().styleSheet().isEmpty());
        // The clip light comes after the status line in the tab order.
        QWidget* next = f.statusLine()->nextInFocusChain();
        while (next && !(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        QCOMPARE(next, &f.clip());
        QCOMPARE(f.clip().focusPolicy(), Qt::StrongFocus);
    }

    void readsOnlyWhileTheWindowIsOnScreen()
    {
        Fixture f;
        Form1& w = f.w();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_VERIFY(f.capture->watching);
        QVERIFY(f.timer("MeterTimer")->isActive());
        QCOMPARE(f.timer("MeterTimer")->interval(), 33);

        f.capture->measure(0.1f, 0.5f);
        QVERIFY(f.updates());
        QCOMPARE(f.meter().levels().channels, 2);
        QCOMPARE(qRound(f.meter().levels().peak[0] * 10), -200);
        QCOMPARE(qRound(f.meter().levels().peak[1] * 10), -60);
        // A screen reader reads the loudest channel, in dBFS on a -60 to 0 scale.
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&f.meter());
        QVERIFY(accessible && accessible->valueInterface());
        QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Input level"));
        QCOMPARE(accessible->valueInterface()->minimumValue().toDouble(), -60.0);
        QCOMPARE(accessible->valueInterface()->maximumValue().toDouble(), 0.0);
        QCOMPARE(f.accessibleValue(), -6.0);
        QCOMPARE(accessible->text(QAccessible::Value), QStringLiteral("-6.0 dB"));

        // Minimised: the capture is told nobody watches, and the timer stops.
        w.showMinimized();
        QTRY_VERIFY(!f.capture->watching);
        QVERIFY(!f.timer("MeterTimer")->isActive());
        const int readings = f.capture->readings;
        QTest::qWait(150);
        QCOMPARE(f.capture->readings, readings);
        w.showNormal();
        QTRY_VERIFY(f.capture->watching);
        QVERIFY(f.timer("MeterTimer")->isActive());
        // Hidden, the same.
        w.hide();
        QTRY_VERIFY(!f.capture->watching);
        QVERIFY(!f.timer("MeterTimer")->isActive());
        w.show();
        QTRY_VERIFY(f.capture->watching);
        QCOMPARE(f.capture->watchCalls, QList<bool>({true, false, true, false, true}));
    }

    void barsHoldAndFallAndShowRmsWhenMeasured()
    {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.w()));
        f.capture->measure(0.5f, 0.5f, true);
        QVERIFY(f.updates());
        QVERIFY(f.meter().levels().showRms);
        QCOMPARE(qRound(f.meter().levels().rms[0]), -12);
        QCOMPARE(qRound(f.meter().levels().hold[0]), -6);
        // Silence from now on: the bar falls smoothly, the hold mark stays.
        f.capture->measure(0, 0, true);
        QVERIFY(f.updates(4));
        const double falling = f.meter().levels().peak[0];
        QVERIFY2(falling < -6.5 && falling > -20, qPrintable(QString::number(falling)));
        QCOMPARE(qRound(f.meter().levels().hold[0]), -6);
        QTRY_COMPARE_WITH_TIMEOUT(f.meter().levels().peak[0], -60.0, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(f.meter().levels().hold[0], -60.0, 5000);
        QCOMPARE(f.accessibleValue(), -60.0);
    }

    void barsShowTheZonesInEverySkin()
    {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.w()));
        auto* bars = f.meter().findChild<QWidget*>(QStringLiteral("bars"));
        QVERIFY(bars);
        auto near = [](QColor seen, QColor expected) {
            return std::abs(seen.red() - expected.red()) <= 3 && std::abs(seen.green() - expected.green()) <= 3 &&
                   std::abs(seen.blue() - expected.blue()) <= 3;
        };
        const QColor green(61, 220, 74), yellow(245, 208, 0), red(255, 59, 48);
        for (QAction* skin : {f.item("red"), f.item("blue"), f.item("green")}) {
            skin->trigger();
            // Left at -0.9 dB, right at -40 dB, no RMS: the idle meter.
            f.capture->measure(0.9f, 0.01f);
            QVERIFY(f.updates());
            const QImage shown = f.meter().grab().toImage();
            const QRect area = bars->geometry();
            const int rowHeight = (area.height() - 2) / 2;
            const int left = area.top() + rowHeight / 2;
            const int right = area.top() + rowHeight + 2 + rowHeight / 2;
            const int gap = area.top() + rowHeight;
            auto at = [&](double db, int y) {
                return shown.pixelColor(area.left() + InputMeter::position(db, area.width()), y);
            };
            const QString where = skin->text();
            QVERIFY2(near(at(-30, left), green), qPrintable(where));
            QVERIFY2(near(at(-8, left), yellow), qPrintable(where));
            QVERIFY2(near(at(-2, left), red), qPrintable(where));
            QVERIFY2(near(at(-45, right), green), qPrintable(where));
            // Past the level, the track: the skin's panel darkened, as it shows between the rows.
            const QColor panel = at(-30, gap);
            const QColor track = at(-30, right);
            const auto darkened = QColor(qRound(panel.red() * 159 / 255.0), qRound(panel.green() * 159 / 255.0),
                                         qRound(panel.blue() * 159 / 255.0));
            QVERIFY2(near(track, darkened), qPrintable(where + track.name() + panel.name()));
            QVERIFY2(near(panel, shown.pixelColor(area.left() + 20, area.bottom() + 12)), qPrintable(where));
        }
    }

    void theClipLight()
    {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.w()));
        ClipLight& clip = f.clip();
        QCOMPARE(clip.text(), QStringLiteral("Clip"));
        QVERIFY(!clip.isLit());

        // Within one update of the capture counting a clip.
        f.capture->next.capture = 1;
        f.capture->next.clips = 1;
        QVERIFY(f.updates(1));
        QVERIFY(clip.isLit());
        QCOMPARE(clip.accessibleDescription(), QStringLiteral("clipped"));
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&clip);
        QVERIFY(accessible->state().checked);
        QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Clip"));
        // It stays lit while nothing new clips.
        QVERIFY(f.updates(3));
        QVERIFY(clip.isLit());

        // Space puts it out; the count already seen does not light it again.
        clip.setFocus();
        QTest::keyClick(&clip, Qt::Key_Space);
        QVERIFY(!clip.isLit());
        QVERIFY(clip.accessibleDescription() != QStringLiteral("clipped"));
        QVERIFY(!accessible->state().checked);
        QVERIFY(f.updates(2));
        QVERIFY(!clip.isLit());
        // Pressing it while out leaves it out.
        QTest::keyClick(&clip, Qt::Key_Space);
        QTest::mouseClick(&clip, Qt::LeftButton);
        QVERIFY(!clip.isLit());

        // A second clip lights it again; Enter puts it out, and so does a click.
        f.capture->next.clips = 2;
        QVERIFY(f.updates(1));
        QVERIFY(clip.isLit());
        QTest::keyClick(&clip, Qt::Key_Return);
        QVERIFY(!clip.isLit());
        f.capture->next.clips = 3;
        QVERIFY(f.updates(1));
        QVERIFY(clip.isLit());
        QTest::mouseClick(&clip, Qt::LeftButton);
        QVERIFY(!clip.isLit());
        // A screen reader's action on the dark light does not light it.
        QSignalSpy toggled(&clip, &QAbstractButton::toggled);
        QSignalSpy clicked(&clip, &QAbstractButton::clicked);
        accessible->actionInterface()->doAction(accessible->actionInterface()->actionNames().first());
        QVERIFY(QTest::qWaitFor([&] { return toggled.count() + clicked.count() > 0; }, 2000));
        QVERIFY(!clip.isLit());

        // Record puts it out; the next capture counts its clips from one again.
        f.capture->next.clips = 4;
        QVERIFY(f.updates(1));
        QVERIFY(clip.isLit());
        f.clickRecord();
        QCOMPARE(f.w().recorder().state(), Recorder::State::Recording);
        QVERIFY(!clip.isLit());
        f.capture->next.capture = 2;
        f.capture->next.clips = 0;
        QVERIFY(f.updates(2));
        QVERIFY(!clip.isLit());
        f.capture->next.clips = 1;
        QVERIFY(f.updates(1));
        QVERIFY(clip.isLit());
        f.clickStop();
    }

    void aSilentRecordingSaysSo()
    {
        Fixture f;
        f.capture->description = QStringLiteral("Built-in Audio Analog Stereo");
        f.capture->loudest = 0.0005f; // below -60 dBFS
        f.clickRecord();
        QCOMPARE(f.status(), kRecording);
        f.tick(9);
        QCOMPARE(f.status(), kRecording);
        f.tick(1);
        QCOMPARE(f.status(), QStringLiteral("No sound is arriving from Built-in Audio Analog Stereo: is it muted, "
                                            "unplugged, or the wrong device?"));
        QCOMPARE(f.w().statusColour(), kRed);
        f.tick(5);
        QVERIFY(f.status().startsWith(QStringLiteral("No sound is arriving")));
        // Sound arrives: the line goes back to the recording, in blue.
        f.capture->loudest = 0.002f;
        f.tick(1);
        QCOMPARE(f.status(), kRecording);
        QCOMPARE(f.w().statusColour(), kBlue);

        // Paused time is not recorded: after Resume it takes ten silent seconds again.
        f.capture->loudest = 0;
        f.tick(6);
        f.clickPause();
        f.clickPause();
        QCOMPARE(f.status(), kRecording);
        f.tick(9);
        QCOMPARE(f.status(), kRecording);
        f.tick(1);
        QVERIFY(f.status().startsWith(QStringLiteral("No sound is arriving")));
        f.clickStop();

        // A capture that measures nothing warns of nothing; a source without a description is named
        // as the recording source.
        Fixture unmeasured;
        unmeasured.clickRecord();
        unmeasured.tick(12);
        QCOMPARE(unmeasured.status(), kRecording);
        unmeasured.capture->loudest = 0;
        unmeasured.tick(10);
        QCOMPARE(unmeasured.status(), QStringLiteral("No sound is arriving from the recording source: is it muted, "
                                                     "unplugged, or the wrong device?"));
        unmeasured.clickStop();
    }
};

QTEST_MAIN(TestInputMeter)

#include "test_input_meter.moc"
