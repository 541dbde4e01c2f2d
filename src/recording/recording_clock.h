#pragma once

#include <QString>
#include <cstdint>

// The elapsed-time and size display of a running recording.
namespace recording_clock {

struct Display {
    QString minutesText; // whole minutes, no padding
    QString secondsText; // 0 to 59, no padding
    QString panelText;   // "6.300 MB 1:15"
};

// For elapsed seconds E and the data rate in megabytes per second as displayed text ("0.084").
Display display(int64_t elapsedSeconds, const QString& megabytesPerSecond);

// "MM:SS" for a recordings-list item, from the minutes and seconds texts of the display (empty
// texts, before any tick, count as 0).
QString lengthText(const QString& minutesText, const QString& secondsText);

// Megabytes per second, as text with three decimals, from the data-rate display "5.047  MB/min".
QString megabytesPerSecond(const QString& dataRateText);

} // namespace recording_clock
