// SPDX-License-Identifier: GPL-3.0-or-later
#include "prefs/timer_window.h"

#include "control/controller.h"
#include "control/record_timer.h"
#include "ui/skinned_widgets.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

namespace {

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
    m_stopAfter = new QRadioButton(QStringLiteral("After a &duration"), stop);
    m_stopAt = new QRadioButton(QStringLiteral("A&t"), stop);
    m_stopAtSize = new QRadioButton(QStringLiteral("When the file reaches (&MB)"), stop);
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

    m_daily = new QCheckBox(QStringLiteral("Every &day"), this);
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

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_set);
    buttons->addWidget(m_cancelTimer);
    buttons->addWidget(m_close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(start);
    layout->addWidget(stop);
    layout->addWidget(m_daily);
    layout->addWidget(m_state);
    layout->addLayout(buttons);

    connect(m_set, &QPushButton::clicked, this, [this] { set(); });
    connect(m_cancelTimer, &QPushButton::clicked, this, &TimerWindow::cancelTimer);
    connect(m_close, &QPushButton::clicked, this, &TimerWindow::requestUnload);
    connect(&m_controller.timer(), &RecordTimer::changed, this, &TimerWindow::showState);
    showState();
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
        words << QStringLiteral("stop-at:") + m_stopTime->dateTime().toString(Qt::ISODate);
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
