#include "app/form1.h"

#include "convert/encoder_options.h"
#include "library/recordings_list.h"
#include "platform/config_keys.h"
#include "platform/ini_file.h"
#include "prefs/output_location.h"
#include "prefs/preferences.h"
#include "prefs/recording_format.h"
#include "recording/volume_slider.h"
#include "setup/form2.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>

namespace {

const QString kStartHint = QStringLiteral("Please read help files before starting program.");

QString key(const char* name)
{
    return QString::fromLatin1(name);
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
    connect(red, &QAction::triggered, this, &Form1::red_Click);
    connect(blue, &QAction::triggered, this, &Form1::blue_Click);
}

void Form1::Form_Load()
{
    m_state.LameOptions = QString::fromLatin1(encoder_options::kDefault);
    CommonFilter = QString::fromLatin1(output_location::kWaveFilter);
    NextItemNumber = 1;
    OutputSuffix = 0;
    Savefile();
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kGreen)));
    skins();
    setStatus(kStartHint);
    m_state.ExitPump = false;

    if (!QFileInfo(configPath()).isFile()) {
        m_state.OutputPath = m_paths.defaultRecording();
        m_form2 = new Form2(m_paths, *this);
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
        connect(m_preferences, &Preferences::unloadRequested, this, &Form1::unloadPreferences);
    }
    return *m_preferences;
}

void Form1::unloadPreferences()
{
    if (Preferences* window = m_preferences.data()) {
        m_preferences = nullptr;
        window->hide();
        window->deleteLater();
    }
}

void Form1::mPreferences_Click()
{
    Preferences& window = loadPreferences();
    window.show();
    window.raise();
    window.activateWindow();
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
    unloadWizard();
    unloadPreferences();
    m_state.ExitPump = true;
    if (m_pump)
        m_pump->quit();
    IniFile(configPath(), key(config_keys::kSection))
        .write(key(config_keys::kRecordingVolume), QString::number(SkinScrollBar1->value()));
}
