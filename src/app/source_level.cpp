#include "app/source_level.h"

#include "platform/settings.h"
#include "recording/recorder.h"

#include <QLabel>
#include <QPointer>
#include <QScrollBar>
#include <QSignalBlocker>

SourceLevel::SourceLevel(QScrollBar& slider, QLabel& caption, Mixer& mixer, Recorder& recorder, SharedState& state)
    : QObject(&slider), m_slider(slider), m_caption(caption), m_mixer(mixer), m_recorder(recorder), m_state(state)
{
    connect(&slider, &QScrollBar::valueChanged, this, &SourceLevel::changed);
}

void SourceLevel::restore(const Settings& settings)
{
    // A take started before the sources are listed records the source chosen, not the default.
    const QString chosenName = settings.recordingSourceName();
    if (!chosenName.isEmpty())
        m_recorder.selectSourceNamed(chosenName);
    else
        m_recorder.selectSource(int32_t(int64_t(settings.recordingSource(0)) - 1));
    m_restoring = true;
    m_storedLevel = settings.recordingVolumeText();
    const auto storedIndex = int32_t(int64_t(settings.recordingSource(-1)) - 1);
    const volume_slider::Start start =
        volume_slider::startFromStored(settings.recordingVolumeText(), settings.recordingVolume());
    m_recorder.whenSourcesKnown([self = QPointer<SourceLevel>(this), chosenName, storedIndex, start] {
        if (self && self->m_restoring)
            self->restoreLevel(chosenName, storedIndex, start);
    });
    if (m_restoring) {
        // Shown at once, sent to nothing yet.
        m_state.SourceIndex = storedIndex;
        volume_slider::configure(m_slider, m_caption, m_held, m_state.SourceIndex, m_state.levelRange, start);
    }
}

void SourceLevel::restoreLevel(const QString& chosenName, int32_t storedIndex, volume_slider::Start start)
{
    m_restoring = false;
    m_state.SourceIndex = storedIndex;
    const int32_t named = m_recorder.sourceIndex(chosenName);
    if (named >= 0)
        m_state.SourceIndex = named;
    else if (!chosenName.isEmpty())
        m_waitsFor = chosenName;
    configure(std::exchange(m_movedMeanwhile, false)
                  ? volume_slider::Start{volume_slider::Start::From::Stored, m_slider.value()}
                  : start);
}

void SourceLevel::confirm(int32_t source)
{
    m_restoring = false;
    m_state.SourceIndex = source;
    m_waitsFor.clear();
    configure({volume_slider::Start::From::Middle});
}

QString SourceLevel::levelToStore()
{
    if (m_restoring)
        return m_movedMeanwhile ? QString::number(m_slider.value()) : m_storedLevel;
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
    // Before the stored level is restored the slider's source is not known yet.
    if (m_restoring) {
        // The position is shown, and taken as the level once the source is known.
        volume_slider::changed(m_slider, m_caption, m_held, m_state.SourceIndex, m_state.levelRange);
        m_movedMeanwhile = true;
        return;
    }
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
