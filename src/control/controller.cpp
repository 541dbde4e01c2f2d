#include "control/controller.h"

#include "convert/conversion.h"
#include "library/playback.h"
#include "recording/recorder.h"

#include <QAction>

Controller::Controller(CaptureComponent& capture, Player* player, const AppPaths& paths, SharedState& state,
                       QObject* parent)
    : QObject(parent), m_settings(paths.configFile()),
      m_recorder(new Recorder(capture, paths, m_settings, state, this)),
      m_conversion(new Conversion(paths, state, this)), m_playback(new Playback(player, this)), m_shared(state),
      m_record(new QAction(QStringLiteral("Record F9"), this)), m_pause(new QAction(QStringLiteral("Pause F10"), this)),
      m_stop(new QAction(QStringLiteral("Stop F11"), this))
{
    m_record->setObjectName(QStringLiteral("RecordAction"));
    m_pause->setObjectName(QStringLiteral("PauseAction"));
    m_stop->setObjectName(QStringLiteral("StopAction"));
    connect(m_record, &QAction::triggered, m_recorder, [this] {
        if (canRecord())
            m_recorder->record();
    });
    connect(m_pause, &QAction::triggered, m_recorder, &Recorder::pauseOrResume);
    connect(m_stop, &QAction::triggered, m_recorder, &Recorder::stop);

    connect(m_recorder, &Recorder::changed, this, &Controller::update);
    connect(m_conversion, &Conversion::holdChanged, this, &Controller::update);
    connect(m_recorder, &Recorder::status, this, &Controller::status);
    connect(m_recorder, &Recorder::listed, this, &Controller::listed);
    connect(m_recorder, &Recorder::saved, this, &Controller::convertSaved);
    connect(m_conversion, &Conversion::status, this,
            [this](const QString& text, StatusTone tone) { Q_EMIT status(text, tone); });
    connect(m_conversion, &Conversion::toneChanged, this, &Controller::toneChanged);
    connect(m_conversion, &Conversion::failedToStart, this, &Controller::encoderMissing);
    connect(m_conversion, &Conversion::converted, this, [this](const QString& outputf, bool ok) {
        // Stop's work ends with its conversion: the status line says the take is saved.
        if (outputf != m_stopMp3)
            return;
        m_stopMp3.clear();
        if (ok)
            Q_EMIT status(Recorder::savedText(), StatusTone::Unchanged);
    });
    connect(m_playback, &Playback::status, this,
            [this](const QString& text, StatusTone tone) { Q_EMIT status(text, tone); });
    update();
}

Controller::~Controller() = default;

Controller::State Controller::state() const
{
    switch (m_recorder->state()) {
    case Recorder::State::Starting:
        return State::Starting;
    case Recorder::State::Recording:
        return State::Recording;
    case Recorder::State::Paused:
        return State::Paused;
    case Recorder::State::Saving:
        return State::Saving;
    case Recorder::State::Testing:
        return State::Testing;
    case Recorder::State::Idle:
        break;
    }
    return m_conversion->holdsRecord() ? State::Converting : State::Idle;
}

bool Controller::canRecord() const
{
    return m_recorder->canRecord() && !m_conversion->holdsRecord();
}

bool Controller::isBusy() const
{
    return m_recorder->isBusy() || m_conversion->holdsRecord();
}

void Controller::update()
{
    m_record->setEnabled(canRecord());
    m_pause->setText(m_recorder->pauseCaption());
    m_pause->setEnabled(m_recorder->canStop());
    m_stop->setEnabled(m_recorder->takesStop());
    Q_EMIT changed();
}

void Controller::convert(const QString& inputf, const QString& outputf)
{
    m_conversion->Converting(inputf, outputf);
}

void Controller::convertSaved(const QString& path, const QString& lengthText)
{
    if (m_shared.ConvertOnCompletion != 1)
        return;
    // A take saved under an MP3 name would be converted onto itself: refused as from the menu.
    const QString mp3 = path.left(path.size() - 3) + QStringLiteral("mp3");
    if (mp3 == path) {
        Q_EMIT status(Conversion::alreadyMp3(path), StatusTone::Attention, path);
        return;
    }
    m_stopMp3 = mp3;
    m_conversion->Converting(path, mp3);
    Q_EMIT listed(lengthText, mp3);
}
