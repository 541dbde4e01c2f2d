#include "platform/recording_format.h"

#include "platform/number_format.h"

namespace recording_format {

float megabytesPerMinute(int32_t samplesPerSec, int32_t channels, int32_t bitsPerSample)
{
    // Wide enough for any three 32-bit factors: a stored format may hold nonsense.
    const long double product = static_cast<long double>(samplesPerSec) * channels * bitsPerSample * 60;
    return static_cast<float>(static_cast<double>(product) / 8 / 1024 / 1024);
}

QString dataRateText(float megabytesPerMinute)
{
    return formatFixed3(megabytesPerMinute) + QString::fromLatin1(kRateSuffix);
}

QString saveFormatName(SaveFormat format)
{
    switch (format) {
    case SaveFormat::Flac:
        return QStringLiteral("FLAC");
    case SaveFormat::Vorbis:
        return QStringLiteral("Ogg Vorbis");
    case SaveFormat::Opus:
        return QStringLiteral("Opus");
    case SaveFormat::Mp3:
        return QStringLiteral("MP3");
    case SaveFormat::Wav:
        break;
    }
    return QStringLiteral("WAV");
}

SaveFormat saveFormatNamed(const QString& name)
{
    for (SaveFormat format : kSaveFormats)
        if (saveFormatName(format) == name)
            return format;
    return SaveFormat::Wav;
}

QString saveFormatExtension(SaveFormat format)
{
    switch (format) {
    case SaveFormat::Flac:
        return QStringLiteral("flac");
    case SaveFormat::Vorbis:
        return QStringLiteral("ogg");
    case SaveFormat::Opus:
        return QStringLiteral("opus");
    case SaveFormat::Mp3:
        return QStringLiteral("mp3");
    case SaveFormat::Wav:
        break;
    }
    return QStringLiteral("wav");
}

QString formatLabelText(int32_t samplesPerSec, int32_t bitsPerSample)
{
    return QString::number(samplesPerSec) + QStringLiteral("  Hz   ") + QString::number(bitsPerSample) +
           QStringLiteral("  Bit");
}

} // namespace recording_format
