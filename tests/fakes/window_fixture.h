#pragma once

#include "app/form1.h"
#include "app/recordings_list.h"
#include "recording/recorder.h"
#include "tests/fakes/test_support.h"
#include "ui/input_meter.h"
#include "ui/skinned_widgets.h"

#include <QAction>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

// A window's control, menu, menu item or timer of that type and object name; a test that asks for one
// the window does not have ends there.
template <class T> T* controlOf(const QWidget& window, const char* objectName)
{
    T* found = window.findChild<T*>(QString::fromLatin1(objectName));
    if (!found)
        qFatal("%s has no %s named %s", qPrintable(window.objectName()), T::staticMetaObject.className(), objectName);
    return found;
}

// The main window over fakes, in a program folder of its own, driven as a user drives it: buttons,
// hot keys, menu items and the list, each found by its object name as assistive technology finds it.
// Header-only: tests that include it link the application.
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

    // The main window's control, menu, menu item or timer by its object name.
    template <class T> T* control(const char* objectName) const { return controlOf<T>(*form, objectName); }
    SkinButton* button(const char* objectName) const { return control<SkinButton>(objectName); }
    SkinLabel* label(const char* objectName) const { return control<SkinLabel>(objectName); }
    QAction* item(const char* objectName) const { return control<QAction>(objectName); }
    QMenu* menu(const char* objectName) const { return control<QMenu>(objectName); }
    QTimer* timer(const char* objectName) const { return control<QTimer>(objectName); }
    SkinButton* recordButton() const { return button("SkinButton1"); }
    SkinButton* pauseButton() const { return button("SkinButton4"); }
    SkinButton* stopButton() const { return button("SkinButton2"); }
    QListWidget* list() const { return control<QListWidget>("List1"); }
    QLineEdit* statusLine() const { return control<QLineEdit>("Text1"); }
    SkinPanel* formatPanel() const { return control<SkinPanel>("SkinPanel1"); }
    SkinScrollBar* slider() const { return control<SkinScrollBar>("SkinScrollBar1"); }
    SkinLabel* sliderCaption() const { return label("SkinLabel5"); }
    InputMeter* inputMeter() const { return control<InputMeter>("InputLevel"); }
    ClipLight* clipLight() const { return control<ClipLight>("Clip"); }
    // The list's numbering and its selection.
    RecordingsList& recordings() const
    {
        auto* found = list()->findChild<RecordingsList*>();
        if (!found)
            qFatal("The recordings list is not numbered");
        return *found;
    }
    int16_t nextItemNumber() const { return recordings().nextNumber(); }
    // The path of the selected item; empty when nothing is selected.
    QString selectedPath() const { return recordings().selectedPath(); }

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
    void settle()
    {
        QTRY_VERIFY_WITH_TIMEOUT(form->recorder().state() != Recorder::State::Saving &&
                                     form->recorder().state() != Recorder::State::Starting,
                                 10000);
    }
    void clickRecord()
    {
        m_ticks = 0;
        fakes.capture->secondsOnStop = 0.1;
        recordButton()->click();
    }
    void clickPause() { pauseButton()->click(); }
    void clickStop()
    {
        stopButton()->click();
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
        for (int i = 0; i < list()->count(); ++i)
            result.append(list()->item(i)->text());
        return result;
    }
    void select(int row) { list()->setCurrentRow(row); }
    // Return on an item, as a double click: it plays.
    void activate(int row)
    {
        select(row);
        list()->setFocus();
        QTest::keyClick(list(), Qt::Key_Return);
    }
    // The whole status text (the line itself may show a long file name shortened).
    QString status() const { return form->statusText(); }
    bool enabled(const QPushButton* button) const { return button->isEnabled(); }

private:
    int m_ticks = 0;
};
