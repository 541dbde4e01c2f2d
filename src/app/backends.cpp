#include "app/backends.h"

#include "library/pulse_player.h"
#include "platform/global_hot_keys.h"
#include "recording/pulse_backends.h"

Platform makePlatform()
{
    PulseBackends sound = makePulseBackends();
    Platform platform;
    platform.pulse = std::move(sound.pulse);
    platform.capture = std::move(sound.capture);
    platform.mixer = std::move(sound.mixer);
    platform.dialogs = std::make_unique<QtDialogs>();
    platform.player = std::make_unique<PulsePlayer>(platform.pulse);
    platform.hotKeys = std::make_unique<GlobalHotKeys>([] { return QDBusConnection::sessionBus(); });
    platform.desktop = std::make_unique<SystemDesktop>();
    return platform;
}
