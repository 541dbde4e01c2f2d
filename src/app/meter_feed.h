#pragma once

#include "recording/level_meter.h"
#include "ui/input_meter.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <array>
#include <atomic>
#include <thread>

class QTimer;
class QWindow;

// Feeds a window's input level meter and clip light from the capture while the window is on screen:
// a timer (named "MeterTimer") reads what the capture measured about 30 times a second. Once the
// meter draws its bars straight onto the window (X11), a thread of its own ("trelvik-meter") takes
// over from the timer and draws each change without waking the UI thread; it hands back to the timer
// whenever a change must go through the UI thread (the bars moved or were exposed, the channels
// changed). While the window is minimised or hidden both stop and the capture is told nobody
// watches, so an idle program measures nothing. A child of the window; ended before the meter and
// the light are.
class MeterFeed : public QObject {
public:
    static constexpr int intervalMs = 33;

    MeterFeed(QWidget& window, CaptureComponent& capture, InputMeter& meter, ClipLight& clip);
    ~MeterFeed() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void follow();
    void tick();
    // Reads the capture and moves the bars' ballistics on: what the meter is to show now.
    MeterLevels measure(double now, bool onUiThread);
    // False when no thread could be started: the timer goes on.
    bool startDrawing();
    void stopDrawing();
    void drawLoop(double from);

    QWidget& m_window;
    CaptureComponent& m_capture;
    InputMeter& m_meter;
    ClipLight& m_clip;
    QTimer* m_timer;
    QPointer<QWindow> m_handle;
    bool m_on = false;
    // The meter's clock, in seconds: the timer's ticks read it, the thread counts its own ticks on
    // from it.
    double clockNow() const;
    QElapsedTimer m_clock;
    double m_clockFrom = 0;
    std::array<level_meter::Ballistics, MeterLevels::maxChannels> m_bars;
    int m_channels = 0;
    bool m_hasRms = false;
    uint32_t m_captureSeen = 0;
    uint32_t m_clipsSeen = 0;
    // The drawing thread; the measuring state above is its own while it runs.
    std::thread m_drawer;
    int m_ticks = -1; // its timer
    std::atomic<bool> m_drawerStop{false};
    double m_drawnUntil = 0; // the time of its last tick, in seconds on the meter's clock
};
