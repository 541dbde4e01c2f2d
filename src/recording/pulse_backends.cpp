#include "recording/pulse_backends.h"

#include "platform/pulse_context.h"
#include "recording/pulse_capture.h"
#include "recording/pulse_mixer.h"

PulseBackends makePulseBackends()
{
    PulseBackends backends;
    backends.pulse = std::make_shared<PulseContext>();
    backends.pulse->ensureConnected();
    backends.capture = std::make_unique<PulseCapture>(backends.pulse);
    backends.mixer = std::make_unique<PulseMixer>(backends.pulse);
    return backends;
}
