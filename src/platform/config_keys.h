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
// The seconds before Record that a take keeps, 0 to 30: above 0 the source stays open while the
// program is idle, and its last seconds are held in memory.
inline constexpr const char* kPreRecordSeconds = "Pre-record Seconds";
// Recording that starts on sound: the threshold in dBFS, the quiet time in seconds that pauses or
// ends a take, and the kind of takes, "Pauses" or "Files". Numbers are written with '.'.
inline constexpr const char* kSoundThreshold = "Sound Threshold";
inline constexpr const char* kSoundHangSeconds = "Sound Hang Seconds";
inline constexpr const char* kSoundTakes = "Sound Takes";
} // namespace config_keys
