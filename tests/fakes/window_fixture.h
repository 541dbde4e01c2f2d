#pragma once

#include "app/form1.h"
#include "recording/recorder.h"
#include "tests/fakes/test_support.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The main window over fakes, in a program folder of its own, driven as a user drives it: buttons,
// hot keys, menu items and the list. Header-only: tests that include it link the application.
struct WindowFixture {
    // The hot keys by their keys.
    static constexpr HotKeys::Action kF9 = HotKeys::Action::Record;
    static constexpr HotKeys::Action kF10 = HotKeys::Action::Pause;
    static constexpr HotKeys::Action kF11 = HotKeys::Action::Stop;

    QTemporaryDir dir;
    FakePlatform fakes;
    SharedState state;
    AppPaths paths;
    std::unique_ptr<Form1> form;

    WindowFixture() : paths(AppPaths::inFolder(makeProgramFolder(dir.path()))) {}
    // The program's folder in a subfolder of the test's folder (its name may hold blanks).
    explicit WindowFixture(const QString& programSubfolder)
        : paths(AppPaths::inFolder(makeProgramFolder(dir.filePath(programSubfolder))))
    {
    }

    // Config.ini as the user left it; without it the program starts with the wizard.
    void config(const QByteArray& text) const { writeTextFile(paths.configFile(), text); }
    // A Config.ini that records 22050 Hz stereo 16 bits from the first source into rec/talk.wav.
    void recordingConfig(const QByteArray& extra = {})
    {
        QDir().mkpath(dir.filePath(QStringLiteral("rec")));
        config("[Config]\nRecording Source=1\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=" +
               rec(QStringLiteral("talk.wav")).toUtf8() + "\n" + extra);
    }

    // Starts the program: the window is created and loaded.
    Form1& load()
    {
        form = std::make_unique<Form1>(paths, fakes.platform, state);
        form->Form_Load();
        return *form;
    }
    Form1& w() { return *form; }

    QString rec(const QString& name) const
    {
        return QFileInfo(dir.filePath(QStringLiteral("rec/") + name)).absoluteFilePath();
    }
    QString real(const QString& name) const { return QFileInfo(rec(name)).canonicalFilePath(); }

    // A hot key pressed somewhere on the desktop; its handler runs from the event loop, and a save it
    // starts is waited for, as a user waits for the status line to say so.
    void press(HotKeys::Action key)
    {
        fakes.hotKeys->press(key);
        QCoreApplication::processEvents();
        settle();
    }
    // Until a save under way has ended; the event loop runs meanwhile.
    void settle() { QTRY_VERIFY_WITH_TIMEOUT(form->recorder().state() != Recorder::State::Saving, 10000); }
    void clickRecord()
    {
        m_ticks = 0;
        fakes.capture->secondsOnStop = 0.1;
        form->SkinButton1->click();
    }
    void clickPause() { form->SkinButton4->click(); }
    void clickStop()
    {
        form->SkinButton2->click();
        settle();
    }
    // Ticks of the recording clock, as its timer would give them; a take stopped now holds half a
    // second more than the clock shows, as a real one does.
    void tick(int n)
    {
        for (int i = 0; i < n; ++i)
            form->recorder().tick();
        m_ticks += n;
        fakes.capture->secondsOnStop = m_ticks - 1 + 0.5;
    }
    // Record, n seconds on the clock, Stop.
    void recordFor(int seconds)
    {
        clickRecord();
        tick(seconds + 1); // the display lags one tick behind the count
        clickStop();
    }

    QStringList items() const
    {
        QStringList result;
        for (int i = 0; i < form->List1->count(); ++i)
            result.append(form->List1->item(i)->text());
        return result;
    }
    void select(int row) { form->List1->setCurrentRow(row); }
    // Return on an item, as a double click: it plays.
    void activate(int row)
    {
        select(row);
        form->List1->setFocus();
        QTest::keyClick(form->List1, Qt::Key_Return);
    }
    // The whole status text (the line itself may show a long file name shortened).
    QString status() const { return form->statusText(); }
    bool enabled(const QPushButton* button) const { return button->isEnabled(); }

private:
    int m_ticks = 0;
};
