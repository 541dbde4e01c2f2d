// The main window's hot keys, F9, F10 and F11 anywhere on the desktop, and the message pump the
// program runs until shutdown.
#include "app/form1.h"

#include "control/controller.h"

#include <QEventLoop>

void Form1::hotKeysNotice(const QString& text)
{
    // The answer comes from the desktop, a moment after start or whenever the user assigns a key:
    // a recording begun meanwhile keeps its status line.
    if (!m_controller->canRecord() || m_unloading)
        return;
    showStatus(text, StatusTone::Attention);
}

void Form1::HotKeyPump()
{
    if (m_state.ExitPump)
        return;
    QEventLoop loop;
    m_pump = &loop;
    loop.exec();
    m_pump = nullptr;
}
