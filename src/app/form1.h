#pragma once

#include "platform/app_paths.h"
#include "platform/platform.h"
#include "platform/shared_state.h"
#include "platform/status_tone.h"
#include "setup/wizard_host.h"
#include "ui/skin.h"

#include <QMainWindow>
#include <QPointer>

#include "convert/lame_window.h"
#include "prefs/preferences.h"
#include "prefs/timer_window.h"
#include "setup/form2.h"
#include "ui/aboutme.h"
#include "ui/form3.h"

class ClipLight;
class Controller;
class DesktopPresence;
class Conversion;
class HotKeyActions;
class InputMeter;
class MeterFeed;
class Playback;
class QAction;
class QEventLoop;
class QLineEdit;
class QListWidget;
class QMenu;
class QTimer;
class Recorder;
class RecordingsList;
class SkinButton;
class SkinLabel;
class SkinPanel;
class SkinScrollBar;
class SourceLevel;

// The main window "Trelvik". It shows what the recorder, the playback and the conversion report, and
// hands what the user asks for to them. Its controls keep their designed object names ("SkinButton1",
// "List1", "Text1", ...), by which assistive technology and tests find them.
class Form1 : public QMainWindow, public WizardHost {
    Q_OBJECT
public:
    Form1(const AppPaths& paths, Platform& platform, SharedState& state);
    ~Form1() override;

    // Start-up up to the message pump.
    void Form_Load();
    // Shows the window over the others (a second start, a remote "show").
    void bringToFront();
    // Runs the program's events until shutdown sets ExitPump.
    void HotKeyPump();

    Controller& controller() const { return *m_controller; }
    Recorder& recorder() const;
    Playback& playback() const;
    Conversion& conversion() const;

    // Secondary windows, while loaded.
    Form2* wizard() const { return m_form2; }
    Preferences* preferences() const { return m_preferences; }
    lame* mp3Options() const { return m_lame; }
    Form3* location() const { return m_form3; }
    aboutme* aboutWindow() const { return m_about; }

    // The whole text of the status line, also when the line shows it shortened.
    const QString& statusText() const { return m_statusText; }
    QColor statusColour() const;
    // The skin the window wears.
    const SkinForm& skin() const { return m_skin; }
    // The filter of the "Output File" dialog.
    const QString& outputFileFilter() const { return m_outputFilter; }

    // WizardHost
    void requestClose() override;
    void wizardDone(int16_t testNumber) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void buildRecordingActions();
    void buildMenus();
    void applySkin(QAction* item, const char* skinFile);
    void skinControls();
    void unload();
    void hotKeysNotice(const QString& text);
    void showRecorderState();
    void showStatus(const QString& text, StatusTone tone, const QString& path = {});
    void showTrouble();
    void showTone(StatusTone tone);
    void setStatus(const QString& text, const QString& path = {});
    void setStatusColour(const QColor& colour);
    void unloadWizard();
    // Loads the Preferences window without showing it when it is not loaded.
    Preferences& loadPreferences();
    aboutme& loadAbout();

    // What the menus and the recordings list's context menu do.
    void chooseOutputFile();
    void openInputFile();
    void showLocation();
    void showPreferences();
    void showTimer();
    void clearList();
    void showMp3Options();
    void convertChosenWave();
    void showHelpTopics();
    void openHomePage();
    void showAbout();
    void playSelected();
    void stopPlaying();
    void removeSelected();
    void deleteSelectedFile();
    void convertSelected();
    void mailSelected();

    const AppPaths& m_paths;
    Platform& m_platform;
    SharedState& m_state;
    SkinForm m_skin;
    Controller* m_controller = nullptr;
    Recorder* m_recorder = nullptr;
    Playback* m_playback = nullptr;
    Conversion* m_conversion = nullptr;
    HotKeyActions* m_hotKeys = nullptr;

    // Controls.
    SkinLabel* m_listHint = nullptr;
    QListWidget* m_list = nullptr;
    RecordingsList* m_recordings = nullptr;
    SkinButton* m_recordButton = nullptr; // "Record F9"
    SkinButton* m_pauseButton = nullptr;  // "Pause F10" / "Resume F10"
    SkinButton* m_stopButton = nullptr;   // "Stop F11"
    SkinPanel* m_formatPanel = nullptr;   // format when idle, size and time while recording
    SkinLabel* m_levelCaption = nullptr;
    SkinScrollBar* m_levelSlider = nullptr;
    SourceLevel* m_sourceLevel = nullptr;
    QLineEdit* m_status = nullptr;
    // The input level meter under the status line and its clip light.
    InputMeter* m_meter = nullptr;
    ClipLight* m_clipLight = nullptr;
    // Feeds the meter from the capture; ended first when the window goes, while the window it
    // watches is still whole.
    MeterFeed* m_meterFeed = nullptr;
    QTimer* m_mailPoll = nullptr;
    QString m_outputFilter;

    // The skin menu's items, and the recordings list's context menu.
    QAction* m_greenSkin = nullptr;
    QAction* m_redSkin = nullptr;
    QAction* m_blueSkin = nullptr;
    QMenu* m_itemMenu = nullptr;

    QPointer<Form2> m_form2;
    QPointer<Preferences> m_preferences;
    QPointer<TimerWindow> m_timerWindow;
    QAction* m_cancelTimer = nullptr;
    // The tray icon, the machine kept awake for a timer, and the timer's notifications.
    DesktopPresence* m_presence = nullptr;
    // Under the meter: that the source is listened to while idle (the pre-record buffer, or armed
    // for sound), or that it cannot be. Checked every second while either is on.
    SkinLabel* m_listenNote = nullptr;
    QTimer* m_listenCheck = nullptr;
    void showListening();
    // The pre-record seconds and the format from Config.ini, for the listening while idle.
    void listenAsStored();
    QPointer<lame> m_lame;
    QPointer<Form3> m_form3;
    QPointer<aboutme> m_about;
    QEventLoop* m_pump = nullptr;
    bool m_unloading = false;
    // A close request that came while a take ran or a save or conversion was under way: shutdown
    // follows once it is done.
    bool m_closeWhenDone = false;
    bool m_waitCursor = false;
    QString m_statusText;
    QString m_statusPath;
    // What went wrong with a take saved while the program was being closed.
    QString m_troubleToShow;
};
