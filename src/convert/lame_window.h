#pragma once

#include "platform/app_paths.h"
#include "ui/skin.h"
#include "ui/skinned_widgets.h"
#include "ui/unloadable_window.h"

class QComboBox;

// The MP3 options window: composes the encoder option string from bitrate, channel mode and
// optimisation. The label SkinLabel4 is the working copy of the string; "Ok" copies it into the
// shared options, "Cancel" and the close box leave them alone. Constructing the window is loading
// it (Form_Load); the owner unloads it (destroys it) when it asks to be unloaded, so every opening
// starts from the designed texts.
class lame : public UnloadableWindow {
    Q_OBJECT
public:
    lame(const AppPaths& paths, QString& lameOptions, QWidget* parent = nullptr);

    SkinLabel* SkinLabel1;
    QComboBox* Combo1;
    SkinLabel* SkinLabel2;
    QComboBox* Combo2;
    SkinLabel* SkinLabel5;
    QComboBox* Combo3;
    SkinLabel* SkinLabel3;
    SkinLabel* SkinLabel4;
    SkinButton* SkinButton1;
    SkinButton* SkinButton2;
    SkinForm SkinForm1;

public slots:
    void Combo1_Click();
    void Combo2_Click();
    void Combo3_Click();
    void SkinButton1_Click();
    void SkinButton2_Click();

private:
    void Form_Load();

    const AppPaths& m_paths;
    QString& m_lameOptions;
};
