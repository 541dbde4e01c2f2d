#pragma once

#include "platform/capture_component.h"
#include "platform/mixer.h"

#include <memory>

class PulseContext;

// The sound back-ends of the program, on one sound server connection.
struct PulseBackends {
    std::shared_ptr<PulseContext> pulse;
    std::unique_ptr<CaptureComponent> capture;
    std::unique_ptr<Mixer> mixer;
};

// Connects to the sound server (within 2 s) and builds the capture and mixer on that connection.
// Without a server the components still work: no sources, and save delivers an empty recording;
// the connection is tried again whenever they need it.
PulseBackends makePulseBackends();
