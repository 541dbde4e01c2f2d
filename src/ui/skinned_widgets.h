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
