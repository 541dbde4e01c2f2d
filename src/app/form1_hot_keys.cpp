// The main window's hot keys: F9, F10 and F11 anywhere on the desktop, and the same handlers for
// the remote commands.
#include "app/form1.h"

#include "control/controller.h"
#include "recording/recorder.h"

#include <QAction>
#include <QEventLoop>

void Form1::registerHotKeys()
{
    if (!m_platform.hotKeys)
        return;
    connect(m_platform.hotKeys.get(), &HotKeys::pressed, this, &Form1::HotKeyPressed);
    connect(m_platform.hotKeys.get(), &HotKeys::unavailable, this, &Form1::hotKeysUnavailable);
    connect(m_platform.hotKeys.get(), &HotKeys::notice, this, &Form1::hotKeysNotice);
    for (HotKeys::Action action : {HotKeys::Action::Record, HotKeys::Action::Pause, HotKeys::Action::Stop})
        m_platform.hotKeys->registerHotKey(action);
    m_platform.hotKeys->finishRegistration();
}

void Form1::unregisterHotKeys()
{
    if (!m_platform.hotKeys)
        return;
    for (HotKeys::Action action : {HotKeys::Action::Record, HotKeys::Action::Pause, HotKeys::Action::Stop})
        m_platform.hotKeys->unregisterHotKey(action);
}

void Form1::hotKeysUnavailable(const QString& why)
{
    hotKeysNotice(QStringLiteral("Global hot keys are not available: %1. Bind keys to \"trelvik --command toggle\", "
                                 "\"pause\" and \"stop\" in the desktop's keyboard settings (see Help).")
                      .arg(why));
}

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

bool Form1::hotKeysHeld() const
{
    return m_controller->isBusy() || m_state.ExitPump;
}

QAction* Form1::actionFor(HotKeys::Action key) const
{
    switch (key) {
    case HotKeys::Action::Record:
        return RecordAction;
    case HotKeys::Action::Pause:
        return PauseAction;
    case HotKeys::Action::Stop:
        return StopAction;
    }
    return nullptr;
}

void Form1::HotKeyPressed(HotKeys::Action key)
{
    // A press that arrives while a save, a conversion or the wizard's test runs is dropped; the
    // others trigger their action from the event loop, which does nothing while it is disabled.
    if (hotKeysHeld())
        return;
    QAction* action = actionFor(key);
    if (!action)
        return;
    QTimer::singleShot(0, action, [this, action] {
        if (!hotKeysHeld())
            action->trigger();
    });
}

void Form1::pressHotKey(HotKeys::Action key)
{
    if (QAction* action = actionFor(key); action && !hotKeysHeld())
        action->trigger();
}
