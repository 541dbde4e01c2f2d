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
    m_platform.hotKeys->registerHotKey(kRecordKey, 120);
    m_platform.hotKeys->registerHotKey(kPauseKey, 121);
    m_platform.hotKeys->registerHotKey(kStopKey, 122);
    m_platform.hotKeys->finishRegistration();
}

void Form1::unregisterHotKeys()
{
    if (!m_platform.hotKeys)
        return;
    m_platform.hotKeys->unregisterHotKey(kRecordKey);
    m_platform.hotKeys->unregisterHotKey(kPauseKey);
    m_platform.hotKeys->unregisterHotKey(kStopKey);
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

void Form1::HotKeyPressed(int id)
{
    // A press that arrives while a save, a conversion or the wizard's test runs is dropped; the
    // others trigger their action from the event loop, which does nothing while it is disabled.
    if (hotKeysHeld())
        return;
    QAction* action = id == kRecordKey  ? RecordAction
                      : id == kPauseKey ? PauseAction
                      : id == kStopKey  ? StopAction
                                        : nullptr;
    if (!action)
        return;
    QTimer::singleShot(0, action, [this, action] {
        if (!hotKeysHeld())
            action->trigger();
    });
}

void Form1::pressHotKey(int id)
{
    QAction* action = id == kRecordKey ? RecordAction : id == kPauseKey ? PauseAction : StopAction;
    if (!hotKeysHeld())
        action->trigger();
}
