// SPDX-License-Identifier: GPL-3.0-or-later
#include "prefs/timer_window.h"

#include "control/controller.h"
#include "control/record_timer.h"
#include "ui/skinned_widgets.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <cmath>

namespace {

// A spin box with its label in front of it; the label's mnemonic moves to the box, and the box
// carries the label's words for screen readers.
void labelled(QGridLayout* grid, int row, const QString& text, QWidget* field)
{
    auto* label = new QLabel(text, field->parentWidget());
    label->setBuddy(field);
    field->setAccessibleName(QString(text).remove(u'&'));
    grid->addWidget(label, row, 0);
    grid->addWidget(field, row, 1);
}

qint64 secondsOf(const QTime& time)
{
    return time.isValid() ? QTime(0, 0).secsTo(time) : 0;
}

// A radio button with the field it chooses beside it, the field named for screen readers and
// enabled only while its button is chosen.
void pair(QGridLayout* grid, int row, QRadioButton* button, QWidget* field = nullptr, const QString& name = {})
{
    grid->addWidget(button, row, 0);
    if (!field)
        return;
    grid->addWidget(field, row, 1);
    // A date and time with a calendar's arrow: its size hint leaves out the arrow, under which the
    // text would run; the arrow's box is about as wide as the field is high.
    if (auto* edit = qobject_cast<QDateTimeEdit*>(field); edit && edit->calendarPopup())
        edit->setMinimumWidth(edit->sizeHint().width() + edit->sizeHint().height());
    field->setAccessibleName(name);
    field->setEnabled(button->isChecked());
    QObject::connect(button, &QRadioButton::toggled, field, &QWidget::setEnabled);
}

} // namespace

TimerWindow::TimerWindow(Controller& controller, QWidget* parent)
    : UnloadableWindow(parent, Qt::Dialog), m_controller(controller)
{
    readAsWindow(*this);
    setObjectName(QStringLiteral("TimerWindow"));
    setWindowTitle(QStringLiteral("Timer"));

    const QDateTime soon = QDateTime::currentDateTime().addSecs(3600);
    const QDateTime nextHour(soon.date(), QTime(soon.time().hour(), 0));

    auto* start = new QGroupBox(QStringLiteral("Start recording"), this);
    m_startNow = new QRadioButton(QStringLiteral("&Now"), start);
    m_startAt = new QRadioButton(QStringLiteral("&At"), start);
    m_startAfter = new QRadioButton(QStringLiteral("A&fter"), start);
    m_startAt->setChecked(true);
    m_startTime = new QDateTimeEdit(nextHour, start);
    m_startTime->setObjectName(QStringLiteral("StartTime"));
    m_startTime->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    m_startTime->setCalendarPopup(true);
    m_startDelay = new QTimeEdit(QTime(0, 10), start);
    m_startDelay->setObjectName(QStringLiteral("StartDelay"));
    m_startDelay->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    auto* startGrid = new QGridLayout(start);
    pair(startGrid, 0, m_startNow);
    pair(startGrid, 1, m_startAt, m_startTime, QStringLiteral("Start at"));
    pair(startGrid, 2, m_startAfter, m_startDelay, QStringLiteral("Start after"));

    auto* stop = new QGroupBox(QStringLiteral("Stop recording"), this);
    m_stopByHand = new QRadioButton(QStringLiteral("&By hand"), stop);
    m_stopAfter = new QRadioButton(QStringLiteral("After a d&uration"), stop);
    m_stopAt = new QRadioButton(QStringLiteral("A&t"), stop);
    m_stopAtSize = new QRadioButton(QStringLiteral("When the file reaches (&MB)"), stop);
    m_stopAt->setObjectName(QStringLiteral("StopAtTime"));
    m_stopAfter->setChecked(true);
    m_duration = new QTimeEdit(QTime(1, 0), stop);
    m_duration->setObjectName(QStringLiteral("Duration"));
    m_duration->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    m_stopTime = new QDateTimeEdit(nextHour.addSecs(3600), stop);
    m_stopTime->setObjectName(QStringLiteral("StopTime"));
    m_stopTime->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    m_stopTime->setCalendarPopup(true);
    m_size = new QSpinBox(stop);
    m_size->setObjectName(QStringLiteral("Size"));
    m_size->setRange(1, 4000000);
    m_size->setValue(700);
    auto* stopGrid = new QGridLayout(stop);
    pair(stopGrid, 0, m_stopByHand);
    pair(stopGrid, 1, m_stopAfter, m_duration, QStringLiteral("Stop after"));
    pair(stopGrid, 2, m_stopAt, m_stopTime, QStringLiteral("Stop at"));
    pair(stopGrid, 3, m_stopAtSize, m_size, QStringLiteral("Stop at size in MB"));

    // Tab enters each group at its chosen button, the arrows move between them.
    for (QRadioButton* button :
         {m_startNow, m_startAt, m_startAfter, m_stopByHand, m_stopAfter, m_stopAt, m_stopAtSize})
        if (!button->isChecked())
            button->setFocusPolicy(Qt::FocusPolicy(button->focusPolicy() & ~Qt::TabFocus));

    m_daily = new QCheckBox(QStringLiteral("E&very day"), this);
    m_daily->setObjectName(QStringLiteral("Daily"));
    m_daily->setToolTip(QStringLiteral("Records at the start time every day until the timer is cancelled."));
    connect(m_startAt, &QRadioButton::toggled, m_daily, &QWidget::setEnabled);

    m_state = new QLabel(this);
    m_state->setObjectName(QStringLiteral("TimerState"));
    m_state->setWordWrap(true);
    m_state->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);

    m_set = new QPushButton(QStringLiteral("&Set"), this);
    m_set->setObjectName(QStringLiteral("SetTimer"));
    m_set->setDefault(true);
    m_cancelTimer = new QPushButton(QStringLiteral("&Cancel timer"), this);
    m_cancelTimer->setObjectName(QStringLiteral("CancelTimer"));
    m_close = new QPushButton(QStringLiteral("Close"), this);
    m_close->setObjectName(QStringLiteral("CloseTimer"));

    // Start on sound: the controls hold what Config.ini stores until Arm stores them anew.
    auto* sound = new QGroupBox(QStringLiteral("Start on sound"), this);
    sound->setObjectName(QStringLiteral("StartOnSound"));
    sound->setToolTip(QStringLiteral("While armed, sound above the threshold starts a take, and quiet for the given "
                                     "time pauses it or ends its file."));
    m_soundThreshold = new QSpinBox(sound);
    m_soundThreshold->setObjectName(QStringLiteral("SoundThreshold"));
    m_soundThreshold->setRange(int(SoundStart::kLowestDb), int(SoundStart::kHighestDb));
    m_soundThreshold->setSuffix(QStringLiteral(" dBFS"));
    m_soundThreshold->setToolTip(QStringLiteral("The level, in dB below full scale, that sound must rise above to "
                                                "start a take: -70 hears a whisper, -10 only loud sound."));
    m_soundHang = new QDoubleSpinBox(sound);
    m_soundHang->setObjectName(QStringLiteral("SoundHang"));
    m_soundHang->setRange(SoundStart::kShortestHangSeconds, SoundStart::kLongestHangSeconds);
    m_soundHang->setDecimals(1);
    m_soundHang->setSingleStep(0.5);
    m_soundHang->setSuffix(QStringLiteral(" s"));
    m_soundHang->setToolTip(QStringLiteral("How long the sound must stay below the threshold before the take "
                                           "pauses, or its file ends."));
    m_soundPauses = new QRadioButton(QStringLiteral("&Pause the take while it is quiet"), sound);
    m_soundPauses->setObjectName(QStringLiteral("SoundPauses"));
    m_soundPauses->setToolTip(QStringLiteral("One take, paused while it is quiet and resumed on sound."));
    m_soundFiles = new QRadioButton(QStringLiteral("A f&ile for each sound"), sound);
    m_soundFiles->setObjectName(QStringLiteral("SoundFiles"));
    m_soundFiles->setToolTip(QStringLiteral("Each sound is saved in a file of its own once it is quiet."));
    m_arm = new QPushButton(QStringLiteral("A&rm"), sound);
    m_arm->setObjectName(QStringLiteral("ArmSound"));
    m_arm->setToolTip(QStringLiteral("Keeps these choices and waits for sound."));
    m_disarm = new QPushButton(QStringLiteral("&Disarm"), sound);
    m_disarm->setObjectName(QStringLiteral("DisarmSound"));
    m_disarm->setToolTip(QStringLiteral("Stops waiting for sound; a take under way records on until Stop."));
    // Named by its text, so that screen readers read what it says.
    m_soundState = new QLabel(sound);
    m_soundState->setObjectName(QStringLiteral("SoundState"));
    m_soundState->setWordWrap(true);
    m_soundState->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    // Reached by Tab too, so that the keyboard can go back to what it says.
    m_soundState->setFocusPolicy(Qt::StrongFocus);
    auto* soundGrid = new QGridLayout(sound);
    labelled(soundGrid, 0, QStringLiteral("Start ab&ove"), m_soundThreshold);
    labelled(soundGrid, 1, QStringLiteral("Stop after &quiet for"), m_soundHang);
    soundGrid->addWidget(m_soundPauses, 2, 0, 1, 2);
    soundGrid->addWidget(m_soundFiles, 3, 0, 1, 2);
    auto* soundButtons = new QHBoxLayout;
    soundButtons->addStretch();
    soundButtons->addWidget(m_arm);
    soundButtons->addWidget(m_disarm);
    soundGrid->addLayout(soundButtons, 4, 0, 1, 2);
    soundGrid->addWidget(m_soundState, 5, 0, 1, 2);

    const SoundStart stored = m_controller.settings().soundStart();
    m_soundThreshold->setValue(int(std::lround(stored.thresholdDb)));
    m_soundHang->setValue(stored.hangSeconds);
    const bool files = stored.takes == SoundStart::Takes::FilePerSound;
    (files ? m_soundFiles : m_soundPauses)->setChecked(true);
    // Tab enters the pair at the chosen button, the arrows move between them (the buttons take the
    // Tab stop along with the focus from then on).
    QRadioButton* other = files ? m_soundPauses : m_soundFiles;
    other->setFocusPolicy(Qt::FocusPolicy(other->focusPolicy() & ~Qt::TabFocus));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_set);
    buttons->addWidget(m_cancelTimer);
    auto* closeRow = new QHBoxLayout;
    closeRow->addStretch();
    closeRow->addWidget(m_close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(start);
    layout->addWidget(stop);
    layout->addWidget(m_daily);
    layout->addWidget(m_state);
    layout->addLayout(buttons);
    layout->addWidget(sound);
    layout->addLayout(closeRow);

    // Top to bottom, as the window reads; Close last.
    setTabOrder(m_cancelTimer, m_soundThreshold);
    setTabOrder(m_soundThreshold, m_soundHang);
    setTabOrder(m_soundHang, m_soundPauses);
    setTabOrder(m_soundPauses, m_soundFiles);
    setTabOrder(m_soundFiles, m_arm);
    setTabOrder(m_arm, m_disarm);
    setTabOrder(m_disarm, m_soundState);
    setTabOrder(m_soundState, m_close);

    connect(m_set, &QPushButton::clicked, this, [this] { set(); });
    connect(m_cancelTimer, &QPushButton::clicked, this, &TimerWindow::cancelTimer);
    connect(m_close, &QPushButton::clicked, this, &TimerWindow::requestUnload);
    connect(m_arm, &QPushButton::clicked, this, [this] { armSound(); });
    connect(m_disarm, &QPushButton::clicked, this, &TimerWindow::disarmSound);
    connect(&m_controller.timer(), &RecordTimer::changed, this, &TimerWindow::showState);
    connect(&m_controller, &Controller::changed, this, &TimerWindow::showSoundState);
    showState();
    m_shownArmed = m_controller.armed();
    showSoundState();
}

void TimerWindow::keyPressEvent(QKeyEvent* event)
{
    // Escape closes the window, as Close does.
    if (event->matches(QKeySequence::Cancel)) {
        requestUnload();
        return;
    }
    UnloadableWindow::keyPressEvent(event);
}

SoundStart TimerWindow::chosenSoundStart() const
{
    SoundStart how;
    how.thresholdDb = m_soundThreshold->value();
    how.hangSeconds = m_soundHang->value();
    how.takes = m_soundFiles->isChecked() ? SoundStart::Takes::FilePerSound : SoundStart::Takes::OneWithPauses;
    return how;
}

QString TimerWindow::armSound()
{
    const SoundStart how = chosenSoundStart();
    const bool stored = m_controller.settings().setSoundStart(how);
    const bool hadFocus = m_arm->hasFocus();
    const QString why = m_controller.arm(how);
    // Set after arming: the controller's change has shown the state already, without a note.
    m_soundRefusal = why;
    m_soundUnstored = why.isEmpty() && !stored;
    showSoundState();
    // The keyboard stays on the pair: Disarm takes the place of the Arm that was pressed.
    if (hadFocus && m_disarm->isEnabled())
        m_disarm->setFocus();
    return why;
}

void TimerWindow::disarmSound()
{
    const bool hadFocus = m_disarm->hasFocus();
    m_soundRefusal.clear();
    m_soundUnstored = false;
    m_controller.disarm();
    showSoundState();
    if (hadFocus && m_arm->isEnabled())
        m_arm->setFocus();
}

QString TimerWindow::words() const
{
    QStringList words;
    if (m_startAt->isChecked())
        words << QStringLiteral("record-at:") + m_startTime->dateTime().toString(Qt::ISODate);
    else if (m_startAfter->isChecked())
        words << QStringLiteral("record-after:%1s").arg(secondsOf(m_startDelay->time()));
    if (m_stopAfter->isChecked())
        words << QStringLiteral("stop-after:%1s").arg(secondsOf(m_duration->time()));
    else if (m_stopAt->isChecked())
        // Every day stops at a time of day; once, at the date and time shown.
        words << QStringLiteral("stop-at:") + (m_daily->isChecked() && m_startAt->isChecked()
                                                   ? m_stopTime->time().toString(QStringLiteral("HH:mm:ss"))
                                                   : m_stopTime->dateTime().toString(Qt::ISODate));
    else if (m_stopAtSize->isChecked())
        words << QStringLiteral("stop-at-size:%1MB").arg(m_size->value());
    if (m_daily->isChecked() && m_startAt->isChecked())
        words << QStringLiteral("daily");
    // Start now, stop by hand: Record, as the button does.
    return words.isEmpty() ? QStringLiteral("record-after:0s") : words.join(u'+');
}

QString TimerWindow::set()
{
    QString why = words() == QStringLiteral("record-after:0s")
                      ? QStringLiteral("there is nothing to time: press Record")
                      : m_controller.setTimer(words());
    if (!why.isEmpty())
        m_state->setText(QStringLiteral("The timer is not set: %1.").arg(why));
    else
        showState();
    return why;
}

void TimerWindow::cancelTimer()
{
    m_controller.setTimer(QStringLiteral("cancel-timer"));
    showState();
}

void TimerWindow::showState()
{
    const RecordTimer& timer = m_controller.timer();
    m_cancelTimer->setEnabled(timer.state() != RecordTimer::State::Idle);
    QString text;
    switch (timer.state()) {
    case RecordTimer::State::Idle:
        text = QStringLiteral("No timer is set.");
        break;
    case RecordTimer::State::Armed:
        text = QStringLiteral("Set: recording starts %1.")
                   .arg(QLocale().toString(timer.startTime().toLocalTime(), QLocale::LongFormat));
        break;
    case RecordTimer::State::Running:
        text = QStringLiteral("The timer's recording is running.");
        break;
    }
    if (!timer.note().isEmpty())
        text += u' ' + timer.note();
    m_state->setText(text);
}

void TimerWindow::showSoundState()
{
    const bool armed = m_controller.armed();
    // Armed or disarmed from elsewhere: an earlier note no longer applies.
    if (armed != m_shownArmed) {
        m_soundRefusal.clear();
        m_soundUnstored = false;
    }
    m_shownArmed = armed;
    m_arm->setEnabled(!armed);
    m_disarm->setEnabled(armed);
    QString text;
    if (armed) {
        text = QStringLiteral("Armed: recording starts on sound above %1 dBFS.")
                   .arg(QLocale().toString(m_controller.soundStart().thresholdDb, 'g', QLocale::FloatingPointShortest));
        if (m_soundUnstored)
            text += QStringLiteral(" The choice could not be stored in %1, so the next start of Trelvik will not "
                                   "know it.")
                        .arg(m_controller.settings().path());
    } else if (!m_soundRefusal.isEmpty()) {
        text = QStringLiteral("Not armed: %1.").arg(m_soundRefusal);
    } else {
        text = QStringLiteral("Not armed.");
    }
    m_soundState->setText(text);
}
