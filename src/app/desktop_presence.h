// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class Controller;
class Notifier;
class QSystemTrayIcon;
class QWidget;
class SleepGuard;

// What the program shows and asks of the desktop beyond its window, following the controller: a
// tray icon where the desktop has a tray (the recorder's state at a glance and its actions a click
// away, never the only way to them), the machine kept awake while a timer waits or records, and
// desktop notifications of what the timer did.
class DesktopPresence : public QObject {
    Q_OBJECT
public:
    DesktopPresence(Controller& controller, QWidget* window);

    // Brings the tray icon and the sleep guard in line with the controller's state.
    void follow();

signals:
    void showWindow();
    void showTimer();

private:
    void showInTray();
    void guardTimer();

    Controller& m_controller;
    QWidget* m_window;
    QSystemTrayIcon* m_tray = nullptr;
    bool m_trayAsked = false;
    // Made when a timer is first set.
    SleepGuard* m_sleepGuard = nullptr;
    Notifier* m_notifier = nullptr;
};
