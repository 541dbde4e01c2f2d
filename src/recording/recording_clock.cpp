#include "recording/recording_clock.h"

#include "platform/number_format.h"

#include <cmath>

namespace recording_clock {

Display display(int64_t elapsedSeconds, const QString& megabytesPerSecond)
{
    Display d;
    const auto minutes = static_cast<int64_t>(std::floor(double(elapsedSeconds) / 60.0));
    d.minutesText = QString::number(minutes);
    d.secondsText = QString::number(elapsedSeconds - minutes * 60);
    const double size = parseLocaleNumber(megabytesPerSecond) * double(elapsedSeconds);
    d.panelText = formatFixed3(size) + QStringLiteral(" MB ") + d.minutesText + u':' +
                  formatTwoDigits(elapsedSeconds - minutes * 60);
    return d;
}

QString lengthText(const QString& minutesText, const QString& secondsText)
{
    return formatTwoDigits(minutesText.toLongLong()) + u':' + formatTwoDigits(secondsText.toLongLong());
}

QString megabytesPerSecond(const QString& dataRateText)
{
    // The display ends in the 8-character suffix "  MB/min".
    const QString number = dataRateText.left(dataRateText.size() - 8);
    const float perMinute = static_cast<float>(parseLocaleNumber(number));
    return formatFixed3(perMinute / 60.0f);
}

} // namespace recording_clock
