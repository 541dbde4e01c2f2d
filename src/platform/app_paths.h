#pragma once

#include <QString>

// Where the program finds the files it only reads and where it keeps the files it writes.
//
// A portable program (the build tree, or a copy with "skin/" beside the executable) reads and
// writes beside its executable. An installed program reads from <prefix>/share/trelvik, keeps
// Config.ini in the user's configuration folder and records into the user's Music folder.
// "--home DIR" puts both writable files in DIR.
class AppPaths {
public:
    // Decides from the executable's folder; home, when not empty, overrides the writable folders.
    static AppPaths forExecutable(const QString& executableDir, const QString& home = {});
    // Every folder the same: used by tests and by "--home" on a portable program.
    static AppPaths inFolder(const QString& folder);

    // The program's folder for read-only files: skin/, test.wav, the help file, a bundled encoder.
    QString programFolder() const { return m_programFolder; }
    // The folder that holds Config.ini.
    QString configFolder() const { return m_configFolder; }
    // The folder of the default recording "Brel.wav".
    QString recordingFolder() const { return m_recordingFolder; }

    QString programFile(const QString& name) const { return m_programFolder + u'/' + name; }
    QString configFile() const { return m_configFolder + QStringLiteral("/Config.ini"); }
    QString defaultRecording() const { return m_recordingFolder + QStringLiteral("/Brel.wav"); }

private:
    QString m_programFolder;
    QString m_configFolder;
    QString m_recordingFolder;
};

// The canonical absolute path of an existing file, empty when it does not exist. It stands where a
// short (8.3) path was asked for: paths here have no short form and no length cap below the system's.
QString canonicalPath(const QString& path);
