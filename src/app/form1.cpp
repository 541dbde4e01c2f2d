#include "app/form1.h"

#include "app/recordings_list.h"
#include "app/status_line.h"
#include "app/volume_slider.h"
#include "control/controller.h"
#include "convert/conversion.h"
#include "convert/encoder_options.h"
#include "library/mail.h"
#include "library/playback.h"
#include "platform/recording_format.h"
#include "prefs/preferences.h"
#include "recording/output_location.h"
#include "recording/recorder.h"
#include "setup/form2.h"
#include "ui/help.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <limits>

namespace {

const QString kStartHint = QStringLiteral("Please read help files before starting program.");
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

// A secondary window is unloaded by destroying it; the owner forgets it at once, the toolkit deletes
// it once the handler that asked for it has returned.
template <class Window> void unloadWindow(QPointer<Window>& pointer)
{
    if (Window* window = pointer.data()) {
        pointer = nullptr;
        window->hide();
        window->deleteLater();
    }
}

// A secondary window is loaded on first use; it asks its owner to unload it.
template <class Window, class Create> Window& loadedWindow(QObject* owner, QPointer<Window>& pointer, Create create)
{
    if (!pointer) {
        pointer = create();
        QObject::connect(pointer.data(), &Window::unloadRequested, owner, [&pointer] { unloadWindow(pointer); });
    }
    return *pointer;
}

void bringForward(QWidget& window)
{
    window.show();
    window.raise();
    window.activateWindow();
}

// Counters that must never wrap: they stop at the largest value.
int16_t raised(int64_t value)
{
    return int16_t(std::min<int64_t>(value, std::numeric_limits<int16_t>::max()));
}

} // namespace

Form1::Form1(const AppPaths& paths, Platform& platform, SharedState& state)
    : SkinForm1(this), m_paths(paths), m_platform(platform), m_state(state)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Trelvik"));
    m_controller = new Controller(*m_platform.capture, m_platform.player.get(), m_paths, m_state, this);
    m_recorder = &m_controller->recorder();
    m_playback = &m_controller->playback();
    m_conversion = &m_controller->conversion();
    buildControls();
    buildRecordingActions();
    buildMenus();
    Timer3.setInterval(10);
    Timer3.setObjectName(QStringLiteral("Timer3"));

    connect(m_controller, &Controller::changed, this, &Form1::showRecorderState);
    connect(m_recorder, &Recorder::clockShown, SkinPanel1, &QLabel::setText);
    connect(m_controller, &Controller::listed, this, &Form1::appendItem);
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
    CommonFilter = QString::fromLatin1(output_location::kWaveFilter);
    NextItemNumber = 1;
    m_recorder->restartNumbering();
    Savefile();
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kGreen)));
    skins();
    setStatus(kStartHint);
    registerHotKeys();
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
    m_state.SourceIndex = int32_t(int64_t(settings.recordingSource(-1)) - 1);
    // The source chosen by name wins where it exists: its place in the list may have moved. Where it
    // is not connected, the default source records in its place, and its level waits for it: the
    // device now at its old place is somebody else's.
    const QString chosenName = settings.recordingSourceName();
    const int32_t named = m_recorder->sourceIndex(chosenName);
    if (named >= 0)
        m_state.SourceIndex = named;
    else if (!chosenName.isEmpty())
        m_levelWaitsFor = chosenName;
    ConfigureVolumeSlider(volume_slider::startFromStored(settings.recordingVolumeText(), settings.recordingVolume()));
    if (named >= 0)
        m_recorder->selectSource(named);
    else if (!chosenName.isEmpty())
        m_recorder->selectSourceNamed(chosenName);
    else
        m_recorder->selectSource(int32_t(int64_t(settings.recordingSource(0)) - 1));
    const Settings::Format format = settings.format();
    m_state.Channels = format.channels;
    m_state.BitsPerSample = format.bitsPerSample;
    m_state.SamplesPerSec = format.samplesPerSec;
    SkinPanel1->setText(recording_format::formatLabelText(m_state.SamplesPerSec, m_state.BitsPerSample));
    if (const CaptureComponent::StandIn standIn = m_recorder->standIn(); !standIn.chosen.isEmpty())
        showStatus(Recorder::standInText(standIn.chosen, standIn.instead), StatusTone::Attention);
    m_recorder->recoverTakes();
}

Mixer& Form1::levelMixer()
{
    if (!m_levelWaitsFor.isEmpty()) {
        const int32_t index = m_recorder->sourceIndex(m_levelWaitsFor);
        if (index < 0)
            return m_heldLevel;
        // The chosen source is back: the slider sets its level again.
        m_state.SourceIndex = index;
        m_levelWaitsFor.clear();
    }
    return *m_platform.mixer;
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

void Form1::appendItem(const QString& length, const QString& path)
{
    recordings_list::append(*List1, NextItemNumber, length, path);
    NextItemNumber = raised(int64_t(NextItemNumber) + 1);
}

QString Form1::Getfilename() const
{
    return recordings_list::selectedPath(*List1);
}

void Form1::List1_MouseDown(Qt::MouseButton button, const QPoint& at)
{
    if (button != Qt::RightButton)
        return;
    QListWidgetItem* item = List1->itemAt(at);
    if (!item)
        return;
    List1->setCurrentItem(item);
    item->setSelected(true);
    Popup->popup(List1->viewport()->mapToGlobal(at));
}

void Form1::List1_ContextMenu()
{
    // The menu key opens the context menu for the selected item, as a right click on it would.
    QListWidgetItem* item = List1->currentItem();
    if (item && item->isSelected())
        List1_MouseDown(Qt::RightButton, List1->visualItemRect(item).center());
}

void Form1::Stop_Click()
{
    m_playback->stop();
}

void Form1::removeSelectedItem()
{
    delete List1->takeItem(List1->currentRow());
    if (List1->count() == 0)
        NextItemNumber = 1;
}

void Form1::Delist_Click()
{
    if (!List1->currentItem())
        return;
    if (m_playback->playingFile() == Getfilename())
        Stop_Click();
    removeSelectedItem();
}

void Form1::output_Click()
{
    if (!List1->currentItem())
        return;
    const QString path = Getfilename();
    if (m_playback->playingFile() == path)
        Stop_Click();
    if (QFileInfo(path).isFile() && !QFile::remove(path)) {
        showStatus(QStringLiteral("The file %1 could not be deleted; it stays in the list.").arg(path),
                   StatusTone::Attention);
        return;
    }
    removeSelectedItem();
}

void Form1::Clear_Click()
{
    Savefile();
    List1->clear();
    m_playback->poll().stop();
    m_playback->close();
    m_recorder->restartNumbering();
    NextItemNumber = 1;
    showStatus(QStringLiteral("All lists were cleared."), StatusTone::Attention);
}

QString Form1::GetShortPath(const QString& strFileName) const
{
    return canonicalPath(strFileName);
}

void Form1::Convert_Click()
{
    const QString inputf = Getfilename();
    const QString outputf = m_conversion->outputFor(inputf);
    if (outputf.isEmpty())
        return;
    m_controller->convert(inputf, outputf);
    appendItem(recordings_list::selectedLength(*List1), outputf);
}

void Form1::Wavtomp3_Click()
{
    const QString chosen = m_platform.dialogs->openFileName(this, QString::fromLatin1(output_location::kWaveFilter));
    if (chosen.isEmpty())
        return;
    const QString inputf = GetShortPath(chosen);
    setStatus(inputf);
    const QString outputf = m_conversion->outputFor(inputf);
    if (outputf.isEmpty())
        return;
    m_controller->convert(inputf, outputf);
}

void Form1::mp3otion_Click()
{
    bringForward(loadedWindow(this, m_lame, [this] { return new lame(m_paths, m_state.LameOptions); }));
}

void Form1::List1_DblClick()
{
    if (List1->currentItem())
        m_playback->play(Getfilename());
}

void Form1::input_Click()
{
    const QString chosen = m_platform.dialogs->openFileName(
        this, QStringLiteral("Supported Video Files(*.rm;*.avi;*.wmv;*.mpg;*.mpe;*.mov;*.ram;*.mpeg)|"
                             "*.rm;*.wmv;*.mpg;*.mpe;*.mov;*.avi;*.ram;*.mpeg|"
                             "Supported Audio Files(*.mp3;*.wav;*.wma;*.mid;*.voc;*.cda;*.xm)|"
                             "*.mp3;*.wav;*.wma;*.mid;*.voc;*.cda;*.xm"));
    if (!chosen.isEmpty())
        m_platform.desktop->openFile(chosen);
}

void Form1::location_Click()
{
    bringForward(loadedWindow(this, m_form3, [this] { return new Form3(*m_platform.desktop); }));
}

void Form1::about_Click()
{
    if (!openHelp(*m_platform.desktop, m_paths))
        m_platform.dialogs->critical(this, QStringLiteral("The help file \"Trelvik help.html\" could not be opened."));
}

aboutme& Form1::loadAbout()
{
    return loadedWindow(this, m_about, [this] { return new aboutme(*m_platform.desktop); });
}

void Form1::Homepage_Click()
{
    m_platform.desktop->openUrl(QUrl::fromUserInput(loadAbout().homePage()));
}

void Form1::Brel_Click()
{
    bringForward(loadAbout());
}

void Form1::send_Click()
{
    mailRecording(*m_platform.desktop, loadAbout().homePage(), Getfilename());
}

void Form1::Savefile()
{
    m_recorder->Savefile();
}

void Form1::skins()
{
    for (QWidget* control :
         {static_cast<QWidget*>(SkinLabel2), static_cast<QWidget*>(SkinLabel5), static_cast<QWidget*>(SkinPanel1),
          static_cast<QWidget*>(SkinButton1), static_cast<QWidget*>(SkinButton2), static_cast<QWidget*>(SkinButton4),
          static_cast<QWidget*>(SkinScrollBar1)})
        SkinForm1.apply(control);
}

void Form1::applySkin(QAction* item, const char* skinFile)
{
    for (QAction* other : {green, red, blue})
        other->setChecked(other == item);
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skinFile)));
    skins();
}

void Form1::green_Click()
{
    applySkin(green, skin_files::kGreen);
}

void Form1::red_Click()
{
    applySkin(red, skin_files::kRed);
}

void Form1::blue_Click()
{
    applySkin(blue, skin_files::kBlue);
}

void Form1::ConfigureVolumeSlider(volume_slider::Start start)
{
    m_levelSetUp = true;
    volume_slider::configure(*SkinScrollBar1, *SkinLabel5, levelMixer(), m_state.SourceIndex, m_state.levelRange,
                             start);
}

void Form1::SkinScrollBar1_Change()
{
    volume_slider::changed(*SkinScrollBar1, *SkinLabel5, levelMixer(), m_state.SourceIndex, m_state.levelRange);
}

void Form1::setStatus(const QString& text, const QString& path)
{
    m_statusText = text;
    status_line::show(*Text1, text, path);
}

void Form1::setStatusColour(const QColor& colour)
{
    status_line::setColour(*Text1, colour);
}

QColor Form1::statusColour() const
{
    return status_line::colour(*Text1);
}

Preferences& Form1::loadPreferences()
{
    return loadedWindow(this, m_preferences,
                        [this] { return new Preferences(m_paths, m_controller->settings(), m_state, SkinPanel1); });
}

void Form1::mPreferences_Click()
{
    bringForward(loadPreferences());
}

void Form1::position_Click()
{
    const QString chosen = m_platform.dialogs->saveFileName(this, m_state.OutputPath, CommonFilter);
    if (!chosen.isEmpty())
        m_state.OutputPath = chosen;
    m_recorder->restartNumbering();
    m_controller->settings().setSavePosition(m_state.OutputPath);
}

void Form1::Exit_Click()
{
    close();
}

void Form1::requestClose()
{
    close();
}

void Form1::wizardDone(int16_t testNumber)
{
    m_state.SourceIndex = testNumber - 1;
    m_levelWaitsFor.clear();
    ConfigureVolumeSlider({volume_slider::Start::From::Middle});
    m_state.Channels = recording_format::kWizardChannels;
    m_state.BitsPerSample = recording_format::kWizardBitsPerSample;
    m_state.SamplesPerSec = recording_format::kWizardSamplesPerSec;
    SkinPanel1->setText(recording_format::formatLabelText(m_state.SamplesPerSec, m_state.BitsPerSample));
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
    if (m_recorder->canStop())
        m_recorder->stop();
    if (m_controller->isBusy()) {
        m_closeWhenDone = true;
        event->ignore();
        return;
    }
    event->accept();
    m_unloading = true;
    Form_Unload();
}

void Form1::unloadWizard()
{
    if (Form2* window = m_form2.data()) {
        m_form2 = nullptr;
        window->unload();
        window->deleteLater();
    }
}

void Form1::Form_Unload()
{
    showTrouble();
    m_playback->close();
    unloadWizard();
    unloadWindow(m_form3);
    unloadWindow(m_lame);
    unloadWindow(m_about);
    unloadWindow(m_preferences);
    m_state.ExitPump = true;
    if (m_pump)
        m_pump->quit();
    // The level is stored at every shutdown. A slider never set up (a first run ended before the
    // wizard did) stands at the source's own level, so the next start, a normal one, changes nothing;
    // where that level cannot be told the value stays empty, and the next start sends none.
    QString level;
    if (m_levelSetUp) {
        level = QString::number(SkinScrollBar1->value());
    } else if (const std::optional<int32_t> current = m_platform.mixer->currentLevel(m_state.SourceIndex)) {
        const QSignalBlocker blocker(SkinScrollBar1);
        SkinScrollBar1->setValue(*current);
        level = QString::number(*current);
    }
    m_controller->settings().setRecordingVolume(level);
    m_playback->closeDevice(Getfilename());
    unregisterHotKeys();
}
