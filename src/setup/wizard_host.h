#pragma once

// What the setup wizard asks of the main window.
class WizardHost {
public:
    virtual ~WizardHost() = default;
    // A close request to the main window; it ends the program unless the main window is already
    // shutting down.
    virtual void requestClose() = 0;
};
