#include "app/meter_feed.h"

#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <optional>

#include <pthread.h>

MeterFeed::MeterFeed(QWidget& window, CaptureComponent& capture, InputMeter& meter, ClipLight& clip)
    : QObject(&window), m_window(window), m_capture(capture), m_meter(meter), m_clip(clip), m_timer(new QTimer(this))
{
    m_timer->setObjectName(QStringLiteral("MeterTimer"));
    m_timer->setInterval(intervalMs);
    connect(m_timer, &QTimer::timeout, this, &MeterFeed::tick);
    connect(&m_clip, &QAbstractButton::toggled, &m_meter, &InputMeter::setClipped);
    window.installEventFilter(this);
}

MeterFeed::~MeterFeed()
{
    stopDrawing();
    if (m_on)
        m_capture.watchLevels(false);
}

bool MeterFeed::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::WindowStateChange:
    case QEvent::Expose:
        if (watched == &m_window || watched == m_handle.data())
            follow();
        break;
    default:
        break;
    }
    return false;
}

void MeterFeed::follow()
{
    // The native window exists from the first show; it says whether the window is on screen
    // (a window manager unmaps a minimised window).
    QWindow* handle = m_window.windowHandle();
    if (handle && handle != m_handle) {
        m_handle = handle;
        handle->installEventFilter(this);
    }
    const bool onScreen = m_window.isVisible() && !m_window.isMinimized() && handle && handle->isExposed();
    if (onScreen == m_on)
        return;
    m_on = onScreen;
    stopDrawing();
    m_capture.watchLevels(onScreen);
    for (level_meter::Ballistics& bar : m_bars)
        bar.reset();
    m_channels = 0;
    m_meter.setLevels({});
    if (onScreen) {
        // The peaks gathered while the window was away are old news; the clips count on in every
        // reading, so none of them is lost.
        m_capture.readLevels();
        m_clock.start();
        m_timer->start();
    } else {
        m_timer->stop();
    }
}

void MeterFeed::tick()
{
    m_meter.setLevels(measure(true));
    // Drawn straight onto the window: the next changes need no UI thread.
    if (m_meter.showsDirectly()) {
        m_timer->stop();
        startDrawing();
    }
}

void MeterFeed::startDrawing()
{
    if (m_drawer.joinable())
        return;
    m_drawerStop = false;
    m_drawer = std::thread([this] { drawLoop(); });
}

void MeterFeed::stopDrawing()
{
    if (!m_drawer.joinable())
        return;
    {
        std::lock_guard lock(m_drawerLock);
        m_drawerStop = true;
    }
    m_drawerWake.notify_all();
    m_drawer.join();
}

void MeterFeed::drawLoop()
{
    pthread_setname_np(pthread_self(), "trelvik-meter");
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(intervalMs);
    auto next = Clock::now();
    std::unique_lock lock(m_drawerLock);
    for (;;) {
        next += interval;
        // Late (a busy machine): on from now, without a burst of the ticks missed.
        if (const auto now = Clock::now(); next < now - interval)
            next = now;
        if (m_drawerWake.wait_until(lock, next, [this] { return m_drawerStop; }))
            return;
        lock.unlock();
        const bool drawn = m_meter.showLevelsDirectly(measure(false));
        lock.lock();
        if (!drawn) {
            // The UI thread ends this thread and ticks on with the timer, which comes back here once
            // a change is drawn straight onto the window again.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    stopDrawing();
                    if (m_on) {
                        tick();
                        if (!m_drawer.joinable())
                            m_timer->start();
                    }
                },
                Qt::QueuedConnection);
            return;
        }
    }
}

MeterLevels MeterFeed::measure(bool onUiThread)
{
    const InputLevels read = m_capture.readLevels();
    // Clips are counted for each take; the light shows those not seen yet, also those of a take
    // recorded while the window was away.
    if (read.capture != m_captureSeen) {
        m_captureSeen = read.capture;
        m_clipsSeen = 0;
    }
    if (read.clips > m_clipsSeen) {
        m_clipsSeen = read.clips;
        if (onUiThread)
            m_clip.light();
        else
            QMetaObject::invokeMethod(
                &m_clip, [clip = &m_clip] { clip->light(); }, Qt::QueuedConnection);
    }
    if (read.channels > 0) {
        m_channels = read.channels;
        m_hasRms = read.hasRms;
    }
    const double now = double(m_clock.elapsed()) / 1000.0;
    MeterLevels shown;
    shown.channels = m_channels;
    shown.showRms = m_hasRms;
    for (int c = 0; c < MeterLevels::maxChannels; ++c) {
        std::optional<double> peak;
        std::optional<double> rms;
        if (c < read.channels) {
            peak = level_meter::toDb(read.peak[size_t(c)]);
            if (read.hasRms)
                rms = level_meter::toDb(read.rms[size_t(c)]);
        }
        level_meter::Ballistics& bar = m_bars[size_t(c)];
        bar.update(now, peak, rms);
        shown.peak[size_t(c)] = bar.peak();
        shown.hold[size_t(c)] = bar.hold();
        shown.rms[size_t(c)] = bar.rms();
    }
    return shown;
}
