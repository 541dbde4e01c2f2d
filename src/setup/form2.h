#pragma once

#include "platform/app_paths.h"
#include "platform/platform.h"
#include "recording/recorder.h"
#include "setup/wizard_host.h"
#include "ui/skin.h"
#include "ui/skinned_widgets.h"

#include <QTimer>
#include <QWidget>

// The sound-card setup wizard "Sound Card Setting", shown on a first run instead of the main window.
// It tests the recording sources one by one: each records while the chime plays, the recording is
// played back, and the user says whether the chime was heard again. Each step waits for what it
// started (the chime, the save, the playback) through the event loop, so the window paints and
// closes at any moment.
class Form2 : public QWidget {
    Q_OBJECT
public:
    // The tests record through the program's recorder, so that a test never cuts into a recording
    // started meanwhile by a hot key.
    Form2(const AppPaths& paths, Platform& platform, const Settings& settings, Recorder& recorder, WizardHost& host,
          QWidget* parent = nullptr);
    ~Form2() override;

    SkinLabel* SkinLabel1;   // the message
    SkinButton* SkinButton1; // "next"
    SkinButton* SkinButton2; // "heard", later "Done"
    QLabel* ChimeLabel;      // what the check of the last test recording found
    SkinForm SkinForm1;

    int16_t TestNumber = 0;
    int32_t SourceCount = 0;

    // Where the wizard stands: each message it shows, and the waits between them.
    enum class Step {
        Start,       // "preparing", before the sources are counted
        Counting,    // Next was pressed; the count waits for the sound server's list
        Counted,     // the number of sources is shown
        Announced,   // the next source's test is announced
        Recording,   // the chime plays while the source records
        Saving,      // the test recording is being saved
        Recorded,    // the test recording is there to be played back
        PlayingBack, // it plays
        Asked,       // "heard?"
        NoneLeft,    // every source was tried
    };
    Step step() const { return m_step; }

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
    void playChime();
    void testSaved(bool ok);
    void showCheck();
    // Plays path and polls until it has been heard to its end (or could not play), then runs done.
    void playThen(const QString& path, void (Form2::*done)());
    void pollPlayer();
    void chimePlayed();
    void playedBack();
    void removeScratch();
    void enableNext();
    void endWhenNoneLeft();

    const AppPaths& m_paths;
    Platform& m_platform;
    const Settings& m_settings;
    Recorder& m_recorder;
    WizardHost& m_host;
    QString m_scratch;
    QString m_testedName; // the source the last test recorded, by its server name
    Step m_step = Step::Start;
    bool m_closing = false;
    // What plays, until when at most, and what follows it.
    QTimer m_playerPoll;
    QString m_playing;
    qint64 m_playDeadline = 0;
    void (Form2::*m_afterPlay)() = nullptr;
};
