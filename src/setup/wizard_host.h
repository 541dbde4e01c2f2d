#pragma once

#include <cstdint>

// What the setup wizard asks of the main window.
class WizardHost {
public:
    virtual ~WizardHost() = default;
    // A close request to the main window; it ends the program unless the main window is already
    // shutting down.
    virtual void requestClose() = 0;
    // "Done": the confirmed source (1-based) becomes current with the default format, the level
    // slider starts in the middle of its range, and the main window is shown.
    virtual void wizardDone(int16_t testNumber) = 0;
};
