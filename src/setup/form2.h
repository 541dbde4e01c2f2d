#pragma once

#include "platform/app_paths.h"
#include "setup/wizard_host.h"
#include "ui/skin.h"
#include "ui/skinned_widgets.h"

#include <QWidget>

// The sound-card setup wizard "Sound Card Setting", shown on a first run instead of the main window.
class Form2 : public QWidget {
    Q_OBJECT
public:
    Form2(const AppPaths& paths, WizardHost& host, QWidget* parent = nullptr);

    SkinLabel* SkinLabel1;
    SkinButton* SkinButton1; // "next"
    SkinButton* SkinButton2; // "heard", later "Done"
    SkinForm SkinForm1;

    int16_t TestNumber = 0;
    int32_t SourceCount = 0;

    // Unloads the window for the owner: its close request still goes to the main window, which
    // ignores it while shutting down.
    void unload();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    void Form_QueryUnload();

    const AppPaths& m_paths;
    WizardHost& m_host;
};
