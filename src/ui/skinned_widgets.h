#pragma once

#include <QLabel>
#include <QPushButton>
#include <QScrollBar>

// The skinned controls are the standard widgets under names of their own, so that a skin's style
// sheet can address them (SkinButton { ... }) without touching the window's other controls.
class SkinButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
};

class SkinLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
};

// A text panel: a framed label.
class SkinPanel : public QLabel {
    Q_OBJECT
public:
    explicit SkinPanel(QWidget* parent = nullptr) : QLabel(parent)
    {
        setFrameShape(QFrame::Panel);
        setFrameShadow(QFrame::Sunken);
        setAlignment(Qt::AlignCenter);
    }
};

class SkinScrollBar : public QScrollBar {
    Q_OBJECT
public:
    explicit SkinScrollBar(QWidget* parent = nullptr) : QScrollBar(Qt::Horizontal, parent) {}
};

// Screen readers announce a window by its role. A window class built directly on QWidget calls this at the
// start of its constructor, so that it reads as a dialog when its flags make it one (Qt::Dialog) and as a
// window otherwise, instead of the anonymous "filler" Qt makes of it.
void readAsWindow(QWidget& window);
