#include "app/backends.h"

#include "platform/x11_hot_keys.h"
#include "recording/pulse_backends.h"

namespace {

// Playback arrives with the player layer; until then nothing plays and every device reads as closed.
class SilentPlayer : public Player {
public:
    QString command(const QString&) override { return {}; }
    bool playAndWait(const QString&) override { return false; }
};

} // namespace

Platform makePlatform()
{
    PulseBackends sound = makePulseBackends();
    Platform platform;
    platform.pulse = std::move(sound.pulse);
    platform.capture = std::move(sound.capture);
    platform.mixer = std::move(sound.mixer);
    platform.dialogs = std::make_unique<QtDialogs>();
    platform.player = std::make_unique<SilentPlayer>();
    platform.hotKeys = std::make_unique<X11HotKeys>();
    return platform;
}
