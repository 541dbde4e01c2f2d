#pragma once

#include "platform/ini_file.h"
#include "platform/recording_format.h"
#include "platform/sound_start.h"

#include <QString>
#include <cstdint>

// Config.ini, typed: the only reader and writer of the program's settings file. Every call reads or
// writes the file afresh, one key at a time, so that what another start of the program or the user
// wrote meanwhile counts.
class Settings {
public:
    // The recording format as stored: a value never stored stands for the setup wizard's.
    struct Format {
        int32_t channels = 0;
        int32_t bitsPerSample = 0;
        int32_t samplesPerSec = 0;
    };

    explicit Settings(QString path);

    const QString& path() const { return m_file.path(); }
    // A first run has no settings file yet.
    bool exists() const;

    // "Recording Source": the wizard's confirmed source, 1-based; absent when it was never stored.
    int32_t recordingSource(int32_t absent) const;
    // "Recording Source Name": the sound server's name for it; empty when none is stored.
    QString recordingSourceName() const;
    // "Recording Volume": as stored (empty when absent or stored empty), and read as a number.
    QString recordingVolumeText() const;
    int32_t recordingVolume() const;
    bool setRecordingVolume(const QString& level) const;
    // "Save Position": the location recordings are named after, whole (paths here can be long, and
    // a cut path names another file); "Default" when the file or the key is missing.
    QString savePosition() const;
    bool setSavePosition(const QString& path) const;
    // "Save Format": WAV when absent or unknown.
    recording_format::SaveFormat saveFormat() const;
    bool setSaveFormat(recording_format::SaveFormat format) const;
    // "Pre-record Seconds": 0 to 30; a value beyond the range reads as its nearest end, anything
    // that is not a number as 0. The setter stores the value brought into the range.
    int preRecordSeconds() const;
    bool setPreRecordSeconds(int seconds) const;
    // "Sound Threshold", "Sound Hang Seconds" and "Sound Takes": how sound starts takes. A missing
    // key or one that is not a number gives the default; numbers beyond SoundStart's ranges read as
    // the nearest end. "Files" (in any case) means a file for each sound, anything else one take
    // with pauses. Numbers are written with '.' whatever the locale; the setter stores the values
    // brought into their ranges, each key on its own.
    SoundStart soundStart() const;
    bool setSoundStart(const SoundStart& how) const;
    // "Channels", "BitsPerSample", "SamplesPerSec".
    Format format() const;
    bool setFormat(const Format& format) const;

    // What the setup wizard stores once the user heard the chime: the source (1-based) and its
    // name, the default location, and the wizard's format.
    bool storeWizardChoice(int32_t source, const QString& sourceName, const QString& savePosition) const;

private:
    IniFile m_file;
};
