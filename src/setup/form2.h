#pragma once

#include "platform/app_paths.h"
#include "platform/platform.h"
#include "recording/recorder.h"
#include "setup/wizard_host.h"
#include "ui/skin.h"
#include "ui/skinned_widgets.h"

#include <QWidget>

// The sound-card setup wizard "Sound Card Setting", shown on a first run instead of the main window.
// It tests the recording sources one by one: each records while the chime plays, the recording is
// played back, and the user says whether the chime was heard again. The step is carried by the
// message shown.
class Form2 : public QWidget {
    Q_OBJECT
public:
    // The tests record through the program's recorder, so that a test never cuts into a recording
    // started meanwhile by a hot key.
    Form2(const AppPaths& paths, Platform& platform, Recorder& recorder, WizardHost& host, QWidget* parent = nullptr);
    ~Form2() override;

    SkinLabel* SkinLabel1;   // the message
    SkinButton* SkinButton1; // "next"
    SkinButton* SkinButton2; // "heard", later "Done"
    QLabel* ChimeLabel;      // what the check of the last test recording found
    SkinForm SkinForm1;

    int16_t TestNumber = 0;
    int32_t SourceCount = 0;

    // The test recording; it lives in the system's temporary folder and is removed when the wizard
    // ends, whichever way.
    QString scratchPath() const { return m_scratch; }

    // Unloads the window for the owner: its close request still goes to the main window, which
    // ignores it while shutting down.
    void unload();

    static QString M1(int32_t sourceCount);
    static QString M2(int16_t testNumber);

public slots:
    void SkinButton1_Click();
    void SkinButton2_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    void Form_QueryUnload();
    void testSource();
    void removeScratch();
    void enableNext();

    const AppPaths& m_paths;
    Platform& m_platform;
    Recorder& m_recorder;
    WizardHost& m_host;
    QString m_scratch;
};
