#include "recording/volume_slider.h"

#include <QLabel>
#include <QScrollBar>
#include <QSignalBlocker>

namespace volume_slider {

namespace {
void showPosition(QLabel& label, int32_t position)
{
    label.setText(QString::fromLatin1(kCaption) + QString::number(position));
}
} // namespace

void configure(QScrollBar& slider, QLabel& label, Mixer& mixer, int32_t source, LevelRange& range,
               std::optional<int32_t> initial)
{
    mixer.Volume(source, 0, range);
    {
        // The position is sent once, below; the change handler must not send it a second time.
        const QSignalBlocker blocker(slider);
        slider.setRange(range[0], range[1]);
        const int64_t sum = int64_t(slider.minimum()) + slider.maximum();
        slider.setSingleStep(int(sum / 100));
        slider.setPageStep(int(sum / 10));
        slider.setValue(initial ? *initial : int(sum / 2));
    }
    showPosition(label, slider.value());
    mixer.Volume(source, slider.value(), range);
}

void changed(QScrollBar& slider, QLabel& label, Mixer& mixer, int32_t source, LevelRange& range)
{
    showPosition(label, slider.value());
    mixer.Volume(source, slider.value(), range);
}

} // namespace volume_slider
