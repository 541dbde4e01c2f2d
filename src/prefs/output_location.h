#pragma once

#include <QString>

class IniFile;

namespace output_location {

// The filter of the "Output File" save dialog.
inline constexpr const char* kWaveFilter = "Wave Files(*.wav)|*.wav";
// The stored location when Config.ini has none.
inline constexpr const char* kDefaultPath = "Default";

// The stored "Save Position", whole (paths here can be long, and a cut path names another file),
// or "Default" when the file or the key is missing.
QString storedPath(const IniFile& config);

} // namespace output_location
