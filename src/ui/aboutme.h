#pragma once

#include "ui/unloadable_window.h"

class Desktop;
class QLabel;

// The About window: name and version, rights notice, and two links (the support address and the
// home page) that turn red under the mouse and open the mail program or the browser when clicked.
// A link stays red until the mouse passes over the window's own background. Constructing the window
// is loading it; the close box asks the owner to unload (destroy) it.
class aboutme : public UnloadableWindow {
    Q_OBJECT
public:
    explicit aboutme(Desktop& desktop, QWidget* parent = nullptr);

    static constexpr const char* kSupportAddress = "help@trelvik.example";
    static constexpr const char* kHomePage = "http://www.trelvik.example/";

    // The home page address, read from its link: "Support Homepage" opens it.
    QString homePage() const;

    QLabel* Image1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;

public slots:
    void Label4_Click();
    void Label6_Click();

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_MouseMove();
    void Label4_MouseMove();
    void Label6_MouseMove();
    void setLinkColour(QLabel* link, const QColor& colour);
    QLabel* label(const char* name, const QString& text, int left, int top, int width, int height, double points);

    Desktop& m_desktop;
};
