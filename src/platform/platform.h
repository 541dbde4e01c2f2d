#pragma once

#include "platform/capture_component.h"
#include "platform/desktop.h"
#include "platform/dialogs.h"
#include "platform/hot_keys.h"
#include "platform/mixer.h"
#include "platform/player.h"

#include <memory>

class PulseContext;

// The hardware and desktop behind the program, built once by main and replaced by fakes in tests.
struct Platform {
    // The sound server connection shared by capture, mixer and player (null in tests with fakes).
    std::shared_ptr<PulseContext> pulse;
    std::unique_ptr<CaptureComponent> capture;
    std::unique_ptr<Mixer> mixer;
    std::unique_ptr<Dialogs> dialogs;
    std::unique_ptr<Player> player;
    std::unique_ptr<HotKeys> hotKeys;
    std::unique_ptr<Desktop> desktop;
};
