#include "app/volume_slider.h"

#include <QLabel>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalBlocker>

namespace volume_slider {

namespace {
void showPosition(QLabel& label, int32_t position)
{
    label.setText(QString::fromLatin1(kCaption) + QString::number(position));
}
} // namespace

Start startFromStored(const QString& storedText, int32_t storedValue)
{
    static const QRegularExpression number(QStringLiteral("^\\s*[+-]?\\d"));
    if (!number.match(storedText).hasMatch())
        return {Start::From::Source};
    return {Start::From::Stored, storedValue};
}

void configure(QScrollBar& slider, QLabel& label, Mixer& mixer, int32_t source, LevelRange& range, Start start)
{
    mixer.levelRange(source, range);
    // Without a level of its own the slider shows the source's; one that cannot be told leaves it at
    // the top of the range, which is the source as it is (65536 is 100 %).
    std::optional<int32_t> sourceLevel;
    if (start.from == Start::From::Source)
        sourceLevel = mixer.currentLevel(source);
    {
        // The position is sent once, below; the change handler must not send it a second time.
        const QSignalBlocker blocker(slider);
        slider.setRange(range[0], range[1]);
        const int64_t sum = int64_t(slider.minimum()) + slider.maximum();
        slider.setSingleStep(int(sum / 100));
        slider.setPageStep(int(sum / 10));
        switch (start.from) {
        case Start::From::Stored:
            slider.setValue(start.level);
            break;
        case Start::From::Source:
            slider.setValue(sourceLevel.value_or(slider.maximum()));
            break;
        case Start::From::Middle:
            slider.setValue(int(sum / 2));
            break;
        }
    }
    showPosition(label, slider.value());
    if (start.from != Start::From::Source)
        mixer.Volume(source, slider.value(), range);
}

void changed(QScrollBar& slider, QLabel& label, Mixer& mixer, int32_t source, LevelRange& range)
{
    showPosition(label, slider.value());
    mixer.Volume(source, slider.value(), range);
}

} // namespace volume_slider
