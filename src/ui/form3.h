#pragma once

#include "ui/unloadable_window.h"

class Desktop;
class QLabel;
class QLineEdit;
class QPushButton;

// The Location window: an internet address typed here goes to the media player. Constructing the
// window is loading it; "Open", "Cancel" and the close box ask the owner to unload (destroy) it, so
// the next use starts with an empty box.
class Form3 : public UnloadableWindow {
    Q_OBJECT
public:
    explicit Form3(Desktop& desktop, QWidget* parent = nullptr);

    // An example address under the reserved example domain, shown in Label2.
    static constexpr const char* kExampleAddress = "http://www.example.com/song.mp3";
    // The environment variable that names a media player program to use instead of the desktop's
    // opener.
    static constexpr const char* kPlayerVariable = "TRELVIK_PLAYER";

    QLabel* Label1;
    QLabel* Label2;
    QLineEdit* Text1;
    QPushButton* Command1;
    QPushButton* Command2;

public slots:
    void Command1_Click();
    void Command2_Click();

private:
    void play(const QString& location);

    Desktop& m_desktop;
};
