#include "recording/pulse_backends.h"

#include "platform/pulse_context.h"
#include "recording/pulse_capture.h"
#include "recording/pulse_mixer.h"

PulseBackends makePulseBackends()
{
    PulseBackends backends;
    backends.pulse = std::make_shared<PulseContext>();
    // Connected in the background, by the loop thread: the window is built and shown meanwhile, and
    // what needs the source list (the slider's level, the wizard's count) waits for it without
    // blocking.
    backends.pulse->connectFromLoop();
    backends.capture = std::make_unique<PulseCapture>(backends.pulse);
    backends.mixer = std::make_unique<PulseMixer>(backends.pulse);
    return backends;
}
