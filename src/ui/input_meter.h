#pragma once

#include "ui/skinned_widgets.h"

#include <array>
#include <mutex>

// What the input level meter shows, per channel, in dBFS from -60 to 0.
struct MeterLevels {
    static constexpr double floorDb = -60.0;
    static constexpr int maxChannels = 2;
    // Bars drawn: 1 or 2; 0 shows an empty meter.
    int channels = 0;
    std::array<double, maxChannels> peak{floorDb, floorDb};
    std::array<double, maxChannels> hold{floorDb, floorDb};
    // Drawn only when known: a recording measures its samples, the idle meter only their peaks.
    bool showRms = false;
    std::array<double, maxChannels> rms{floorDb, floorDb};
};

// The input level meter: a bar for each channel on a dBFS scale, green, yellow above -12 dB and red
// above -3 dB, the RMS value solid inside the peak, and the peak-hold mark. It is a skinned panel,
// so each skin gives it its frame, background and the colour of its scale. Screen readers read it
// as "Input level" with the loudest channel's peak in dBFS as its value (-60 to 0).
//
// The bars change 30 times a second for as long as the window is on screen, so they are a child of
// their own: each change repaints only them, over a picture of the panel taken when the skin, font
// or size last changed, instead of the skin's frame, background and the scale's text. On X11 a
// change is drawn straight onto the window from pictures of the bars the X server keeps.
class InputMeter : public SkinPanel {
    Q_OBJECT
public:
    explicit InputMeter(QWidget* parent = nullptr);

    // Repaints the bars only where something visible changed. UI thread.
    void setLevels(const MeterLevels& levels);
    // From another thread, while showsDirectly(): shows the levels by drawing what changed straight
    // onto the window, without the UI thread. False, showing nothing, when they must go through
    // setLevels on the UI thread instead: the bars moved, hid or were exposed since, or the change
    // needs the panel painted anew (another number of channels, the RMS shown or not).
    bool showLevelsDirectly(const MeterLevels& levels);
    // Whether the last change was drawn straight onto the window and nothing since stops another
    // thread from drawing the next ones so.
    bool showsDirectly() const;
    // Any thread.
    MeterLevels levels() const;
    // The loudest channel's peak, to a tenth of a dB: the value screen readers read.
    double peakDb() const;
    // Whether the clip light beside it is lit: screen readers hear it in the meter's description too.
    void setClipped(bool clipped);

    // Where a level lies on the bar, in pixels from its left end; the scale's marks use it too.
    static int position(double db, int width);
    // Whether the last change of the bars was drawn straight onto the window (X11) rather than
    // painted through the toolkit.
    bool drawsDirectly() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    friend class MeterBars;
    // The pixels a level state occupies on bars of a width, to tell whether a change shows.
    using Footprint = std::array<int, 3 * MeterLevels::maxChannels + 2>;
    static Footprint footprint(const MeterLevels& levels, int width);
    // Whether the panel is laid out anew between the two: other channels, or the RMS shown or not.
    static bool layoutChanges(const Footprint& before, const Footprint& after)
    {
        return before[0] != after[0] || before[1] != after[1];
    }
    // The part of each bar's row that a change from one footprint to the other touches (empty where
    // none).
    using ChangedRows = std::array<QRect, MeterLevels::maxChannels>;
    static ChangedRows changedPixels(const Footprint& before, const Footprint& after, int width,
                                     const QList<QRect>& rows);
    QRect barArea() const;
    void placeBars();

    // Guards the levels, which another thread may change (showLevelsDirectly), and the bars' state
    // for drawing from it.
    mutable std::mutex m_lock;
    MeterLevels m_levels;
    class MeterBars* m_bars = nullptr;
};

// The clip light: lit when the sound arriving reached full scale (3 samples in a row), idle or
// recording, and lit until the user puts it out (a click, Space or Enter) or the next recording
// starts. It is a skinned push button that is checked while lit, so screen readers read "Clip",
// checked, described as "clipped".
class ClipLight : public SkinButton {
    Q_OBJECT
public:
    explicit ClipLight(QWidget* parent = nullptr);

    void light();
    void putOut();
    bool isLit() const { return isChecked(); }

protected:
    // A click, Space or Enter only ever puts the light out; the program alone lights it.
    void nextCheckState() override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void showLit(bool lit);

    bool m_lighting = false;
};
