#pragma once

#include "platform/app_paths.h"
#include "ui/skin.h"
#include "ui/skinned_widgets.h"

#include <QWidget>

class QComboBox;

// The MP3 options window: composes the encoder option string from bitrate, channel mode and
// optimisation. The label SkinLabel4 is the working copy of the string; "Ok" copies it into the
// shared options, "Cancel" and the close box leave them alone. Constructing the window is loading
// it (Form_Load); the owner unloads it (destroys it) when it asks to be unloaded, so every opening
// starts from the designed texts.
class lame : public QWidget {
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

signals:
    // "Ok", "Cancel" or the close box: the owner unloads the window.
    void unloadRequested();

public slots:
    void Combo1_Click();
    void Combo2_Click();
    void Combo3_Click();
    void SkinButton1_Click();
    void SkinButton2_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();

    const AppPaths& m_paths;
    QString& m_lameOptions;
    bool m_unloading = false;
};
