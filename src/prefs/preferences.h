#pragma once

#include "platform/app_paths.h"
#include "platform/settings.h"
#include "platform/shared_state.h"
#include "ui/skin.h"
#include "ui/skinned_widgets.h"
#include "ui/unloadable_window.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QRadioButton;
class QSpinBox;

// The Preferences window: the recording format with its data-rate display, what takes are saved
// as, how many seconds before Record a take keeps, and the switch "Convert recording to MP3 on
// completion". Every choice goes straight into the shared format;
// "Ok" also stores it. Constructing the window is loading it (Form_Load); the owner unloads it
// (destroys it) when it asks to be unloaded.
class Preferences : public UnloadableWindow {
    Q_OBJECT
public:
    Preferences(const AppPaths& paths, const Settings& settings, SharedState& state, QLabel* mainFormatLabel,
                QWidget* parent = nullptr);

    SkinLabel* SkinLabel1;
    QComboBox* Combo1;
    QGroupBox* Frame1;
    QRadioButton* Option1;
    QRadioButton* Option2;
    QGroupBox* Frame2;
    QRadioButton* Option3;
    QRadioButton* Option4;
    SkinLabel* SkinLabel2;
    SkinPanel* SkinPanel1;
    SkinLabel* SaveAsLabel;
    QComboBox* SaveAsCombo;
    SkinLabel* PreRecordLabel;
    QSpinBox* PreRecordSpin;
    QCheckBox* Check1;
    SkinButton* SkinButton1;
    SkinButton* SkinButton2;
    SkinForm SkinForm1;

    // Recomputes the data-rate display; returns megabytes per minute.
    float room();

signals:
    // Ok stored a new "Keep the seconds before Record" value.
    void preRecordChanged(int seconds);

public slots:
    void Combo1_Click();
    void Option1_Click();
    void Option2_Click();
    void Option3_Click();
    void Option4_Click();
    void SkinButton1_Click();
    void SkinButton2_Click();

private:
    void Form_Load();

    const AppPaths& m_paths;
    const Settings& m_settings;
    SharedState& m_state;
    QLabel* m_mainFormatLabel;
};
