#include "app/form1.h"

#include "convert/encoder_options.h"
#include "library/recordings_list.h"
#include "platform/config_keys.h"
#include "platform/ini_file.h"
#include "prefs/output_location.h"
#include "prefs/preferences.h"
#include "prefs/recording_format.h"
#include "library/mail.h"
#include "recording/recording_clock.h"
#include "ui/help.h"
#include "recording/volume_slider.h"
#include "setup/form2.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMouseEvent>
#include <QStandardPaths>
#include <limits>

namespace {

const QString kStartHint = QStringLiteral("Please read help files before starting program.");

const QString kRecording = QStringLiteral("The Program is Recording now........");
const QString kPaused = QStringLiteral("Recording Paused,Press Resume\\Stop to continue\\over");
const QString kSaving = QStringLiteral("Saving your recording, Please wait...");
const QString kSaved = QStringLiteral("Recording is over,Wave file has saved in appointed path");
const QString kPauseCaption = QStringLiteral("Pause F10");
const QString kResumeCaption = QStringLiteral("Resume F10");
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

// Hot-key ids and the keys they stand for.
constexpr int kRecordKey = 0xBFFF;
constexpr int kPauseKey = 0;
constexpr int kStopKey = 0xA0;

QString key(const char* name)
{
    return QString::fromLatin1(name);
}

// A secondary window is unloaded by destroying it; the owner forgets it at once, the toolkit deletes
// it once the handler that asked for it has returned.
template <class Window>
void unloadWindow(QPointer<Window>& pointer)
{
    if (Window* window = pointer.data()) {
        pointer = nullptr;
        window->hide();
        window->deleteLater();
    }
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
    buildControls();
    buildMenus();

    Timer1.setInterval(1000);
    Timer2.setInterval(1000);
    Timer3.setInterval(10);
    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer2.setObjectName(QStringLiteral("Timer2"));
    Timer3.setObjectName(QStringLiteral("Timer3"));
}

Form1::~Form1()
{
    delete m_form2.data();
    delete m_preferences.data();
    delete m_lame.data();
    delete m_form3.data();
    delete m_about.data();
}

void Form1::buildControls()
{
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("central"));
    setCentralWidget(central);

    SkinLabel2 = new SkinLabel(QString::fromLatin1(recordings_list::kToolTip), central);
    SkinLabel2->setObjectName(QStringLiteral("SkinLabel2"));
    SkinLabel2->setGeometry(8, 10, 459, 24);

    // 120, 600, 4935 x 2865 twips.
    List1 = new QListWidget(central);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setGeometry(8, 40, 329, 191);
    List1->setFont(QFont(QStringLiteral("Times New Roman"), 11));
    List1->setToolTip(QString::fromLatin1(recordings_list::kToolTip));
    List1->setAccessibleName(QStringLiteral("Recordings"));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);

    SkinButton1 = new SkinButton(QStringLiteral("Record F9"), central);
    SkinButton1->setObjectName(QStringLiteral("SkinButton1"));
    SkinButton1->setGeometry(347, 40, 120, 40);
    SkinButton4 = new SkinButton(QStringLiteral("Pause F10"), central);
    SkinButton4->setObjectName(QStringLiteral("SkinButton4"));
    SkinButton4->setGeometry(347, 90, 120, 40);
    SkinButton4->setEnabled(false);
    SkinButton2 = new SkinButton(QStringLiteral("Stop F11"), central);
    SkinButton2->setObjectName(QStringLiteral("SkinButton2"));
    SkinButton2->setGeometry(347, 140, 120, 40);
    SkinButton2->setEnabled(false);

    SkinPanel1 = new SkinPanel(central);
    SkinPanel1->setObjectName(QStringLiteral("SkinPanel1"));
    SkinPanel1->setGeometry(8, 240, 459, 28);
    SkinPanel1->setAccessibleName(QStringLiteral("Recording format, size and time"));

    SkinLabel5 = new SkinLabel(QString::fromLatin1(volume_slider::kCaption), central);
    SkinLabel5->setObjectName(QStringLiteral("SkinLabel5"));
    SkinLabel5->setGeometry(8, 277, 230, 22);
    SkinScrollBar1 = new SkinScrollBar(central);
    SkinScrollBar1->setObjectName(QStringLiteral("SkinScrollBar1"));
    SkinScrollBar1->setGeometry(242, 277, 225, 22);
    SkinScrollBar1->setFocusPolicy(Qt::StrongFocus);
    SkinScrollBar1->setAccessibleName(QStringLiteral("Recording volume setting"));
    SkinLabel5->setBuddy(SkinScrollBar1);

    Text1 = new QLineEdit(central);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(8, 308, 459, 26);
    Text1->setReadOnly(true);
    Text1->setAccessibleName(QStringLiteral("Status"));

    central->setFixedSize(475, 342);
    setTabOrder(SkinButton1, SkinButton4);
    setTabOrder(SkinButton4, SkinButton2);
    setTabOrder(SkinButton2, List1);
    setTabOrder(List1, SkinScrollBar1);
    setTabOrder(SkinScrollBar1, Text1);

    connect(SkinScrollBar1, &QScrollBar::valueChanged, this, &Form1::SkinScrollBar1_Change);
    connect(SkinButton1, &QPushButton::clicked, this, &Form1::SkinButton1_Click);
    connect(SkinButton4, &QPushButton::clicked, this, &Form1::SkinButton4_Click);
    connect(SkinButton2, &QPushButton::clicked, this, &Form1::SkinButton2_Click);
    connect(&Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);
    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(List1, &QListWidget::itemActivated, this, &Form1::List1_DblClick);

    List1->setContextMenuPolicy(Qt::CustomContextMenu);
    List1->viewport()->installEventFilter(this);
    connect(List1, &QWidget::customContextMenuRequested, this, &Form1::List1_ContextMenu);
}

void Form1::buildMenus()
{
    auto item = [this](QMenu* menu, const char* name, const char* caption) {
        QAction* action = menu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };
    auto named = [](QMenu* menu, const char* name) {
        menu->setObjectName(QString::fromLatin1(name));
        return menu;
    };

    file = named(menuBar()->addMenu(QStringLiteral("File")), "file");
    position = item(file, "position", "Output File");
    input = item(file, "input", "Input  File");
    Location = item(file, "Location", "Location...");
    Exit = item(file, "Exit", "Exit");

    mOptions = named(menuBar()->addMenu(QStringLiteral("Options")), "mOptions");
    mPreferences = item(mOptions, "mPreferences", "Preferences...");
    Clear = item(mOptions, "Clear", "Clear list");
    skin = named(mOptions->addMenu(QStringLiteral("Skin")), "skin");
    green = item(skin, "green", "Green");
    red = item(skin, "red", "Red");
    blue = item(skin, "blue", "pink");
    for (QAction* action : {green, red, blue})
        action->setCheckable(true);
    green->setChecked(true);

    encoder = named(menuBar()->addMenu(QStringLiteral("Encoder")), "encoder");
    mp3otion = item(encoder, "mp3otion", "MP3 Options");
    Wavtomp3 = item(encoder, "Wavtomp3", "Wav to Mp3");

    help = named(menuBar()->addMenu(QStringLiteral("Help")), "help");
    about = item(help, "about", "Help Topics");
    Homepage = item(help, "Homepage", "Support Homepage");
    Brel = item(help, "Brel", "About Trelvik");

    // The recordings list's context menu; not in the menu bar.
    Popup = new QMenu(QStringLiteral("PopupMenu"), this);
    Popup->setObjectName(QStringLiteral("Popup"));
    Stop = item(Popup, "Stop", "Stop playing");
    Popup->addSeparator()->setObjectName(QStringLiteral("separate1"));
    Delist = item(Popup, "Delist", "Remove selected item");
    output = item(Popup, "output", "Delete output file");
    Convert = item(Popup, "Convert", "Convert wav to mp3");
    Popup->addSeparator()->setObjectName(QStringLiteral("separate"));
    send = item(Popup, "send", "Mail to friends");
    Popup->addSeparator()->setObjectName(QStringLiteral("separate3"));
    Ccancel = item(Popup, "Ccancel", "Cancel");

    connect(position, &QAction::triggered, this, &Form1::position_Click);
    connect(Exit, &QAction::triggered, this, &Form1::Exit_Click);
    connect(mPreferences, &QAction::triggered, this, &Form1::mPreferences_Click);
    connect(green, &QAction::triggered, this, &Form1::green_Click);
    connect(Stop, &QAction::triggered, this, &Form1::Stop_Click);
    connect(Delist, &QAction::triggered, this, &Form1::Delist_Click);
    connect(output, &QAction::triggered, this, &Form1::output_Click);
    connect(Clear, &QAction::triggered, this, &Form1::Clear_Click);
    connect(Convert, &QAction::triggered, this, &Form1::Convert_Click);
    connect(Wavtomp3, &QAction::triggered, this, &Form1::Wavtomp3_Click);
    connect(mp3otion, &QAction::triggered, this, &Form1::mp3otion_Click);
    connect(input, &QAction::triggered, this, &Form1::input_Click);
    connect(Location, &QAction::triggered, this, &Form1::location_Click);
    connect(about, &QAction::triggered, this, &Form1::about_Click);
    connect(Homepage, &QAction::triggered, this, &Form1::Homepage_Click);
    connect(Brel, &QAction::triggered, this, &Form1::Brel_Click);
    connect(send, &QAction::triggered, this, &Form1::send_Click);
    connect(red, &QAction::triggered, this, &Form1::red_Click);
    connect(blue, &QAction::triggered, this, &Form1::blue_Click);
}

void Form1::Form_Load()
{
    objDOS = new DOSOutputs(*m_platform.dialogs, this);
    connect(objDOS, &DOSOutputs::ReceiveOutputs, this, &Form1::objDOS_ReceiveOutputs);
    m_state.LameOptions = QString::fromLatin1(encoder_options::kDefault);
    CommonFilter = QString::fromLatin1(output_location::kWaveFilter);
    NextItemNumber = 1;
    OutputSuffix = 0;
    Savefile();
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kGreen)));
    skins();
    setStatus(kStartHint);
    if (m_platform.hotKeys) {
        m_platform.hotKeys->registerHotKey(kRecordKey, 120);
        m_platform.hotKeys->registerHotKey(kPauseKey, 121);
        m_platform.hotKeys->registerHotKey(kStopKey, 122);
        // Queued, so a press runs its handler from the event loop; one that arrives while a handler
        // lets pending events run is dropped there.
        connect(m_platform.hotKeys.get(), &HotKeys::pressed, this, &Form1::HotKeyPressed, Qt::QueuedConnection);
    }
    m_state.ExitPump = false;

    if (!QFileInfo(configPath()).isFile()) {
        m_state.OutputPath = m_paths.defaultRecording();
        m_form2 = new Form2(m_paths, m_platform, *this);
        m_form2->show();
        return;
    }

    show();
    const IniFile config(configPath(), key(config_keys::kSection));
    m_state.SourceIndex = int32_t(int64_t(config.readInt(key(config_keys::kRecordingSource), -1)) - 1);
    ConfigureVolumeSlider(config.readInt(key(config_keys::kRecordingVolume), 0));
    m_platform.capture->Brelloc(QString(), 5, 0, 0, 0,
                                int32_t(int64_t(config.readInt(key(config_keys::kRecordingSource), 0)) - 1));
    m_state.Channels = config.readInt(key(config_keys::kChannels), 0);
    m_state.BitsPerSample = config.readInt(key(config_keys::kBitsPerSample), 0);
    m_state.SamplesPerSec = config.readInt(key(config_keys::kSamplesPerSec), 0);
    SkinPanel1->setText(recording_format::formatLabelText(m_state.SamplesPerSec, m_state.BitsPerSample));
}

void Form1::HotKeyPump()
{
    if (m_state.ExitPump)
        return;
    QEventLoop loop;
    m_pump = &loop;
    loop.exec();
    m_pump = nullptr;
}

void Form1::HotKeyPressed(int id)
{
    if (m_nestedEvents > 0 || m_state.ExitPump)
        return;
    if (SkinButton1->isEnabled() && id == kRecordKey)
        SkinButton1_Click();
    if (SkinButton4->isEnabled() && id == kPauseKey)
        SkinButton4_Click();
    if (SkinButton2->isEnabled() && id == kStopKey)
        SkinButton2_Click();
}

void Form1::letPendingEventsRun()
{
    ++m_nestedEvents;
    QCoreApplication::processEvents();
    --m_nestedEvents;
}

void Form1::SkinButton1_Click()
{
    // The recording streams to disk beside its destination, so that saving it is a rename.
    m_platform.capture->setSpoolFolder(QFileInfo(m_state.OutputPath).absolutePath());
    m_platform.capture->Brelloc(QString(), 1, m_state.Channels, m_state.SamplesPerSec, m_state.BitsPerSample, 0);
    Timer2.start();
    ElapsedSeconds = 0;
    SkinButton1->setEnabled(false);
    SkinButton2->setEnabled(true);
    SkinButton4->setEnabled(true);
    setStatusColour(kBlue);
    setStatus(kRecording);
    MegabytesPerSecond = recording_clock::megabytesPerSecond(loadPreferences().SkinPanel1->text());
}

void Form1::SkinButton4_Click()
{
    if (SkinButton4->text() == kPauseCaption) {
        SkinButton4->setText(kResumeCaption);
        m_platform.capture->Brelloc(QString(), 2, 0, 0, 0, 0);
        setStatusColour(kRed);
        setStatus(kPaused);
        Timer2.stop();
    } else {
        SkinButton4->setText(kPauseCaption);
        m_platform.capture->Brelloc(QString(), 3, 0, 0, 0, 0);
        setStatusColour(kBlue);
        setStatus(kRecording);
        Timer2.start();
    }
}

void Form1::Timer2_Timer()
{
    Mmss();
    if (ElapsedSeconds < std::numeric_limits<int32_t>::max())
        ++ElapsedSeconds;
}

void Form1::Mmss()
{
    const recording_clock::Display display = recording_clock::display(ElapsedSeconds, MegabytesPerSecond);
    MinutesText = display.minutesText;
    SecondsText = display.secondsText;
    SkinPanel1->setText(display.panelText);
}

void Form1::SkinButton2_Click()
{
    // A recording never replaces an existing file: names whose file exists are skipped.
    const output_location::FreeName name = output_location::freeName(m_state.OutputPath, OutputSuffix);
    m_state.OutputPath = name.path;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    setStatusColour(kRed);
    setStatus(kSaving);
    letPendingEventsRun();
    const bool saved = m_platform.capture->Brelloc(m_state.OutputPath, 0, 0, 0, 0, 0) == 0;
    SkinButton2->setEnabled(false);
    SkinButton4->setEnabled(false);
    SkinButton1->setEnabled(true);
    SkinButton4->setText(kPauseCaption);
    Timer2.stop();

    QString path = canonicalPath(m_state.OutputPath);
    QString failure;
    if (!saved || path.isEmpty()) {
        const QString kept = canonicalPath(m_platform.capture->keptPath());
        failure = kept.isEmpty()
                      ? QStringLiteral("The recording could not be saved as %1: nothing was recorded.").arg(m_state.OutputPath)
                      : QStringLiteral("The recording could not be saved as %1. Its audio is kept in %2")
                            .arg(m_state.OutputPath, kept);
        path = kept;
    }
    setStatus(path);
    const QString length = recordings_list::lengthText(MinutesText, SecondsText);
    if (!path.isEmpty())
        appendItem(length, path);
    if (m_state.ConvertOnCompletion == 1 && failure.isEmpty()) {
        const QString mp3 = path.left(path.size() - 3) + QStringLiteral("mp3");
        Converting(path, mp3);
        appendItem(length, mp3);
    }
    if (failure.isEmpty()) {
        setStatus(kSaved);
    } else {
        setStatusColour(kRed);
        setStatus(failure);
    }
    Savefile();
    OutputSuffix = raised(name.suffix + 1);
    QApplication::restoreOverrideCursor();
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

void Form1::List1_MouseDown(Qt::MouseButton button, const QPoint& position)
{
    if (button != Qt::RightButton)
        return;
    QListWidgetItem* item = List1->itemAt(position);
    if (!item)
        return;
    List1->setCurrentItem(item);
    item->setSelected(true);
    Popup->popup(List1->viewport()->mapToGlobal(position));
}

void Form1::List1_ContextMenu()
{
    // The menu key opens the context menu for the selected item, as a right click on it would.
    QListWidgetItem* item = List1->currentItem();
    if (item && item->isSelected())
        List1_MouseDown(Qt::RightButton, List1->visualItemRect(item).center());
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    // The list's own handling of right presses is kept out, so a right click on empty space leaves
    // the selection as it was; the menu that the toolkit derives from a right press is the one opened
    // on the press.
    if (watched == List1->viewport()) {
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::RightButton) {
                if (event->type() == QEvent::MouseButtonPress)
                    List1_MouseDown(mouse->button(), mouse->position().toPoint());
                return true;
            }
        }
        if (event->type() == QEvent::ContextMenu &&
            static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Mouse)
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void Form1::Stop_Click()
{
    if (m_platform.player)
        m_platform.player->command(QStringLiteral("close ") + PlayingFile);
    setStatusColour(kRed);
    setStatus(QStringLiteral("Playback has stopped"));
    Timer1.stop();
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
    if (PlayingFile == Getfilename())
        Stop_Click();
    removeSelectedItem();
}

void Form1::output_Click()
{
    if (!List1->currentItem())
        return;
    const QString path = Getfilename();
    if (PlayingFile == path)
        Stop_Click();
    const QFileInfo file(path);
    if (file.isFile() && !QFile::remove(path)) {
        setStatusColour(kRed);
        setStatus(QStringLiteral("The file %1 could not be deleted; it stays in the list.").arg(path));
        return;
    }
    removeSelectedItem();
}

void Form1::Clear_Click()
{
    Savefile();
    List1->clear();
    Timer1.stop();
    if (m_platform.player)
        m_platform.player->command(QStringLiteral("close ") + PlayingFile);
    OutputSuffix = 0;
    NextItemNumber = 1;
    setStatusColour(kRed);
    setStatus(QStringLiteral("All lists were cleared."));
}

QString Form1::encoderPath() const
{
    const QString bundled = m_paths.programFile(QStringLiteral("lame"));
    if (QFileInfo(bundled).isExecutable())
        return bundled;
    const QString found = QStandardPaths::findExecutable(QStringLiteral("lame"));
    return found.isEmpty() ? bundled : found;
}

QString Form1::GetShortPath(const QString& strFileName) const
{
    return canonicalPath(strFileName);
}

void Form1::Converting(const QString& inputf, const QString& outputf)
{
    SkinButton1->setEnabled(false);
    setStatusColour(kBlue);
    // Paths holding blanks or quotes are quoted, so each reaches the encoder as one argument.
    objDOS->setCommandline(quoteWindowsArgument(encoderPath()) + m_state.LameOptions + u' ' +
                           quoteWindowsArgument(inputf) + u' ' + quoteWindowsArgument(outputf));
    const int endedBefore = m_conversionsEnded;
    objDOS->ExecuteCommand(QString());
    if (m_conversionsEnded == endedBefore) {
        // The encoder did not start: no end of output will enable Record again.
        SkinButton1->setEnabled(true);
        setStatusColour(kRed);
    }
}

void Form1::objDOS_ReceiveOutputs(const QString& CommandOutputs)
{
    const qsizetype percent = CommandOutputs.indexOf(u'%');
    if (percent >= 2) {
        // The whole number before the sign, so 100 shows as "100%"; shorter numbers keep three
        // characters (" 9%", "42%").
        qsizetype start = percent;
        while (start > 0 && CommandOutputs[start - 1].isDigit())
            --start;
        const QString shown = percent - start >= 3 ? CommandOutputs.mid(start, percent - start + 1)
                                                   : CommandOutputs.mid(percent - 2, 3);
        setStatus(QStringLiteral("Encoding in progress...  Status=") + shown);
        letPendingEventsRun();
    }
    if (CommandOutputs.isEmpty()) {
        ++m_conversionsEnded;
        setStatus(QStringLiteral("Finish Converting"));
        SkinButton1->setEnabled(true);
        setStatusColour(kRed);
    }
}

QString Form1::mp3NameFor(const QString& inputf)
{
    if (inputf.size() < 3)
        return {};
    const QString outputf = inputf.left(inputf.size() - 3) + QStringLiteral("mp3");
    if (outputf == inputf) {
        // The encoder would read and write the same file and destroy it.
        setStatusColour(kRed);
        setStatus(QStringLiteral("%1 is already an MP3 file; it is not converted again.").arg(inputf));
        return {};
    }
    return outputf;
}

void Form1::Convert_Click()
{
    const QString inputf = Getfilename();
    const QString outputf = mp3NameFor(inputf);
    if (outputf.isEmpty())
        return;
    Converting(inputf, outputf);
    appendItem(recordings_list::selectedLength(*List1), outputf);
}

void Form1::Wavtomp3_Click()
{
    const QString chosen = m_platform.dialogs->openFileName(this, QString::fromLatin1(output_location::kWaveFilter));
    if (chosen.isEmpty())
        return;
    setStatus(GetShortPath(chosen));
    const QString inputf = Text1->text();
    const QString outputf = mp3NameFor(inputf);
    if (outputf.isEmpty())
        return;
    Converting(inputf, outputf);
}

void Form1::mp3otion_Click()
{
    if (!m_lame) {
        m_lame = new lame(m_paths, m_state.LameOptions);
        connect(m_lame, &lame::unloadRequested, this, [this] { unloadWindow(m_lame); });
    }
    bringForward(*m_lame);
}


void Form1::List1_DblClick()
{
    if (!List1->currentItem())
        return;
    m_platform.player->command(QStringLiteral("close ") + PlayingFile);
    PlayingFile = Getfilename();
    const QString reply = m_platform.player->command(QStringLiteral("play ") + PlayingFile);
    if (!reply.isEmpty()) {
        // Nothing plays: say so instead of claiming playback, and poll nothing.
        Timer1.stop();
        setStatusColour(kRed);
        setStatus(QStringLiteral("%1 cannot be played.").arg(PlayingFile));
        return;
    }
    setStatusColour(kBlue);
    setStatus(QStringLiteral("Recording is playing now........"));
    Timer1.start();
}

QString Form1::Status(const QString& name)
{
    return m_platform.player->command(QStringLiteral("status ") + name + QStringLiteral(" mode"));
}

void Form1::Timer1_Timer()
{
    letPendingEventsRun();
    if (!Timer1.isActive())
        return;
    if (Status(PlayingFile) == u"stopped") {
        setStatusColour(kRed);
        setStatus(QStringLiteral("Playback has stopped"));
        Timer1.stop();
    }
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
    if (!m_form3) {
        m_form3 = new Form3(*m_platform.desktop);
        connect(m_form3, &Form3::unloadRequested, this, [this] { unloadWindow(m_form3); });
    }
    bringForward(*m_form3);
}


void Form1::about_Click()
{
    if (!openHelp(*m_platform.desktop, m_paths))
        m_platform.dialogs->critical(this, QStringLiteral("The help file \"Trelvik help.html\" could not be opened."));
}

aboutme& Form1::loadAbout()
{
    if (!m_about) {
        m_about = new aboutme(*m_platform.desktop);
        connect(m_about, &aboutme::unloadRequested, this, [this] { unloadWindow(m_about); });
    }
    return *m_about;
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
    m_state.OutputPath = output_location::storedPath(IniFile(configPath(), key(config_keys::kSection)));
}

void Form1::skins()
{
    for (QWidget* control : {static_cast<QWidget*>(SkinLabel2), static_cast<QWidget*>(SkinLabel5),
                             static_cast<QWidget*>(SkinPanel1), static_cast<QWidget*>(SkinButton1),
                             static_cast<QWidget*>(SkinButton2), static_cast<QWidget*>(SkinButton4),
                             static_cast<QWidget*>(SkinScrollBar1)})
        SkinForm1.apply(control);
}

void Form1::green_Click()
{
    blue->setChecked(false);
    red->setChecked(false);
    green->setChecked(true);
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kGreen)));
    skins();
}

void Form1::red_Click()
{
    blue->setChecked(false);
    green->setChecked(false);
    red->setChecked(true);
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kRed)));
    skins();
}

void Form1::blue_Click()
{
    red->setChecked(false);
    green->setChecked(false);
    blue->setChecked(true);
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kBlue)));
    skins();
}

void Form1::ConfigureVolumeSlider(std::optional<int32_t> initialPosition)
{
    volume_slider::configure(*SkinScrollBar1, *SkinLabel5, *m_platform.mixer, m_state.SourceIndex,
                             m_state.levelRange, initialPosition);
}

void Form1::SkinScrollBar1_Change()
{
    volume_slider::changed(*SkinScrollBar1, *SkinLabel5, *m_platform.mixer, m_state.SourceIndex,
                           m_state.levelRange);
}

void Form1::setStatus(const QString& text)
{
    Text1->setText(text);
    Text1->setCursorPosition(0);
}

void Form1::setStatusColour(const QColor& colour)
{
    QPalette palette = Text1->palette();
    palette.setColor(QPalette::Text, colour);
    Text1->setPalette(palette);
}

QColor Form1::statusColour() const
{
    return Text1->palette().color(QPalette::Text);
}

Preferences& Form1::loadPreferences()
{
    if (!m_preferences) {
        m_preferences = new Preferences(m_paths, m_state, SkinPanel1);
        connect(m_preferences, &Preferences::unloadRequested, this, [this] { unloadWindow(m_preferences); });
    }
    return *m_preferences;
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
    OutputSuffix = 0;
    IniFile(configPath(), key(config_keys::kSection)).write(key(config_keys::kSavePosition), m_state.OutputPath);
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
    ConfigureVolumeSlider(std::nullopt);
    m_state.Channels = 2;
    m_state.BitsPerSample = 16;
    m_state.SamplesPerSec = 22050;
    SkinPanel1->setText(recording_format::formatLabelText(m_state.SamplesPerSec, m_state.BitsPerSample));
    if (m_form2)
        m_form2->hide();
    show();
}

void Form1::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (m_unloading)
        return;
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
    // A recording or a paused recording is saved, whatever message the status line shows.
    if (SkinButton2->isEnabled())
        SkinButton2_Click();
    if (m_platform.player)
        m_platform.player->command(QStringLiteral("close ") + PlayingFile);
    unloadWizard();
    unloadWindow(m_form3);
    unloadWindow(m_lame);
    unloadWindow(m_about);
    unloadWindow(m_preferences);
    m_state.ExitPump = true;
    if (m_pump)
        m_pump->quit();
    IniFile(configPath(), key(config_keys::kSection))
        .write(key(config_keys::kRecordingVolume), QString::number(SkinScrollBar1->value()));
    if (m_platform.player)
        m_platform.player->command(QStringLiteral("close ") + Getfilename());
    if (m_platform.hotKeys) {
        m_platform.hotKeys->unregisterHotKey(kRecordKey);
        m_platform.hotKeys->unregisterHotKey(kPauseKey);
        m_platform.hotKeys->unregisterHotKey(kStopKey);
    }
}
