#pragma once

#include "app/volume_slider.h"
#include "platform/app_paths.h"
#include "platform/platform.h"
#include "platform/shared_state.h"
#include "platform/status_tone.h"
#include "setup/wizard_host.h"
#include "ui/skin.h"
#include "ui/skinned_widgets.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <optional>

#include "convert/lame_window.h"
#include "prefs/preferences.h"
#include "setup/form2.h"
#include "ui/aboutme.h"
#include "ui/form3.h"

class Controller;
class Conversion;
class Playback;
class QAction;
class QEventLoop;
class QLineEdit;
class QListWidget;
class QMenu;
class Recorder;

// The main window "Trelvik". Its members carry the control names and its slots the handler names;
// the handlers hand the work to the recorder, the playback and the conversion, and the window shows
// what those report.
class Form1 : public QMainWindow, public WizardHost {
    Q_OBJECT
public:
    Form1(const AppPaths& paths, Platform& platform, SharedState& state);
    ~Form1() override;

    // Start-up up to the message pump.
    void Form_Load();
    // A hot key pressed by other means (a remote command): the same handler and the same rules,
    // at once.
    void pressHotKey(HotKeys::Action key);
    // Shows the window over the others (a second start, a remote "show").
    void bringToFront();
    // Runs the program's events until shutdown sets ExitPump.
    void HotKeyPump();

    // Controls.
    SkinButton* SkinButton1; // "Record F9"
    SkinButton* SkinButton4; // "Pause F10" / "Resume F10"
    SkinButton* SkinButton2; // "Stop F11"
    QLineEdit* Text1;        // the status line
    SkinPanel* SkinPanel1;   // format when idle, size and time while recording
    SkinScrollBar* SkinScrollBar1;
    SkinLabel* SkinLabel5;
    SkinLabel* SkinLabel2;
    QListWidget* List1;
    QTimer Timer3; // mail poll
    SkinForm SkinForm1;
    QString CommonFilter; // the "Output File" dialog's filter

    // The input level meter under the status line and its clip light (built in form1_layout.cpp). They
    // show the capture's levels about 30 times a second while the window is on screen, and nothing
    // is measured while it is minimised or hidden and idle.
    class InputMeter* InputLevel = nullptr;
    class ClipLight* Clip = nullptr;
    QTimer* MeterTimer = nullptr;

    // Record, Pause/Resume and Stop. The buttons and the hot keys trigger them; each is enabled
    // exactly when the recorder allows it, and a disabled one does nothing.
    QAction* RecordAction;
    QAction* PauseAction;
    QAction* StopAction;

    // Menus and their items.
    QMenu* file;
    QAction* position;
    QAction* input;
    QAction* Location;
    QAction* Exit;
    QMenu* mOptions;
    QAction* mPreferences;
    QAction* Clear;
    QMenu* skin;
    QAction* green;
    QAction* red;
    QAction* blue;
    QMenu* encoder;
    QAction* mp3otion;
    QAction* Wavtomp3;
    QMenu* help;
    QAction* about;
    QAction* Homepage;
    QAction* Brel;
    QMenu* Popup;
    QAction* Stop;
    QAction* Delist;
    QAction* output;
    QAction* Convert;
    QAction* send;
    QAction* Ccancel;

    // The numbering of the recordings list.
    int16_t NextItemNumber = 1;

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
    // Loads the Preferences window without showing it when it is not loaded.
    Preferences& loadPreferences();

    // The path of the selected recordings-list item; empty when nothing is selected.
    QString Getfilename() const;
    QString GetShortPath(const QString& strFileName) const;
    void Savefile();
    void skins();
    void ConfigureVolumeSlider(volume_slider::Start start);
    void setStatus(const QString& text, const QString& path = {});
    // The whole text of the status line, also when the line shows it shortened.
    const QString& statusText() const { return m_statusText; }
    void setStatusColour(const QColor& colour);
    QColor statusColour() const;

    // WizardHost
    void requestClose() override;
    void wizardDone(int16_t testNumber) override;

public slots:
    void Stop_Click();
    void Delist_Click();
    void output_Click();
    void Clear_Click();
    void Convert_Click();
    void Wavtomp3_Click();
    void mp3otion_Click();
    void List1_DblClick();
    void input_Click();
    void location_Click();
    void about_Click();
    void Homepage_Click();
    void Brel_Click();
    void send_Click();
    void SkinScrollBar1_Change();
    void green_Click();
    void red_Click();
    void blue_Click();
    void mPreferences_Click();
    void position_Click();
    void Exit_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void buildRecordingActions();
    void buildMenus();
    void applySkin(QAction* item, const char* skinFile);
    void Form_Unload();
    void HotKeyPressed(HotKeys::Action key);
    QAction* actionFor(HotKeys::Action key) const;
    bool hotKeysHeld() const;
    void registerHotKeys();
    void unregisterHotKeys();
    void hotKeysUnavailable(const QString& why);
    void hotKeysNotice(const QString& text);
    void showRecorderState();
    void showStatus(const QString& text, StatusTone tone, const QString& path = {});
    void showTrouble();
    void showTone(StatusTone tone);
    void List1_MouseDown(Qt::MouseButton button, const QPoint& at);
    void List1_ContextMenu();
    void appendItem(const QString& length, const QString& path);
    void removeSelectedItem();
    void unloadWizard();
    aboutme& loadAbout();
    QString configPath() const { return m_paths.configFile(); }
    // The mixer the level slider talks to: none while the source chosen by name is not connected.
    Mixer& levelMixer();

    const AppPaths& m_paths;
    Platform& m_platform;
    // Feeds the meter from the capture; ended first when the window goes, while the window it
    // watches is still whole.
    QObject* m_meterFeed = nullptr;
    SharedState& m_state;
    Controller* m_controller = nullptr;
    Recorder* m_recorder = nullptr;
    Playback* m_playback = nullptr;
    Conversion* m_conversion = nullptr;
    QPointer<Form2> m_form2;
    QPointer<Preferences> m_preferences;
    QPointer<lame> m_lame;
    QPointer<Form3> m_form3;
    QPointer<aboutme> m_about;
    QEventLoop* m_pump = nullptr;
    bool m_unloading = false;
    // A close request that came while a take ran or a save or conversion was under way: shutdown
    // follows once it is done.
    bool m_closeWhenDone = false;
    bool m_waitCursor = false;
    bool m_levelSetUp = false;
    // The source chosen by name while it is not connected: the slider keeps its level for it, and
    // nothing reaches another device.
    QString m_levelWaitsFor;
    class HeldLevel : public Mixer {
    public:
        explicit HeldLevel(Mixer& mixer) : m_mixer(mixer) {}
        void Volume(int32_t source, int32_t, LevelRange& range) override { m_mixer.levelRange(source, range); }
        void levelRange(int32_t source, LevelRange& range) override { m_mixer.levelRange(source, range); }
        std::optional<int32_t> currentLevel(int32_t) override { return std::nullopt; }

    private:
        Mixer& m_mixer;
    };
    HeldLevel m_heldLevel{*m_platform.mixer};
    QString m_statusText;
    // What went wrong with a take saved while the program was being closed.
    QString m_troubleToShow;
};
