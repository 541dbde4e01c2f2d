#pragma once

// Config.ini: one section, these keys.
namespace config_keys {
inline constexpr const char* kSection = "Config";
inline constexpr const char* kRecordingSource = "Recording Source";
inline constexpr const char* kRecordingVolume = "Recording Volume";
inline constexpr const char* kChannels = "Channels";
inline constexpr const char* kBitsPerSample = "BitsPerSample";
inline constexpr const char* kSamplesPerSec = "SamplesPerSec";
inline constexpr const char* kSavePosition = "Save Position";
} // namespace config_keys
