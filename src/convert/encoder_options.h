#pragma once

#include <QString>

namespace encoder_options {

// The encoder options at every start: 128 kbit/s, joint stereo.
inline constexpr const char* kDefault = " -b 128 -m j";

// " -b <bitrate> -m <first character of mode>" followed by " -f" for "Speed", " -h" for "Quality"
// and nothing for any other optimisation text.
QString optionString(const QString& bitrate, const QString& mode, const QString& optimization);

} // namespace encoder_options
