// SPDX-License-Identifier: GPL-3.0-or-later
// The level meter's bars on X11, where each change is drawn straight onto the window from pictures
// the X server keeps: after every change the window shows, pixel for pixel, what painting the meter
// through the toolkit shows (both channels and one, with and without RMS, an RMS beyond the peak,
// hold marks on the zones' borders and at full scale, and after the panel's look changed), also
// after the server has shown the toolkit's own copy of the window again, which the direct drawing
// does not touch.

#include "ui/input_meter.h"

#include <QApplication>
#include <QGuiApplication>
#include <QVBoxLayout>
#include <QWindow>
#include <QtTest>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

xcb_connection_t* connection()
{
    auto* app = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return app ? app->connection() : nullptr;
}

// What the window shows in a rectangle, read back from the X server.
QImage onScreen(const QWidget& window, const QRect& area)
{
    xcb_connection_t* c = connection();
    const auto id = uint32_t(window.windowHandle()->winId());
    xcb_get_image_reply_t* reply =
        xcb_get_image_reply(c,
                            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, id, int16_t(area.x()), int16_t(area.y()),
                                          uint16_t(area.width()), uint16_t(area.height()), ~0u),
                            nullptr);
    if (!reply)
        return {};
    QImage image(xcb_get_image_data(reply), area.width(), area.height(), area.width() * 4, QImage::Format_RGB32);
    QImage copy = image.copy();
    std::free(reply);
    return copy;
}

// Where two pictures differ first, or an empty text when they are the same.
QString difference(const QImage& shown, const QImage& painted)
{
    if (shown.size() != painted.size())
        return QStringLiteral("the window shows %1x%2, the paint is %3x%4")
            .arg(shown.width())
            .arg(shown.height())
            .arg(painted.width())
            .arg(painted.height());
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            if ((shown.pixel(x, y) & 0xffffff) != (painted.pixel(x, y) & 0xffffff))
                return QStringLiteral("at (%1, %2) the window shows %3, the paint %4")
                    .arg(x)
                    .arg(y)
                    .arg(QColor(shown.pixel(x, y)).name(), QColor(painted.pixel(x, y)).name());
    return {};
}

MeterLevels levels(int channels, std::array<double, 2> peak, std::array<double, 2> hold, bool showRms = false,
                   std::array<double, 2> rms = {MeterLevels::floorDb, MeterLevels::floorDb})
{
    MeterLevels out;
    out.channels = channels;
    out.peak = peak;
    out.hold = hold;
    out.showRms = showRms;
    out.rms = rms;
    return out;
}

// Counts the expose events a window gets.
class Exposes : public QObject {
public:
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Expose)
            ++count;
        return false;
    }
};

struct Meter {
    QWidget window;
    InputMeter* meter = new InputMeter;
    QWidget* bars = nullptr;

    Meter()
    {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(meter);
        window.resize(320, 60);
        bars = meter->findChild<QWidget*>(QStringLiteral("bars"));
    }
    // The bars as the window shows them, and as the toolkit paints them now.
    QImage shown() const { return onScreen(window, QRect(bars->mapTo(&window, QPoint()), bars->size())); }
    QImage painted() const { return meter->grab(bars->geometry()).toImage().convertToFormat(QImage::Format_RGB32); }
    QString mismatch() const { return difference(shown(), painted()); }
    // The server asks for the whole window again, as when it was covered; whether the window heard.
    bool exposed()
    {
        Exposes exposes;
        window.windowHandle()->installEventFilter(&exposes);
        xcb_connection_t* c = connection();
        xcb_clear_area(c, 1, uint32_t(window.windowHandle()->winId()), 0, 0, 0, 0);
        xcb_flush(c);
        const bool heard = QTest::qWaitFor([&] { return exposes.count > 0; }, 3000);
        window.windowHandle()->removeEventFilter(&exposes);
        return heard;
    }
};

} // namespace

class TestMeterDirect : public QObject {
    Q_OBJECT
private slots:
    void everyChangeShowsWhatAPaintShows()
    {
        Meter m;
        m.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m.window));
        QVERIFY(m.bars && m.bars->width() > 100);
        const double floor = MeterLevels::floorDb;
        struct Step {
            const char* what;
            MeterLevels levels;
            bool direct; // the change is drawn straight onto the window
        };
        const Step steps[] = {
            {"both channels, no RMS", levels(2, {-20, -40}, {-10, -35}), false},
            {"levels and holds on the zones' borders", levels(2, {-2.5, -12}, {-3, -12}), true},
            {"RMS inside the peak", levels(2, {-6, -30}, {-1, -29}, true, {-15, -33}), true},
            {"RMS beyond the peak", levels(2, {-20, -50}, {floor, -44}, true, {-10, -45}), true},
            {"full scale", levels(2, {0, 0}, {0, 0}), true},
            {"one channel", levels(1, {-9, floor}, {-4, floor}), false},
            {"one channel, falling", levels(1, {-30, floor}, {-4.5, floor}, true, {-31, floor}), true},
            {"nothing measured", levels(0, {floor, floor}, {floor, floor}), false},
            {"both channels again", levels(2, {-7, -8}, {-5, -6}), false},
            {"both channels, rising", levels(2, {-1, -2}, {-1, -2}, true, {-3, -4}), true},
        };
        int direct = 0;
        for (const Step& step : steps) {
            m.meter->setLevels(step.levels);
            // A change the toolkit repaints shows once the window's next paint is done.
            QTRY_VERIFY2_WITH_TIMEOUT(m.mismatch().isEmpty(), qPrintable(step.what + (": " + m.mismatch())), 3000);
            if (step.direct) {
                QVERIFY2(m.meter->drawsDirectly(), step.what);
                ++direct;
            }
        }
        QCOMPARE(direct, 6);

        // The panel's look changes (as with a skin): the bars' pictures are taken anew, and the
        // changes after that are drawn from the new ones.
        QPalette look = m.meter->palette();
        look.setColor(QPalette::Window, QColor(20, 40, 120));
        m.meter->setPalette(look);
        m.meter->setLevels(levels(2, {-4, -6}, {-1, -2}, true, {-8, -9}));
        QTRY_VERIFY2_WITH_TIMEOUT(m.mismatch().isEmpty(), qPrintable(m.mismatch()), 3000);
        const QImage before = m.shown();
        m.meter->setLevels(levels(2, {-30, -33}, {-1, -2}, true, {-35, -36}));
        QVERIFY(m.meter->drawsDirectly());
        QVERIFY2(m.mismatch().isEmpty(), qPrintable("after the new look: " + m.mismatch()));
        QVERIFY(!difference(m.shown(), before).isEmpty());
    }

    void anExposeShowsTheBarsAsTheyAreNow()
    {
        Meter m;
        m.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m.window));
        m.meter->setLevels(levels(2, {-50, -50}, {-50, -50}, true, {-55, -55}));
        QTRY_VERIFY_WITH_TIMEOUT(m.mismatch().isEmpty(), 3000);
        // Only drawn onto the window: the toolkit's copy still holds the quiet bars.
        const QImage quiet = m.shown();
        m.meter->setLevels(levels(2, {-2, -4}, {-1, -3}, true, {-9, -11}));
        QVERIFY(m.meter->drawsDirectly());
        QVERIFY2(m.mismatch().isEmpty(), qPrintable(m.mismatch()));
        QVERIFY(!difference(m.shown(), quiet).isEmpty());
        // The server asks for the whole window again, as when it was covered: the toolkit shows its
        // copy, and the bars as they are now follow.
        QVERIFY(m.exposed());
        QTRY_VERIFY2_WITH_TIMEOUT(m.mismatch().isEmpty(), qPrintable(m.mismatch()), 3000);
        // The next change is drawn directly again.
        m.meter->setLevels(levels(2, {-3, -5}, {-1, -3}, true, {-10, -12}));
        QVERIFY(m.meter->drawsDirectly());
        QVERIFY2(m.mismatch().isEmpty(), qPrintable(m.mismatch()));
    }

    // Another thread draws the changes while nothing has moved or exposed the bars; a change of the
    // channels, a move of the bars in the window or an expose sends the next change back through the
    // UI thread, after which the other thread draws again, where the bars are now.
    void anotherThreadDrawsUntilTheBarsMoveOrAreExposed()
    {
        Meter m;
        auto* layout = static_cast<QVBoxLayout*>(m.window.layout());
        layout->setContentsMargins(0, 10, 40, 10);
        m.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m.window));
        auto fromThread = [&](const MeterLevels& shown) {
            bool drawn = false;
            std::thread([&] { drawn = m.meter->showLevelsDirectly(shown); }).join();
            return drawn;
        };
        m.meter->setLevels(levels(2, {-40, -45}, {-30, -35}, true, {-42, -47}));
        QTRY_VERIFY_WITH_TIMEOUT(m.mismatch().isEmpty(), 3000);
        m.meter->setLevels(levels(2, {-30, -35}, {-30, -35}, true, {-32, -37}));
        QVERIFY(m.meter->showsDirectly());

        const MeterLevels loud = levels(2, {-3, -8}, {-2, -7}, true, {-6, -12});
        QVERIFY(fromThread(loud));
        QCOMPARE(m.meter->levels().peak, loud.peak);
        QVERIFY2(m.mismatch().isEmpty(), qPrintable(m.mismatch()));

        // One channel: the panel's letters change, which the UI thread paints.
        QVERIFY(!fromThread(levels(1, {-10, MeterLevels::floorDb}, {-10, MeterLevels::floorDb})));
        QCOMPARE(m.meter->levels().channels, 2);

        // The bars move in the window, keeping their size.
        const QPoint before = m.bars->mapTo(&m.window, QPoint());
        const QSize size = m.bars->size();
        layout->setContentsMargins(40, 10, 0, 10);
        QTRY_VERIFY_WITH_TIMEOUT(m.bars->mapTo(&m.window, QPoint()) != before, 3000);
        QCOMPARE(m.bars->size(), size);
        QVERIFY(!m.meter->showsDirectly());
        QVERIFY(!fromThread(levels(2, {-20, -25}, {-2, -7}, true, {-22, -27})));
        m.meter->setLevels(levels(2, {-21, -26}, {-2, -7}, true, {-23, -28}));
        QTRY_VERIFY_WITH_TIMEOUT(m.mismatch().isEmpty(), 3000);
        m.meter->setLevels(levels(2, {-25, -29}, {-2, -7}, true, {-27, -31}));
        QVERIFY(m.meter->showsDirectly());
        QVERIFY(fromThread(levels(2, {-5, -9}, {-2, -7}, true, {-7, -11})));
        QVERIFY2(m.mismatch().isEmpty(), qPrintable("after the move: " + m.mismatch()));

        // Exposed: the toolkit shows its copy first.
        QVERIFY(m.exposed());
        QVERIFY(!m.meter->showsDirectly());
        QVERIFY(!fromThread(levels(2, {-15, -19}, {-2, -7})));
        QTRY_VERIFY2_WITH_TIMEOUT(m.mismatch().isEmpty(), qPrintable(m.mismatch()), 3000);
        // In silence nothing changes, and the UI thread hands over all the same.
        m.meter->setLevels(m.meter->levels());
        QVERIFY(m.meter->showsDirectly());
        QVERIFY(fromThread(levels(2, {-4, -9}, {-2, -7}, true, {-6, -11})));
        QVERIFY2(m.mismatch().isEmpty(), qPrintable("after the expose: " + m.mismatch()));
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Reported to CTest as skipped, not passed, on a desktop that is not X11.
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !connection()) {
        std::puts("SKIP: the bars are drawn straight onto the window on X11 only");
        return 77;
    }
    TestMeterDirect test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_meter_direct.moc"
