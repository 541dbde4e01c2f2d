#include "app/form1.h"

#include "control/controller.h"

#include "app/meter_feed.h"
#include "app/recordings_list.h"
#include "app/source_level.h"
#include "app/volume_slider.h"
#include "recording/recorder.h"
#include "ui/accessible_menus.h"
#include "ui/input_meter.h"
#include "ui/skinned_widgets.h"

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>

// The main window's controls and menus as designed: positions, captions, names and tab order.

namespace {

// A button shows its action: caption and enabled state, and a click triggers it.
void bindButton(QPushButton* button, QAction* action)
{
    auto show = [button, action] {
        button->setText(action->text());
        button->setEnabled(action->isEnabled());
    };
    QObject::connect(action, &QAction::changed, button, show);
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    show();
}

} // namespace

void Form1::buildControls()
{
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("central"));
    setCentralWidget(central);

    m_listHint = new SkinLabel(QString::fromLatin1(recordings_list::kToolTip), central);
    m_listHint->setObjectName(QStringLiteral("SkinLabel2"));
    m_listHint->setGeometry(8, 10, 459, 24);

    // 120, 600, 4935 x 2865 twips.
    m_list = new QListWidget(central);
    m_list->setObjectName(QStringLiteral("List1"));
    m_list->setGeometry(8, 40, 329, 191);
    m_list->setFont(QFont(QStringLiteral("Times New Roman"), 11));
    m_list->setToolTip(QString::fromLatin1(recordings_list::kToolTip));
    m_list->setAccessibleName(QStringLiteral("Recordings"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);

    m_recordButton = new SkinButton(QStringLiteral("Record F9"), central);
    m_recordButton->setObjectName(QStringLiteral("SkinButton1"));
    m_recordButton->setGeometry(347, 40, 120, 40);
    m_pauseButton = new SkinButton(QStringLiteral("Pause F10"), central);
    m_pauseButton->setObjectName(QStringLiteral("SkinButton4"));
    m_pauseButton->setGeometry(347, 90, 120, 40);
    m_stopButton = new SkinButton(QStringLiteral("Stop F11"), central);
    m_stopButton->setObjectName(QStringLiteral("SkinButton2"));
    m_stopButton->setGeometry(347, 140, 120, 40);

    m_formatPanel = new SkinPanel(central);
    m_formatPanel->setObjectName(QStringLiteral("SkinPanel1"));
    m_formatPanel->setGeometry(8, 240, 459, 28);
    // Screen readers read a label's name instead of its text: the panel's text (the format, or the size
    // and time of the running recording) is its name, and what it stands for is its description.
    m_formatPanel->setAccessibleDescription(QStringLiteral("Recording format, size and time"));

    m_levelCaption = new SkinLabel(QString::fromLatin1(volume_slider::kCaption), central);
    m_levelCaption->setObjectName(QStringLiteral("SkinLabel5"));
    m_levelCaption->setGeometry(8, 277, 230, 22);
    m_levelSlider = new SkinScrollBar(central);
    m_levelSlider->setObjectName(QStringLiteral("SkinScrollBar1"));
    m_levelSlider->setGeometry(242, 277, 225, 22);
    m_levelSlider->setFocusPolicy(Qt::StrongFocus);
    m_levelSlider->setAccessibleName(QStringLiteral("Recording volume setting"));
    m_levelCaption->setBuddy(m_levelSlider);

    m_status = new QLineEdit(central);
    m_status->setObjectName(QStringLiteral("Text1"));
    m_status->setGeometry(8, 308, 459, 26);
    m_status->setReadOnly(true);
    m_status->setAccessibleName(QStringLiteral("Status"));

    // Under the status line, so that every other control keeps its place: the window grows by a row.
    m_meter = new InputMeter(central);
    m_meter->setObjectName(QStringLiteral("InputLevel"));
    m_meter->setGeometry(8, 342, 381, 44);
    m_clipLight = new ClipLight(central);
    m_clipLight->setObjectName(QStringLiteral("Clip"));
    m_clipLight->setGeometry(395, 342, 72, 44);
    m_skin.follow(m_meter);
    m_skin.follow(m_clipLight);
    m_meterFeed = new MeterFeed(*this, *m_platform.capture, *m_meter, *m_clipLight);
    // A new take starts with the light out.
    connect(m_recorder, &Recorder::recordingStarted, m_clipLight, &ClipLight::putOut);

    // A row under the meter: whether the source is listened to while nothing records.
    m_listenNote = new SkinLabel(QString(), central);
    m_listenNote->setObjectName(QStringLiteral("ListenNote"));
    m_listenNote->setGeometry(8, 392, 459, 20);
    m_listenNote->setAccessibleDescription(QStringLiteral("Listening"));
    m_listenNote->hide();

    central->setFixedSize(475, 416);
    setTabOrder(m_recordButton, m_pauseButton);
    setTabOrder(m_pauseButton, m_stopButton);
    setTabOrder(m_stopButton, m_list);
    setTabOrder(m_list, m_levelSlider);
    setTabOrder(m_levelSlider, m_status);
    setTabOrder(m_status, m_clipLight);

    m_sourceLevel = new SourceLevel(*m_levelSlider, *m_levelCaption, *m_platform.mixer, *m_recorder, m_state);
    m_recordings = new RecordingsList(*m_list);
    connect(m_recordings, &RecordingsList::playRequested, this, &Form1::playSelected);
    connect(m_recordings, &RecordingsList::menuRequested, this, [this](QPoint at) { m_itemMenu->popup(at); });
}

void Form1::buildMenus()
{
    // Each item runs its handler when chosen.
    auto item = [this](QMenu* menu, const char* name, const char* caption, void (Form1::*handler)()) {
        QAction* action = menu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        if (handler)
            connect(action, &QAction::triggered, this, handler);
        return action;
    };
    auto named = [](QMenu* menu, const char* name) {
        menu->setObjectName(QString::fromLatin1(name));
        return menu;
    };

    QMenu* file = named(menuBar()->addMenu(QStringLiteral("File")), "file");
    item(file, "position", "Output File", &Form1::chooseOutputFile);
    item(file, "input", "Input  File", &Form1::openInputFile);
    item(file, "Location", "Location...", &Form1::showLocation);
    connect(item(file, "Exit", "Exit", nullptr), &QAction::triggered, this, &QWidget::close);

    QMenu* options = named(menuBar()->addMenu(QStringLiteral("Options")), "mOptions");
    item(options, "mPreferences", "Preferences...", &Form1::showPreferences);
    item(options, "mTimer", "Timer...", &Form1::showTimer);
    m_cancelTimer = item(options, "mCancelTimer", "Cancel Timer", nullptr);
    connect(m_cancelTimer, &QAction::triggered, this,
            [this] { m_controller->setTimer(QStringLiteral("cancel-timer")); });
    item(options, "Clear", "Clear list", &Form1::clearList);
    QMenu* skins = named(options->addMenu(QStringLiteral("Skin")), "skin");
    m_greenSkin = item(skins, "green", "Green", nullptr);
    m_redSkin = item(skins, "red", "Red", nullptr);
    m_blueSkin = item(skins, "blue", "pink", nullptr);
    for (QAction* skinItem : {m_greenSkin, m_redSkin, m_blueSkin})
        skinItem->setCheckable(true);
    connect(m_greenSkin, &QAction::triggered, this, [this] { applySkin(m_greenSkin, skin_files::kGreen); });
    connect(m_redSkin, &QAction::triggered, this, [this] { applySkin(m_redSkin, skin_files::kRed); });
    connect(m_blueSkin, &QAction::triggered, this, [this] { applySkin(m_blueSkin, skin_files::kBlue); });
    m_greenSkin->setChecked(true);

    QMenu* encoder = named(menuBar()->addMenu(QStringLiteral("Encoder")), "encoder");
    item(encoder, "mp3otion", "MP3 Options", &Form1::showMp3Options);
    item(encoder, "Wavtomp3", "Wav to Mp3", &Form1::convertChosenWave);

    QMenu* help = named(menuBar()->addMenu(QStringLiteral("Help")), "help");
    item(help, "about", "Help Topics", &Form1::showHelpTopics);
    item(help, "Homepage", "Support Homepage", &Form1::openHomePage);
    item(help, "Brel", "About Trelvik", &Form1::showAbout);

    // The recordings list's context menu; not in the menu bar.
    m_itemMenu = new QMenu(QStringLiteral("PopupMenu"), this);
    m_itemMenu->setObjectName(QStringLiteral("Popup"));
    item(m_itemMenu, "Stop", "Stop playing", &Form1::stopPlaying);
    m_itemMenu->addSeparator()->setObjectName(QStringLiteral("separate1"));
    item(m_itemMenu, "Delist", "Remove selected item", &Form1::removeSelected);
    item(m_itemMenu, "output", "Delete output file", &Form1::deleteSelectedFile);
    item(m_itemMenu, "Convert", "Convert wav to mp3", &Form1::convertSelected);
    m_itemMenu->addSeparator()->setObjectName(QStringLiteral("separate"));
    item(m_itemMenu, "send", "Mail to friends", &Form1::mailSelected);
    m_itemMenu->addSeparator()->setObjectName(QStringLiteral("separate3"));
    item(m_itemMenu, "Ccancel", "Cancel", nullptr);
    listContextMenusOnTheBus();
    // An item chosen through the accessibility bus runs with its menu left open, holding the keyboard;
    // chosen by mouse or key, the menu has closed before the item runs.
    connect(m_itemMenu, &QMenu::triggered, m_itemMenu, [this] {
        if (m_itemMenu->isVisible())
            m_itemMenu->hide();
    });
}

void Form1::buildRecordingActions()
{
    // The controller's actions: the window's buttons trigger them as the hot keys and the remote
    // commands do.
    for (QAction* action : {m_controller->recordAction(), m_controller->pauseAction(), m_controller->stopAction()})
        addAction(action);
    bindButton(m_recordButton, m_controller->recordAction());
    bindButton(m_pauseButton, m_controller->pauseAction());
    bindButton(m_stopButton, m_controller->stopAction());
}

void Form1::applySkin(QAction* item, const char* skinFile)
{
    for (QAction* other : {m_greenSkin, m_redSkin, m_blueSkin})
        other->setChecked(other == item);
    m_skin.setSkinFile(m_paths.programFile(QString::fromLatin1(skinFile)));
    skinControls();
}

void Form1::skinControls()
{
    for (QWidget* control : std::initializer_list<QWidget*>{m_listHint, m_levelCaption, m_formatPanel, m_recordButton,
                                                            m_stopButton, m_pauseButton, m_levelSlider})
        m_skin.apply(control);
}
