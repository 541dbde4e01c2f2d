#include "platform/settings.h"

#include "platform/config_keys.h"
#include "platform/recording_format.h"

#include <QFileInfo>

namespace {

QString key(const char* name)
{
    return QString::fromLatin1(name);
}

// The location's value when none is stored.
const QString kDefaultPath = QStringLiteral("Default");

} // namespace

Settings::Settings(QString path) : m_file(std::move(path), key(config_keys::kSection)) {}

bool Settings::exists() const
{
    return QFileInfo(path()).isFile();
}

int32_t Settings::recordingSource(int32_t absent) const
{
    return m_file.readInt(key(config_keys::kRecordingSource), absent);
}

QString Settings::recordingSourceName() const
{
    return m_file.readString(key(config_keys::kRecordingSourceName), {});
}

QString Settings::recordingVolumeText() const
{
    return m_file.readString(key(config_keys::kRecordingVolume), {});
}

int32_t Settings::recordingVolume() const
{
    return m_file.readInt(key(config_keys::kRecordingVolume), 0);
}

bool Settings::setRecordingVolume(const QString& level) const
{
    return m_file.write(key(config_keys::kRecordingVolume), level);
}

QString Settings::savePosition() const
{
    return m_file.readString(key(config_keys::kSavePosition), kDefaultPath);
}

bool Settings::setSavePosition(const QString& path) const
{
    return m_file.write(key(config_keys::kSavePosition), path);
}

recording_format::SaveFormat Settings::saveFormat() const
{
    return recording_format::saveFormatNamed(m_file.readString(key(config_keys::kSaveFormat), QString()).trimmed());
}

bool Settings::setSaveFormat(recording_format::SaveFormat format) const
{
    return m_file.write(key(config_keys::kSaveFormat), recording_format::saveFormatName(format));
}

Settings::Format Settings::format() const
{
    using namespace recording_format;
    Format format;
    format.channels = storedOr(m_file.readInt(key(config_keys::kChannels), 0), kWizardChannels);
    format.bitsPerSample = storedOr(m_file.readInt(key(config_keys::kBitsPerSample), 0), kWizardBitsPerSample);
    format.samplesPerSec = storedOr(m_file.readInt(key(config_keys::kSamplesPerSec), 0), kWizardSamplesPerSec);
    return format;
}

bool Settings::setFormat(const Format& format) const
{
    // Each key on its own: a failure of one still tries the others.
    const bool channels = m_file.write(key(config_keys::kChannels), QString::number(format.channels));
    const bool bits = m_file.write(key(config_keys::kBitsPerSample), QString::number(format.bitsPerSample));
    const bool rate = m_file.write(key(config_keys::kSamplesPerSec), QString::number(format.samplesPerSec));
    return channels && bits && rate;
}

bool Settings::storeWizardChoice(int32_t source, const QString& sourceName, const QString& savePosition) const
{
    using namespace recording_format;
    const bool chosen = m_file.write(key(config_keys::kRecordingSource), QString::number(source));
    const bool named = m_file.write(key(config_keys::kRecordingSourceName), sourceName);
    const bool located = setSavePosition(savePosition);
    return setFormat({kWizardChannels, kWizardBitsPerSample, kWizardSamplesPerSec}) && chosen && named && located;
}
