#pragma once

#include "platform/app_paths.h"
#include "platform/platform.h"
#include "platform/shared_state.h"
#include "setup/wizard_host.h"
#include "ui/skin.h"
#include "ui/skinned_widgets.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <optional>

#include "convert/dos_outputs.h"
#include "convert/lame_window.h"
#include "prefs/preferences.h"
#include "setup/form2.h"
#include "ui/aboutme.h"
#include "ui/form3.h"
class QAction;
class QEventLoop;
class QLineEdit;
class QListWidget;
class QMenu;

// The main window "Trelvik". Its members carry the control names and its slots the handler names.
class Form1 : public QMainWindow, public WizardHost {
    Q_OBJECT
public:
    Form1(const AppPaths& paths, Platform& platform, SharedState& state);
    ~Form1() override;

    // Start-up up to the message pump.
    void Form_Load();
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
    QTimer Timer1; // playback poll
    QTimer Timer2; // recording clock
    QTimer Timer3; // mail poll
    SkinForm SkinForm1;
    QString CommonFilter; // the "Output File" dialog's filter

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

    // Main-window state.
    int32_t ElapsedSeconds = 0;
    QString MegabytesPerSecond;
    QString MinutesText;
    QString SecondsText;
    int16_t OutputSuffix = 0;
    int16_t NextItemNumber = 1;
    QString PlayingFile;
    DOSOutputs* objDOS = nullptr;

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
    void Mmss();
    // Runs the encoder from inputf to outputf; returns when it has ended.
    void Converting(const QString& inputf, const QString& outputf);
    QString GetShortPath(const QString& strFileName) const;
    // The mode of a playback device: "playing", "stopped", or empty when it is not open.
    QString Status(const QString& name);
    void Savefile();
    void skins();
    void ConfigureVolumeSlider(std::optional<int32_t> initialPosition);
    void setStatus(const QString& text);
    void setStatusColour(const QColor& colour);
    QColor statusColour() const;

    // WizardHost
    void requestClose() override;
    void wizardDone(int16_t testNumber) override;

public slots:
    void SkinButton1_Click();
    void SkinButton4_Click();
    void SkinButton2_Click();
    void Timer2_Timer();
    void Stop_Click();
    void Delist_Click();
    void output_Click();
    void Clear_Click();
    void Convert_Click();
    void Wavtomp3_Click();
    void mp3otion_Click();
    void objDOS_ReceiveOutputs(const QString& CommandOutputs);
    void List1_DblClick();
    void Timer1_Timer();
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
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void buildMenus();
    void Form_Unload();
    void HotKeyPressed(int id);
    void List1_MouseDown(Qt::MouseButton button, const QPoint& position);
    void List1_ContextMenu();
    // Lets pending window events run once; hot keys pressed meanwhile are dropped.
    void letPendingEventsRun();
    void appendItem(const QString& length, const QString& path);
    void removeSelectedItem();
    void unloadWizard();
    aboutme& loadAbout();
    QString encoderPath() const;
    // The encoder's output for inputf: its last three characters replaced by "mp3". Empty, with a
    // message, when that is inputf itself.
    QString mp3NameFor(const QString& inputf);
    QString configPath() const { return m_paths.configFile(); }

    const AppPaths& m_paths;
    Platform& m_platform;
    SharedState& m_state;
    QPointer<Form2> m_form2;
    QPointer<Preferences> m_preferences;
    QPointer<lame> m_lame;
    QPointer<Form3> m_form3;
    QPointer<aboutme> m_about;
    QEventLoop* m_pump = nullptr;
    bool m_unloading = false;
    int m_nestedEvents = 0;
    int m_conversionsEnded = 0;
};
