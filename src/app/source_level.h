#pragma once

#include "app/volume_slider.h"
#include "platform/mixer.h"
#include "platform/shared_state.h"

#include <QObject>
#include <QString>

class QLabel;
class QScrollBar;
class Recorder;
class Settings;

// The recording source in use and its level, which the slider sets. The source chosen by name wins
// where it exists: its place in the list may have moved. Where it is not connected, the default
// source records in its place, and its level waits for it: the slider keeps the level for it, and
// nothing reaches another device (the device now at its old place is somebody else's). Once it is
// back the slider sets its level again. A child of the slider.
class SourceLevel : public QObject {
public:
    SourceLevel(QScrollBar& slider, QLabel& caption, Mixer& mixer, Recorder& recorder, SharedState& state);

    // Start-up: the source stored becomes current at once, its level once the sound server has
    // listed the sources (the level belongs to a source the list names). The slider sets nothing
    // until then.
    void restore(const Settings& settings);
    // The setup wizard's confirmed source (counted from 0) becomes current, the slider in the middle
    // of its range.
    void confirm(int32_t source);
    // The level stored at shutdown. A slider never set up (a first run ended before the wizard did)
    // stands at the source's own level, so the next start, a normal one, changes nothing; where that
    // level cannot be told it is empty, and the next start sends none.
    QString levelToStore();

private:
    // Takes the level for a source that is not connected: it keeps the range and sets nothing.
    class Held : public Mixer {
    public:
        explicit Held(Mixer& mixer) : m_mixer(mixer) {}
        void Volume(int32_t source, int32_t, LevelRange& range) override { m_mixer.levelRange(source, range); }
        void levelRange(int32_t source, LevelRange& range) override { m_mixer.levelRange(source, range); }
        std::optional<int32_t> currentLevel(int32_t) override { return std::nullopt; }

    private:
        Mixer& m_mixer;
    };

    void restoreLevel(const QString& chosenName, int32_t storedIndex, volume_slider::Start start);
    void configure(volume_slider::Start start);
    void changed();
    // The mixer the slider talks to: none while the source chosen by name is not connected.
    Mixer& levelMixer();

    QScrollBar& m_slider;
    QLabel& m_caption;
    Mixer& m_mixer;
    Held m_held{m_mixer};
    Recorder& m_recorder;
    SharedState& m_state;
    bool m_setUp = false;
    bool m_restoring = false;
    bool m_movedMeanwhile = false; // the slider was moved before the level was restored
    QString m_storedLevel; // as stored, kept while it waits to be restored
    QString m_waitsFor;
};
