#pragma once

#include "recording/level_meter.h"
#include "ui/input_meter.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <array>

class QTimer;
class QWindow;

// Feeds a window's input level meter and clip light from the capture while the window is on screen:
// a timer (named "MeterTimer") reads what the capture measured about 30 times a second. While the
// window is minimised or hidden the timer stops and the capture is told nobody watches, so an idle
// program measures nothing. A child of the window; ended before the meter and the light are.
class MeterFeed : public QObject {
public:
    static constexpr int intervalMs = 33;

    MeterFeed(QWidget& window, CaptureComponent& capture, InputMeter& meter, ClipLight& clip);
    ~MeterFeed() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void follow();
    void tick();

    QWidget& m_window;
    CaptureComponent& m_capture;
    InputMeter& m_meter;
    ClipLight& m_clip;
    QTimer* m_timer;
    QPointer<QWindow> m_handle;
    bool m_on = false;
    QElapsedTimer m_clock;
    std::array<level_meter::Ballistics, MeterLevels::maxChannels> m_bars;
    int m_channels = 0;
    bool m_hasRms = false;
    uint32_t m_captureSeen = 0;
    uint32_t m_clipsSeen = 0;
};
