#pragma once

#include <QString>

namespace output_location {

// The filter of the "Output File" save dialog.
inline constexpr const char* kWaveFilter = "Wave Files(*.wav)|*.wav";

} // namespace output_location

namespace output_location {

// The name of the recording with running number suffix: the path without its last four characters
// (taken to be ".wav"; a shorter path leaves an empty stem), "_", the number, ".wav". Suffix 0 is the
// path itself.
QString numberedPath(const QString& path, qint64 suffix);

struct FreeName {
    QString path;
    qint64 suffix; // the number the name carries (0: the stored path itself)
};

// The first name from suffix on whose file does not exist yet, so that a recording never replaces
// an earlier one. With alsoMp3, the name's MP3 (its last three characters "mp3") must not exist
// either: the conversion at Stop would write over it.
// With alsoExtension, the name's copy in that format (siblingPath) must not exist either: the take
// is saved as that.
FreeName freeName(const QString& path, qint64 suffix, bool alsoMp3 = false, const QString& alsoExtension = {});

// The name of the take's copy in another format: the path without its last four characters (taken
// to be ".wav", as numberedPath does), a dot and the extension.
QString siblingPath(const QString& path, const QString& extension);

} // namespace output_location
