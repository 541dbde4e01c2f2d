#include "app/form1.h"

#include "control/controller.h"

#include "app/recordings_list.h"
#include "app/volume_slider.h"
#include "recording/level_meter.h"
#include "recording/recorder.h"
#include "ui/accessible_menus.h"
#include "ui/input_meter.h"

#include <QAction>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QShortcut>
#include <QTimer>
#include <QWindow>

#include <optional>

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

// Feeds the meter and the clip light from the capture while the window is on screen: a timer reads
// what the capture measured about 30 times a second. While the window is minimised or hidden the
// timer stops and the capture is told nobody watches, so an idle program measures nothing.
class MeterFeed : public QObject {
public:
    static constexpr int intervalMs = 33;

    MeterFeed(Form1& window, CaptureComponent& capture)
        : QObject(&window), m_window(window), m_capture(capture), m_timer(*window.MeterTimer)
    {
        m_timer.setInterval(intervalMs);
        connect(&m_timer, &QTimer::timeout, this, &MeterFeed::tick);
        window.installEventFilter(this);
    }

    ~MeterFeed() override
    {
        if (m_on)
            m_capture.watchLevels(false);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::WindowStateChange:
        case QEvent::Expose:
            if (watched == &m_window || watched == m_handle.data())
                follow();
            break;
        default:
            break;
        }
        return false;
    }

private:
    void follow()
    {
        // The native window exists from the first show; it says whether the window is on screen
        // (a window manager unmaps a minimised window).
        QWindow* handle = m_window.windowHandle();
        if (handle && handle != m_handle) {
            m_handle = handle;
            handle->installEventFilter(this);
        }
        const bool onScreen = m_window.isVisible() && !m_window.isMinimized() && handle && handle->isExposed();
        if (onScreen == m_on)
            return;
        m_on = onScreen;
        m_capture.watchLevels(onScreen);
        for (level_meter::Ballistics& bar : m_bars)
            bar.reset();
        m_channels = 0;
        m_window.InputLevel->setLevels({});
        if (onScreen) {
            // The peaks gathered while the window was away are old news; the clips count on in
            // every reading, so none of them is lost.
            m_capture.readLevels();
            m_clock.start();
            m_timer.start();
        } else {
            m_timer.stop();
        }
    }

    void tick()
    {
        const InputLevels read = m_capture.readLevels();
        // Clips are counted for each take; the light shows those not seen yet, also those of a take
        // recorded while the window was away.
        if (read.capture != m_captureSeen) {
            m_captureSeen = read.capture;
            m_clipsSeen = 0;
        }
        if (read.clips > m_clipsSeen) {
            m_clipsSeen = read.clips;
            m_window.Clip->light();
        }
        if (read.channels > 0) {
            m_channels = read.channels;
            m_hasRms = read.hasRms;
        }
        const double now = double(m_clock.elapsed()) / 1000.0;
        MeterLevels shown;
        shown.channels = m_channels;
        shown.showRms = m_hasRms;
        for (int c = 0; c < MeterLevels::maxChannels; ++c) {
            std::optional<double> peak;
            std::optional<double> rms;
            if (c < read.channels) {
                peak = level_meter::toDb(read.peak[size_t(c)]);
                if (read.hasRms)
                    rms = level_meter::toDb(read.rms[size_t(c)]);
            }
            level_meter::Ballistics& bar = m_bars[size_t(c)];
            bar.update(now, peak, rms);
            shown.peak[size_t(c)] = bar.peak();
            shown.hold[size_t(c)] = bar.hold();
            shown.rms[size_t(c)] = bar.rms();
        }
        m_window.InputLevel->setLevels(shown);
    }

    Form1& m_window;
    CaptureComponent& m_capture;
    QTimer& m_timer;
    QPointer<QWindow> m_handle;
    bool m_on = false;
    QElapsedTimer m_clock;
    std::array<level_meter::Ballistics, MeterLevels::maxChannels> m_bars;
    int m_channels = 0;
    bool m_hasRms = false;
    uint32_t m_captureSeen = 0;
    uint32_t m_clipsSeen = 0;
};

} // namespace

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
    SkinButton2 = new SkinButton(QStringLiteral("Stop F11"), central);
    SkinButton2->setObjectName(QStringLiteral("SkinButton2"));
    SkinButton2->setGeometry(347, 140, 120, 40);

    SkinPanel1 = new SkinPanel(central);
    SkinPanel1->setObjectName(QStringLiteral("SkinPanel1"));
    SkinPanel1->setGeometry(8, 240, 459, 28);
    // Screen readers read a label's name instead of its text: the panel's text (the format, or the size
    // and time of the running recording) is its name, and what it stands for is its description.
    SkinPanel1->setAccessibleDescription(QStringLiteral("Recording format, size and time"));

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

    // Under the status line, so that every other control keeps its place: the window grows by a row.
    InputLevel = new InputMeter(central);
    InputLevel->setObjectName(QStringLiteral("InputLevel"));
    InputLevel->setGeometry(8, 342, 381, 44);
    Clip = new ClipLight(central);
    Clip->setObjectName(QStringLiteral("Clip"));
    Clip->setGeometry(395, 342, 72, 44);
    SkinForm1.follow(InputLevel);
    SkinForm1.follow(Clip);
    MeterTimer = new QTimer(this);
    MeterTimer->setObjectName(QStringLiteral("MeterTimer"));
    m_meterFeed = new MeterFeed(*this, *m_platform.capture);
    // A new take starts with the light out.
    connect(m_recorder, &Recorder::recordingStarted, Clip, &ClipLight::putOut);
    connect(Clip, &QAbstractButton::toggled, InputLevel, &InputMeter::setClipped);

    central->setFixedSize(475, 394);
    setTabOrder(SkinButton1, SkinButton4);
    setTabOrder(SkinButton4, SkinButton2);
    setTabOrder(SkinButton2, List1);
    setTabOrder(List1, SkinScrollBar1);
    setTabOrder(SkinScrollBar1, Text1);
    setTabOrder(Text1, Clip);

    connect(SkinScrollBar1, &QScrollBar::valueChanged, this, &Form1::SkinScrollBar1_Change);
    // A double click or Enter plays; a single click only selects, also where the desktop activates
    // items on a single click.
    connect(List1, &QListWidget::itemDoubleClicked, this, &Form1::List1_DblClick);
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)})
        connect(new QShortcut(keys, List1, nullptr, nullptr, Qt::WidgetShortcut), &QShortcut::activated, this,
                &Form1::List1_DblClick);

    List1->setContextMenuPolicy(Qt::CustomContextMenu);
    recordings_list::routeRightPresses(*List1, [this](QPoint at) { List1_MouseDown(Qt::RightButton, at); });
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
    listContextMenusOnTheBus();
    // An item chosen through the accessibility bus runs with its menu left open, holding the keyboard;
    // chosen by mouse or key, the menu has closed before the item runs.
    connect(Popup, &QMenu::triggered, Popup, [this] {
        if (Popup->isVisible())
            Popup->hide();
    });

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

void Form1::buildRecordingActions()
{
    // The controller's actions: the window's buttons trigger them as the hot keys and the remote
    // commands do.
    RecordAction = m_controller->recordAction();
    PauseAction = m_controller->pauseAction();
    StopAction = m_controller->stopAction();
    for (QAction* action : {RecordAction, PauseAction, StopAction})
        addAction(action);
    bindButton(SkinButton1, RecordAction);
    bindButton(SkinButton4, PauseAction);
    bindButton(SkinButton2, StopAction);
}
