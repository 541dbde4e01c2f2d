// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/desktop_presence.h"

#include "control/controller.h"
#include "control/record_timer.h"
#include "platform/notifier.h"
#include "platform/sleep_guard.h"
#include "ui/icon.h"

#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

DesktopPresence::DesktopPresence(Controller& controller, QWidget* window)
    : QObject(window), m_controller(controller), m_window(window)
{
}

void DesktopPresence::follow()
{
    showInTray();
    guardTimer();
}

void DesktopPresence::guardTimer()
{
    const bool timed = m_controller.timer().state() != RecordTimer::State::Idle;
    if (!timed && !m_sleepGuard)
        return;
    if (!m_sleepGuard) {
        m_sleepGuard = new SleepGuard(this);
        m_notifier = new Notifier(this);
        connect(m_sleepGuard, &SleepGuard::noticeChanged, &m_controller, &Controller::setSleepWarning);
        connect(m_sleepGuard, &SleepGuard::sleeping, &m_controller, &Controller::machineSleeps);
        connect(&m_controller, &Controller::timerNews, m_notifier,
                [this](const QString& summary, const QString& body) { m_notifier->notify(summary, body); });
    }
    if (timed)
        m_sleepGuard->hold(QStringLiteral("A timed recording is waiting or running"));
    else
        m_sleepGuard->release();
}

void DesktopPresence::showInTray()
{
    if (!m_tray) {
        // Asked once: a desktop without a tray (GNOME without its extension) gets no icon.
        if (m_trayAsked)
            return;
        m_trayAsked = true;
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            return;
        m_tray = new QSystemTrayIcon(this);
        auto* menu = new QMenu(m_window);
        menu->addAction(m_controller.recordAction());
        menu->addAction(m_controller.pauseAction());
        menu->addAction(m_controller.stopAction());
        menu->addSeparator();
        menu->addAction(QStringLiteral("Timer..."), this, &DesktopPresence::showTimer);
        menu->addAction(QStringLiteral("Show Trelvik"), this, &DesktopPresence::showWindow);
        m_tray->setContextMenu(menu);
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                emit showWindow();
        });
    }
    // Red while a take records; the tooltip says what the window's status line would.
    const Controller::State state = m_controller.state();
    const bool recording = state == Controller::State::Recording;
    if (recording) {
        QPixmap red(32, 32);
        red.fill(Qt::transparent);
        QPainter painter(&red);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(0xd0, 0x10, 0x10));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(2, 2, 28, 28);
        m_tray->setIcon(QIcon(red));
    } else {
        m_tray->setIcon(trelvikIcon());
    }
    const QString tip = recording                            ? QStringLiteral("Trelvik: recording")
                        : state == Controller::State::Paused ? QStringLiteral("Trelvik: paused")
                        : m_controller.timerArmed()          ? QStringLiteral("Trelvik: timer set")
                                                             : QStringLiteral("Trelvik");
    m_tray->setToolTip(tip);
    if (!m_tray->isVisible())
        m_tray->show();
}
