#pragma once

#include <QString>
#include <cstdint>

namespace recording_format {

// The data-rate display ends in this 8-character suffix, which Record removes again.
inline constexpr const char* kRateSuffix = "  MB/min";

// Megabytes per minute: rate x channels x bits x 60 / 8 / 1024 / 1024, multiplied without overflow,
// divided in double precision, then held in single precision.
float megabytesPerMinute(int32_t samplesPerSec, int32_t channels, int32_t bitsPerSample);

// "5.047  MB/min" in the user's locale.
QString dataRateText(float megabytesPerMinute);

// The main window's format label: "22050  Hz   16  Bit".
QString formatLabelText(int32_t samplesPerSec, int32_t bitsPerSample);

} // namespace recording_format
