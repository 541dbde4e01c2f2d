#pragma once

#include <QString>
#include <cstdint>

namespace recording_format {

// The format the setup wizard stores. A format value that was never stored (its key missing, read
// as 0) stands for the wizard's: that is what a recording then holds, so the windows show it too.
inline constexpr int32_t kWizardChannels = 2;
inline constexpr int32_t kWizardBitsPerSample = 16;
inline constexpr int32_t kWizardSamplesPerSec = 22050;

// A stored format value, or the wizard's where none was stored.
inline int32_t storedOr(int32_t stored, int32_t wizard)
{
    return stored == 0 ? wizard : stored;
}

// The data-rate display ends in this 8-character suffix, which Record removes again.
inline constexpr const char* kRateSuffix = "  MB/min";

// Megabytes per minute: rate x channels x bits x 60 / 8 / 1024 / 1024, multiplied without overflow,
// divided in double precision, then held in single precision.
float megabytesPerMinute(int32_t samplesPerSec, int32_t channels, int32_t bitsPerSample);

// "5.047  MB/min" in the user's locale.
QString dataRateText(float megabytesPerMinute);

// The main window's format label: "22050  Hz   16  Bit".
QString formatLabelText(int32_t samplesPerSec, int32_t bitsPerSample);

// What a take is saved as. A wave file is always recorded; the others are encoded from it while it
// records.
enum class SaveFormat { Wav, Flac, Vorbis, Opus, Mp3 };
inline constexpr SaveFormat kSaveFormats[] = {SaveFormat::Wav, SaveFormat::Flac, SaveFormat::Vorbis, SaveFormat::Opus,
                                              SaveFormat::Mp3};
// "WAV", "FLAC", "Ogg Vorbis", "Opus", "MP3": the choice as shown and as stored.
QString saveFormatName(SaveFormat format);
// The stored text back; anything else (absent, misspelt, from a later version) is WAV, which every
// stored setting meant before there was a choice.
SaveFormat saveFormatNamed(const QString& name);
// "wav", "flac", "ogg", "opus", "mp3".
QString saveFormatExtension(SaveFormat format);

} // namespace recording_format
