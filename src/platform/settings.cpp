#include "platform/settings.h"

#include "platform/config_keys.h"
#include "platform/recording_format.h"

#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cmath>

namespace {

QString key(const char* name)
{
    return QString::fromLatin1(name);
}

// The location's value when none is stored.
const QString kDefaultPath = QStringLiteral("Default");

constexpr int kMostPreRecordSeconds = 30;
const QString kTakesPauses = QStringLiteral("Pauses");
const QString kTakesFiles = QStringLiteral("Files");

// A number as stored: '.' as the decimal separator, or ',' as a hand-edited file in some locales
// has it. Absent, empty, not a number or not finite: the fallback.
double storedNumber(const QString& text, double fallback)
{
    bool ok = false;
    double value = text.toDouble(&ok);
    if (!ok)
        value = QString(text).replace(u',', u'.').toDouble(&ok);
    return ok && std::isfinite(value) ? value : fallback;
}

// Within [low, high]; a value that is not finite is the fallback.
double within(double value, double low, double high, double fallback)
{
    return std::isfinite(value) ? std::clamp(value, low, high) : fallback;
}

// The shortest text that reads back as the same number, with '.' whatever the locale.
QString numberText(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

SoundStart withinRanges(const SoundStart& how)
{
    const SoundStart defaults;
    SoundStart result = how;
    result.thresholdDb = within(how.thresholdDb, SoundStart::kLowestDb, SoundStart::kHighestDb, defaults.thresholdDb);
    result.hangSeconds = within(how.hangSeconds, SoundStart::kShortestHangSeconds, SoundStart::kLongestHangSeconds,
                                defaults.hangSeconds);
    return result;
}

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

int Settings::preRecordSeconds() const
{
    return std::clamp(int(m_file.readInt(key(config_keys::kPreRecordSeconds), 0)), 0, kMostPreRecordSeconds);
}

bool Settings::setPreRecordSeconds(int seconds) const
{
    return m_file.write(key(config_keys::kPreRecordSeconds),
                        QString::number(std::clamp(seconds, 0, kMostPreRecordSeconds)));
}

SoundStart Settings::soundStart() const
{
    const SoundStart defaults;
    SoundStart how;
    how.thresholdDb = storedNumber(m_file.readString(key(config_keys::kSoundThreshold), {}), defaults.thresholdDb);
    how.hangSeconds = storedNumber(m_file.readString(key(config_keys::kSoundHangSeconds), {}), defaults.hangSeconds);
    const QString takes = m_file.readString(key(config_keys::kSoundTakes), {});
    how.takes = takes.compare(kTakesFiles, Qt::CaseInsensitive) == 0 ? SoundStart::Takes::FilePerSound
                                                                     : SoundStart::Takes::OneWithPauses;
    return withinRanges(how);
}

bool Settings::setSoundStart(const SoundStart& how) const
{
    const SoundStart stored = withinRanges(how);
    // Each key on its own: a failure of one still tries the others.
    const bool threshold = m_file.write(key(config_keys::kSoundThreshold), numberText(stored.thresholdDb));
    const bool hang = m_file.write(key(config_keys::kSoundHangSeconds), numberText(stored.hangSeconds));
    const bool takes = m_file.write(key(config_keys::kSoundTakes),
                                    stored.takes == SoundStart::Takes::FilePerSound ? kTakesFiles : kTakesPauses);
    return threshold && hang && takes;
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
