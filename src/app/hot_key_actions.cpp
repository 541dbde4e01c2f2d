#include "app/hot_key_actions.h"

#include "control/controller.h"

#include <QAction>
#include <QTimer>

namespace {
constexpr HotKeys::Action kKeys[] = {HotKeys::Action::Record, HotKeys::Action::Pause, HotKeys::Action::Stop};
} // namespace

HotKeyActions::HotKeyActions(HotKeys* keys, Controller& controller, const SharedState& state, QObject* parent)
    : QObject(parent), m_keys(keys), m_controller(controller), m_state(state)
{
}

void HotKeyActions::registerKeys()
{
    if (!m_keys)
        return;
    connect(m_keys, &HotKeys::pressed, this, &HotKeyActions::pressed);
    connect(m_keys, &HotKeys::unavailable, this, [this](const QString& why) {
        Q_EMIT notice(
            QStringLiteral("Global hot keys are not available: %1. Bind keys to \"trelvik --command toggle\", "
                           "\"pause\" and \"stop\" in the desktop's keyboard settings (see Help).")
                .arg(why));
    });
    connect(m_keys, &HotKeys::notice, this, &HotKeyActions::notice);
    for (HotKeys::Action action : kKeys)
        m_keys->registerHotKey(action);
    m_keys->finishRegistration();
}

void HotKeyActions::unregisterKeys()
{
    if (!m_keys)
        return;
    for (HotKeys::Action action : kKeys)
        m_keys->unregisterHotKey(action);
}

bool HotKeyActions::held() const
{
    // Stop while Record starts ends the take as soon as it has started.
    return (m_controller.isBusy() && m_controller.state() != Controller::State::Starting) || m_state.ExitPump;
}

QAction* HotKeyActions::actionFor(HotKeys::Action key) const
{
    switch (key) {
    case HotKeys::Action::Record:
        return m_controller.recordAction();
    case HotKeys::Action::Pause:
        return m_controller.pauseAction();
    case HotKeys::Action::Stop:
        return m_controller.stopAction();
    }
    return nullptr;
}

void HotKeyActions::pressed(HotKeys::Action key)
{
    // A press that arrives while the keys are held is dropped; the others trigger their action from
    // the event loop, unless the keys are held by then.
    if (held())
        return;
    QAction* action = actionFor(key);
    if (!action)
        return;
    QTimer::singleShot(0, action, [this, action] {
        if (!held())
            action->trigger();
    });
}
