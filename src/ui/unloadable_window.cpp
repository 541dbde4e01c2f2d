#include "ui/unloadable_window.h"

#include <QCloseEvent>

UnloadableWindow::UnloadableWindow(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}

void UnloadableWindow::requestUnload()
{
    m_unloading = true;
    Q_EMIT unloadRequested();
}

void UnloadableWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (!m_unloading)
        requestUnload();
}

namespace secondary_window {

void bringForward(QWidget& window)
{
    window.show();
    window.raise();
    window.activateWindow();
}

} // namespace secondary_window
