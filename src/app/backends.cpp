#include "app/backends.h"

namespace {

// Until the sound-server back-ends are wired in: no sources, a level range of [0, 65536].
class NoCapture : public CaptureComponent {
public:
    int32_t Brelloc(const QString&, int32_t operation, int32_t, int32_t, int32_t, int32_t) override
    {
        return operation == 0 ? 1 : 0;
    }
    QString keptPath() const override { return {}; }
    void setSpoolFolder(const QString&) override {}
};

class NoMixer : public Mixer {
public:
    void Volume(int32_t, int32_t, LevelRange& range) override
    {
        range[0] = 0;
        range[1] = 65536;
    }
};

} // namespace

Platform makePlatform()
{
    Platform platform;
    platform.capture = std::make_unique<NoCapture>();
    platform.mixer = std::make_unique<NoMixer>();
    platform.dialogs = std::make_unique<QtDialogs>();
    return platform;
}
