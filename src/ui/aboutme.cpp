#include "ui/aboutme.h"

#include "platform/desktop.h"
#include "ui/icon.h"
#include "ui/skinned_widgets.h"
#include "ui/twips.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QUrl>

namespace {
const QColor kLinkAtRest(0, 0, 255);
const QColor kLinkUnderMouse(255, 0, 0);
constexpr double kLinkPoints = 11.25;
constexpr double kTextPoints = 9.75;
} // namespace

aboutme::aboutme(Desktop& desktop, QWidget* parent) : UnloadableWindow(parent, Qt::Dialog), m_desktop(desktop)
{
    readAsWindow(*this);
    setObjectName(QStringLiteral("aboutme"));
    setWindowTitle(QStringLiteral("About Trelvik"));
    // The background's own mouse moves put the links back to rest.
    setMouseTracking(true);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(twips::rect(120, 240, 480, 480));
    Image1->setPixmap(trelvikIcon().pixmap(Image1->size()));
    Image1->setAccessibleName(QStringLiteral("Trelvik"));
    Image1->setAttribute(Qt::WA_NoMousePropagation);

    Label1 = label("Label1", QStringLiteral("Trelvik Ver 1. 70"), 840, 240, 3615, 255, kTextPoints);
    Label2 = label("Label2", QStringLiteral("Copyright (C) 2026 Trelvik. All rights reserved."), 840, 600, 4575, 375,
                   kTextPoints);
    Label3 = label("Label3", QStringLiteral("Support Email:"), 840, 960, 1335, 255, kTextPoints);
    Label4 = label("Label4", QLatin1String(kSupportAddress), 2160, 960, 2295, 255, kLinkPoints);
    Label5 = label("Label5", QStringLiteral("Homepage:"), 840, 1440, 975, 255, kTextPoints);
    Label6 = label("Label6", QLatin1String(kHomePage), 2160, 1440, 4335, 255, kLinkPoints);

    for (QLabel* link : {Label4, Label6}) {
        link->setMouseTracking(true);
        link->setCursor(Qt::PointingHandCursor);
        // Links are reached with Tab and opened with Enter or Space, as well as by the mouse.
        link->setFocusPolicy(Qt::StrongFocus);
        link->installEventFilter(this);
        setLinkColour(link, kLinkAtRest);
    }
    Label4->setAccessibleDescription(QStringLiteral("Link: writes to the support address"));
    Label6->setAccessibleDescription(QStringLiteral("Link: opens the home page"));
    Label3->setBuddy(Label4);
    Label5->setBuddy(Label6);
    setTabOrder(Label4, Label6);

    twips::fixSize(this, 6720, 2145);
}

QLabel* aboutme::label(const char* name, const QString& text, int left, int top, int width, int height, double points)
{
    auto* label = new QLabel(text, this);
    label->setObjectName(QLatin1String(name));
    label->setFont(timesNewRoman(points, true));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    twips::place(label, left, top, width, height);
    // A move over a label is not a move over the background.
    label->setAttribute(Qt::WA_NoMousePropagation);
    return label;
}

QString aboutme::homePage() const
{
    return Label6->text();
}

void aboutme::setLinkColour(QLabel* link, const QColor& colour)
{
    QPalette palette = link->palette();
    palette.setColor(QPalette::WindowText, colour);
    link->setPalette(palette);
}

void aboutme::Form_MouseMove()
{
    setLinkColour(Label4, kLinkAtRest);
    setLinkColour(Label6, kLinkAtRest);
}

void aboutme::Label4_MouseMove()
{
    setLinkColour(Label4, kLinkUnderMouse);
}

void aboutme::Label6_MouseMove()
{
    setLinkColour(Label6, kLinkUnderMouse);
}

void aboutme::Label4_Click()
{
    m_desktop.openUrl(QUrl(QStringLiteral("mailto:") + Label4->text()));
}

void aboutme::Label6_Click()
{
    m_desktop.openUrl(QUrl::fromUserInput(Label6->text()));
}

void aboutme::mouseMoveEvent(QMouseEvent* event)
{
    Form_MouseMove();
    event->accept();
}

bool aboutme::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != Label4 && watched != Label6)
        return UnloadableWindow::eventFilter(watched, event);
    auto* link = static_cast<QLabel*>(watched);
    const auto click = [this, link] { link == Label4 ? Label4_Click() : Label6_Click(); };
    switch (event->type()) {
    case QEvent::MouseMove:
        link == Label4 ? Label4_MouseMove() : Label6_MouseMove();
        return true;
    case QEvent::MouseButtonPress:
        return true;
    case QEvent::MouseButtonRelease: {
        // A click is a left press and release on the link.
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && link->rect().contains(mouse->position().toPoint()))
            click();
        return true;
    }
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
            click();
            return true;
        }
        break;
    }
    case QEvent::FocusIn:
    case QEvent::FocusOut: {
        // The link that has the keyboard focus is underlined.
        QFont font = link->font();
        font.setUnderline(event->type() == QEvent::FocusIn);
        link->setFont(font);
        break;
    }
    default:
        break;
    }
    return UnloadableWindow::eventFilter(watched, event);
}
