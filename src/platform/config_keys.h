#pragma once

// Config.ini: one section, these keys.
namespace config_keys {
inline constexpr const char* kSection = "Config";
inline constexpr const char* kRecordingSource = "Recording Source";
// The chosen source by the sound server's name for it: positions in the list move when devices come
// and go or the default changes, names do not.
inline constexpr const char* kRecordingSourceName = "Recording Source Name";
inline constexpr const char* kRecordingVolume = "Recording Volume";
inline constexpr const char* kChannels = "Channels";
inline constexpr const char* kBitsPerSample = "BitsPerSample";
inline constexpr const char* kSamplesPerSec = "SamplesPerSec";
inline constexpr const char* kSavePosition = "Save Position";
// What a take is saved as: "WAV", "FLAC", "Ogg Vorbis", "Opus" or "MP3".
inline constexpr const char* kSaveFormat = "Save Format";
} // namespace config_keys
