#include "app/form1.h"

#include "app/desktop_presence.h"
#include "app/hot_key_actions.h"
#include "app/meter_feed.h"
#include "app/recordings_list.h"
#include "app/source_level.h"
#include "app/status_line.h"
#include "control/controller.h"
#include "control/record_timer.h"
#include "convert/conversion.h"
#include "convert/encoder_options.h"
#include "library/mail.h"
#include "library/playback.h"
#include "platform/recording_format.h"
#include "recording/output_location.h"
#include "recording/recorder.h"
#include "ui/help.h"
#include "ui/icon.h"
#include "ui/unloadable_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QTimer>

namespace {

const QString kStartHint = QStringLiteral("Please read help files before starting program.");
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

} // namespace

using secondary_window::bringForward;
using secondary_window::loaded;

Form1::Form1(const AppPaths& paths, Platform& platform, SharedState& state)
    : m_paths(paths), m_platform(platform), m_state(state), m_skin(this)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Trelvik"));
    m_controller = new Controller(*m_platform.capture, m_platform.player.get(), m_paths, m_state, this);
    m_recorder = &m_controller->recorder();
    m_playback = &m_controller->playback();
    m_conversion = &m_controller->conversion();
    m_hotKeys = new HotKeyActions(m_platform.hotKeys.get(), *m_controller, m_state, this);
    connect(m_hotKeys, &HotKeyActions::notice, this, &Form1::hotKeysNotice);
    buildControls();
    buildRecordingActions();
    buildMenus();
    m_mailPoll = new QTimer(this);
    m_mailPoll->setInterval(10);
    m_mailPoll->setObjectName(QStringLiteral("Timer3"));

    m_presence = new DesktopPresence(*m_controller, this);
    connect(m_presence, &DesktopPresence::showWindow, this, &Form1::bringToFront);
    connect(m_presence, &DesktopPresence::showTimer, this, &Form1::showTimer);
    connect(m_controller, &Controller::changed, this, &Form1::showRecorderState);
    m_listenCheck = new QTimer(this);
    m_listenCheck->setInterval(1000);
    connect(m_listenCheck, &QTimer::timeout, this, &Form1::showListening);
    connect(m_controller, &Controller::changed, this, &Form1::showListening);
    connect(m_recorder, &Recorder::clockShown, m_formatPanel, &QLabel::setText);
    connect(m_controller, &Controller::listed, m_recordings, &RecordingsList::append);
    connect(m_controller, &Controller::status, this, &Form1::showStatus);
    connect(m_controller, &Controller::toneChanged, this, &Form1::showTone);
    connect(m_controller, &Controller::encoderMissing, this,
            [this](const QString& text) { m_platform.dialogs->critical(this, text); });
    connect(m_recorder, &Recorder::takeTroubled, this, [this](const QString& text) {
        // Shutdown does not end the program before the user has seen where the audio is.
        if (m_unloading || m_closeWhenDone)
            m_troubleToShow = text;
    });
    showRecorderState();
}

Recorder& Form1::recorder() const
{
    return *m_recorder;
}

Playback& Form1::playback() const
{
    return *m_playback;
}

Conversion& Form1::conversion() const
{
    return *m_conversion;
}

Form1::~Form1()
{
    delete m_meterFeed;
    delete m_form2.data();
    delete m_preferences.data();
    delete m_lame.data();
    delete m_form3.data();
    delete m_about.data();
}

void Form1::showRecorderState()
{
    m_presence->follow();
    if (m_cancelTimer)
        m_cancelTimer->setEnabled(m_controller->timer().state() != RecordTimer::State::Idle);
    // The wait pointer shows while Stop saves and converts.
    const Controller::State state = m_controller->state();
    const bool saving = state == Controller::State::Saving || state == Controller::State::Converting;
    if (saving != m_waitCursor) {
        m_waitCursor = saving;
        if (saving)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    }
    if (m_closeWhenDone && !m_controller->isBusy()) {
        m_closeWhenDone = false;
        showTrouble();
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void Form1::showStatus(const QString& text, StatusTone tone, const QString& path)
{
    showTone(tone);
    setStatus(text, path);
}

void Form1::showTrouble()
{
    if (m_troubleToShow.isEmpty())
        return;
    m_platform.dialogs->critical(this, m_troubleToShow);
    m_troubleToShow.clear();
}

void Form1::showTone(StatusTone tone)
{
    if (tone != StatusTone::Unchanged)
        setStatusColour(tone == StatusTone::Busy ? kBlue : kRed);
}

void Form1::Form_Load()
{
    m_state.LameOptions = QString::fromLatin1(encoder_options::kDefault);
    m_outputFilter = QString::fromLatin1(output_location::kWaveFilter);
    m_recordings->continueFrom(1);
    m_recorder->restartNumbering();
    m_recorder->Savefile();
    m_skin.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kGreen)));
    skinControls();
    setStatus(kStartHint);
    m_hotKeys->registerKeys();
    m_state.ExitPump = false;

    const Settings& settings = m_controller->settings();
    if (!settings.exists()) {
        m_state.OutputPath = m_paths.defaultRecording();
        m_form2 = new Form2(m_paths, m_platform, settings, *m_recorder, *this);
        m_form2->show();
        m_recorder->recoverTakes();
        return;
    }

    show();
    m_sourceLevel->restore(settings);
    const Settings::Format format = settings.format();
    m_state.Channels = format.channels;
    m_state.BitsPerSample = format.bitsPerSample;
    m_state.SamplesPerSec = format.samplesPerSec;
    m_formatPanel->setText(recording_format::formatLabelText(m_state.SamplesPerSec, m_state.BitsPerSample));
    listenAsStored();
    m_recorder->whenSourcesKnown([self = QPointer<Form1>(this)] {
        if (!self)
            return;
        if (const CaptureComponent::StandIn standIn = self->m_recorder->standIn(); !standIn.chosen.isEmpty())
            self->showStatus(Recorder::standInText(standIn.chosen, standIn.instead), StatusTone::Attention);
    });
    m_recorder->recoverTakes();
}

void Form1::bringToFront()
{
    if (isHidden() && m_form2)
        bringForward(*m_form2); // a first run shows its wizard instead
    else
        bringForward(*this);
    if (isMinimized())
        showNormal();
}

void Form1::playSelected()
{
    if (m_recordings->hasCurrent())
        m_playback->play(m_recordings->selectedPath());
}

void Form1::stopPlaying()
{
    m_playback->stop();
}

void Form1::removeSelected()
{
    if (!m_recordings->hasCurrent())
        return;
    if (m_playback->playingFile() == m_recordings->selectedPath())
        stopPlaying();
    m_recordings->removeCurrent();
}

void Form1::deleteSelectedFile()
{
    if (!m_recordings->hasCurrent())
        return;
    const QString path = m_recordings->selectedPath();
    if (m_playback->playingFile() == path)
        stopPlaying();
    if (QFileInfo(path).isFile() && !QFile::remove(path)) {
        showStatus(QStringLiteral("The file %1 could not be deleted; it stays in the list.").arg(path),
                   StatusTone::Attention);
        return;
    }
    m_recordings->removeCurrent();
}

void Form1::clearList()
{
    m_recorder->Savefile();
    m_recordings->clear();
    m_playback->poll().stop();
    m_playback->close();
    m_recorder->restartNumbering();
    showStatus(QStringLiteral("All lists were cleared."), StatusTone::Attention);
}

void Form1::convertSelected()
{
    const QString inputf = m_recordings->selectedPath();
    const QString outputf = m_conversion->outputFor(inputf);
    if (outputf.isEmpty())
        return;
    m_controller->convert(inputf, outputf);
    m_recordings->append(m_recordings->selectedLength(), outputf);
}

void Form1::convertChosenWave()
{
    const QString chosen = m_platform.dialogs->openFileName(this, QString::fromLatin1(output_location::kWaveFilter));
    if (chosen.isEmpty())
        return;
    const QString inputf = canonicalPath(chosen);
    setStatus(inputf);
    const QString outputf = m_conversion->outputFor(inputf);
    if (outputf.isEmpty())
        return;
    m_controller->convert(inputf, outputf);
}

void Form1::showMp3Options()
{
    bringForward(loaded(this, m_lame, [this] { return new lame(m_paths, m_state.LameOptions); }));
}

void Form1::openInputFile()
{
    const QString chosen = m_platform.dialogs->openFileName(
        this, QStringLiteral("Supported Video Files(*.rm;*.avi;*.wmv;*.mpg;*.mpe;*.mov;*.ram;*.mpeg)|"
                             "*.rm;*.wmv;*.mpg;*.mpe;*.mov;*.avi;*.ram;*.mpeg|"
                             "Supported Audio Files(*.mp3;*.wav;*.wma;*.mid;*.voc;*.cda;*.xm)|"
                             "*.mp3;*.wav;*.wma;*.mid;*.voc;*.cda;*.xm"));
    if (!chosen.isEmpty())
        m_platform.desktop->openFile(chosen);
}

void Form1::showLocation()
{
    bringForward(loaded(this, m_form3, [this] { return new Form3(*m_platform.desktop); }));
}

void Form1::showHelpTopics()
{
    if (!openHelp(*m_platform.desktop, m_paths))
        m_platform.dialogs->critical(this, QStringLiteral("The help file \"Trelvik help.html\" could not be opened."));
}

aboutme& Form1::loadAbout()
{
    return loaded(this, m_about, [this] { return new aboutme(*m_platform.desktop); });
}

void Form1::openHomePage()
{
    m_platform.desktop->openUrl(QUrl::fromUserInput(loadAbout().homePage()));
}

void Form1::showAbout()
{
    bringForward(loadAbout());
}

void Form1::mailSelected()
{
    mailRecording(*m_platform.desktop, loadAbout().homePage(), m_recordings->selectedPath());
}

void Form1::setStatus(const QString& text, const QString& path)
{
    m_statusText = text;
    m_statusPath = path;
    // A close asked for while work runs: every message until then says why the window stays.
    status_line::show(*m_status, m_closeWhenDone ? text + QStringLiteral(" Trelvik closes when this is done.") : text,
                      path);
}

void Form1::setStatusColour(const QColor& colour)
{
    status_line::setColour(*m_status, colour);
}

QColor Form1::statusColour() const
{
    return status_line::colour(*m_status);
}

Preferences& Form1::loadPreferences()
{
    return loaded(this, m_preferences, [this] {
        auto* preferences = new Preferences(m_paths, m_controller->settings(), m_state, m_formatPanel);
        // The format or the seconds may have changed: the listening follows once the window goes.
        connect(preferences, &QObject::destroyed, this, &Form1::listenAsStored);
        return preferences;
    });
}

void Form1::listenAsStored()
{
    if (m_unloading)
        return;
    m_controller->setPreRecord(m_controller->settings().preRecordSeconds());
    showListening();
}

void Form1::showListening()
{
    const bool listening = m_controller->preRecordSeconds() > 0 || m_controller->armed();
    if (listening)
        m_listenCheck->start();
    else
        m_listenCheck->stop();
    const QString text = m_controller->listeningText(!listening || m_platform.capture->isListening());
    if (m_listenNote->text() != text)
        m_listenNote->setText(text);
    m_listenNote->setVisible(!text.isEmpty());
}

void Form1::showPreferences()
{
    bringForward(loadPreferences());
}

void Form1::showTimer()
{
    bringForward(loaded(this, m_timerWindow, [this] { return new TimerWindow(*m_controller); }));
}

void Form1::chooseOutputFile()
{
    const QString chosen = m_platform.dialogs->saveFileName(this, m_state.OutputPath, m_outputFilter);
    if (!chosen.isEmpty())
        m_state.OutputPath = chosen;
    m_recorder->restartNumbering();
    m_controller->settings().setSavePosition(m_state.OutputPath);
}

void Form1::requestClose()
{
    close();
}

void Form1::wizardDone(int16_t testNumber)
{
    m_sourceLevel->confirm(testNumber - 1);
    m_state.Channels = recording_format::kWizardChannels;
    m_state.BitsPerSample = recording_format::kWizardBitsPerSample;
    m_state.SamplesPerSec = recording_format::kWizardSamplesPerSec;
    m_formatPanel->setText(recording_format::formatLabelText(m_state.SamplesPerSec, m_state.BitsPerSample));
    listenAsStored();
    if (m_form2)
        m_form2->hide();
    show();
}

void Form1::closeEvent(QCloseEvent* event)
{
    if (m_unloading) {
        event->accept();
        return;
    }
    // A running take is saved first, and a save or conversion under way finishes; shutdown follows
    // as soon as that is done, and the window answers meanwhile.
    if (m_recorder->takesStop())
        m_recorder->stop();
    if (m_controller->isBusy()) {
        m_closeWhenDone = true;
        setStatus(QString(m_statusText), QString(m_statusPath));
        event->ignore();
        return;
    }
    event->accept();
    m_unloading = true;
    unload();
}

void Form1::unloadWizard()
{
    if (Form2* window = m_form2.data()) {
        m_form2 = nullptr;
        window->unload();
        window->deleteLater();
    }
}

void Form1::unload()
{
    showTrouble();
    m_playback->close();
    unloadWizard();
    secondary_window::unload(m_form3);
    secondary_window::unload(m_lame);
    secondary_window::unload(m_about);
    secondary_window::unload(m_preferences);
    m_state.ExitPump = true;
    if (m_pump)
        m_pump->quit();
    // The level is stored at every shutdown.
    m_controller->settings().setRecordingVolume(m_sourceLevel->levelToStore());
    m_playback->closeDevice(m_recordings->selectedPath());
    m_hotKeys->unregisterKeys();
}
