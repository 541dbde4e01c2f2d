#include "app/meter_feed.h"

#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <cerrno>
#include <optional>
#include <system_error>

#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>

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
        m_clockFrom = 0;
        m_timer->start();
    } else {
        m_timer->stop();
    }
}

void MeterFeed::tick()
{
    m_meter.setLevels(measure(clockNow(), true));
    // Drawn straight onto the window: the next changes need no UI thread.
    if (m_meter.showsDirectly() && startDrawing())
        m_timer->stop();
}

double MeterFeed::clockNow() const
{
    return m_clockFrom + double(m_clock.elapsed()) / 1000.0;
}

bool MeterFeed::startDrawing()
{
    if (m_drawer.joinable())
        return true;
    // A timer of the kernel's wakes the thread every interval; each wake is one read, with no clock
    // to ask and no lock to take.
    const int ticks = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (ticks < 0)
        return false;
    const timespec interval{0, long(intervalMs) * 1000000L};
    const itimerspec every{interval, interval};
    if (::timerfd_settime(ticks, 0, &every, nullptr) != 0) {
        ::close(ticks);
        return false;
    }
    m_ticks = ticks;
    m_drawerStop = false;
    m_drawnUntil = clockNow();
    try {
        m_drawer = std::thread([this, from = m_drawnUntil] { drawLoop(from); });
    } catch (const std::system_error&) {
        ::close(m_ticks);
        m_ticks = -1;
        return false;
    }
    return true;
}

void MeterFeed::stopDrawing()
{
    if (!m_drawer.joinable())
        return;
    m_drawerStop = true;
    // The timer runs out at once: the thread wakes and sees it is to stop.
    const itimerspec now{{0, 0}, {0, 1}};
    ::timerfd_settime(m_ticks, 0, &now, nullptr);
    m_drawer.join();
    ::close(m_ticks);
    m_ticks = -1;
    // The meter's clock goes on from where the thread's ticks left it.
    m_clock.start();
    m_clockFrom = m_drawnUntil;
}

void MeterFeed::drawLoop(double from)
{
    pthread_setname_np(pthread_self(), "trelvik-meter");
    uint64_t ticked = 0;
    for (;;) {
        uint64_t expired = 0;
        const ssize_t got = ::read(m_ticks, &expired, sizeof expired);
        if (m_drawerStop)
            return;
        if (got != ssize_t(sizeof expired) && errno == EINTR)
            continue;
        if (got != ssize_t(sizeof expired))
            break;
        // The ballistics run on the ticks' time; a late wake counts the ticks it missed.
        ticked += expired;
        m_drawnUntil = from + double(ticked) * intervalMs / 1000.0;
        if (!m_meter.showLevelsDirectly(measure(m_drawnUntil, false)))
            break;
    }
    // The UI thread ends this thread and ticks on with the timer, which comes back here once a
    // change is drawn straight onto the window again.
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
}

MeterLevels MeterFeed::measure(double now, bool onUiThread)
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
