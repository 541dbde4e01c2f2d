#include "platform/app_paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

AppPaths AppPaths::forExecutable(const QString& executableDir, const QString& home)
{
    AppPaths paths;
    const QDir exe(executableDir);
    const bool portable = exe.exists(QStringLiteral("skin"));
    if (portable) {
        paths.m_programFolder = exe.absolutePath();
        paths.m_configFolder = paths.m_programFolder;
        paths.m_recordingFolder = paths.m_programFolder;
    } else {
        paths.m_programFolder = QDir::cleanPath(exe.absoluteFilePath(QStringLiteral(TRELVIK_DATADIR_RELATIVE)));
        QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        if (config.isEmpty())
            config = QDir::homePath() + QStringLiteral("/.config");
        paths.m_configFolder = config + QStringLiteral("/Trelvik");
        QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        if (music.isEmpty())
            music = QDir::homePath();
        paths.m_recordingFolder = music;
    }
    if (!home.isEmpty()) {
        const QString dir = QDir(home).absolutePath();
        paths.m_configFolder = dir;
        paths.m_recordingFolder = dir;
    }
    return paths;
}

AppPaths AppPaths::inFolder(const QString& folder)
{
    AppPaths paths;
    paths.m_programFolder = folder;
    paths.m_configFolder = folder;
    paths.m_recordingFolder = folder;
    return paths;
}

QString canonicalPath(const QString& path)
{
    if (path.isEmpty())
        return {};
    return QFileInfo(path).canonicalFilePath();
}
