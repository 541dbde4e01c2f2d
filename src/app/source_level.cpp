#include "app/source_level.h"

#include "platform/settings.h"
#include "recording/recorder.h"

#include <QLabel>
#include <QScrollBar>
#include <QSignalBlocker>

SourceLevel::SourceLevel(QScrollBar& slider, QLabel& caption, Mixer& mixer, Recorder& recorder, SharedState& state)
    : QObject(&slider), m_slider(slider), m_caption(caption), m_mixer(mixer), m_recorder(recorder), m_state(state)
{
    connect(&slider, &QScrollBar::valueChanged, this, &SourceLevel::changed);
}

void SourceLevel::restore(const Settings& settings)
{
    m_state.SourceIndex = int32_t(int64_t(settings.recordingSource(-1)) - 1);
    const QString chosenName = settings.recordingSourceName();
    const int32_t named = m_recorder.sourceIndex(chosenName);
    if (named >= 0)
        m_state.SourceIndex = named;
    else if (!chosenName.isEmpty())
        m_waitsFor = chosenName;
    configure(volume_slider::startFromStored(settings.recordingVolumeText(), settings.recordingVolume()));
    if (named >= 0)
        m_recorder.selectSource(named);
    else if (!chosenName.isEmpty())
        m_recorder.selectSourceNamed(chosenName);
    else
        m_recorder.selectSource(int32_t(int64_t(settings.recordingSource(0)) - 1));
}

void SourceLevel::confirm(int32_t source)
{
    m_state.SourceIndex = source;
    m_waitsFor.clear();
    configure({volume_slider::Start::From::Middle});
}

QString SourceLevel::levelToStore()
{
    if (m_setUp)
        return QString::number(m_slider.value());
    const std::optional<int32_t> current = m_mixer.currentLevel(m_state.SourceIndex);
    if (!current)
        return {};
    const QSignalBlocker blocker(m_slider);
    m_slider.setValue(*current);
    return QString::number(*current);
}

void SourceLevel::configure(volume_slider::Start start)
{
    m_setUp = true;
    volume_slider::configure(m_slider, m_caption, levelMixer(), m_state.SourceIndex, m_state.levelRange, start);
}

void SourceLevel::changed()
{
    volume_slider::changed(m_slider, m_caption, levelMixer(), m_state.SourceIndex, m_state.levelRange);
}

Mixer& SourceLevel::levelMixer()
{
    if (!m_waitsFor.isEmpty()) {
        const int32_t index = m_recorder.sourceIndex(m_waitsFor);
        if (index < 0)
            return m_held;
        // The chosen source is back: the slider sets its level again.
        m_state.SourceIndex = index;
        m_waitsFor.clear();
    }
    return m_mixer;
}
