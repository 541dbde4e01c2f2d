// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/sound_start.h"
#include "ui/unloadable_window.h"

#include <QString>

class Controller;
class QCheckBox;
class QDateTimeEdit;
class QDoubleSpinBox;
class QKeyEvent;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimeEdit;

// The Timer window: when a take starts (now, at a date and time, after a delay) and when it stops
// (by hand, after a duration, at a date and time, at a file size), every day or once. "Set" hands
// the choice to the controller in the words the command line uses, so both set the same timer;
// "Cancel timer" disarms it. What the timer waits for, and anything it refused, is shown in the
// window and readable by screen readers.
//
// Below the timer, "Start on sound" arms the controller so that sound above a threshold starts a
// take: "Arm" stores the choice in Config.ini and arms, "Disarm" disarms. The window follows the
// controller, which the command line may arm or disarm too.
class TimerWindow : public UnloadableWindow {
    Q_OBJECT
public:
    explicit TimerWindow(Controller& controller, QWidget* parent = nullptr);

    // The chosen timer in the command line's words ("record-at:2026-12-24T21:30:00+stop-after:5400s").
    QString words() const;
    // Sets the timer; empty when set, else why not (also shown in the window).
    QString set();
    void cancelTimer();

    // The sound-start choice in the window's controls.
    SoundStart chosenSoundStart() const;
    // Stores the choice and arms; empty when armed, else why not (also shown in the window).
    QString armSound();
    void disarmSound();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void showState();
    void showSoundState();

    Controller& m_controller;
    QRadioButton* m_startNow;
    QRadioButton* m_startAt;
    QRadioButton* m_startAfter;
    QDateTimeEdit* m_startTime;
    QTimeEdit* m_startDelay;
    QRadioButton* m_stopByHand;
    QRadioButton* m_stopAfter;
    QRadioButton* m_stopAt;
    QRadioButton* m_stopAtSize;
    QTimeEdit* m_duration;
    QDateTimeEdit* m_stopTime;
    QSpinBox* m_size;
    QCheckBox* m_daily;
    QLabel* m_state;
    QPushButton* m_set;
    QPushButton* m_cancelTimer;
    QPushButton* m_close;
    QSpinBox* m_soundThreshold;
    QDoubleSpinBox* m_soundHang;
    QRadioButton* m_soundPauses;
    QRadioButton* m_soundFiles;
    QPushButton* m_arm;
    QPushButton* m_disarm;
    QLabel* m_soundState;
    // Why the last Arm was refused, and whether the choice it armed could not be stored: shown until
    // the armed state changes, or the user arms or disarms again.
    QString m_soundRefusal;
    bool m_soundUnstored = false;
    bool m_shownArmed = false;
};
