#include "recording/output_location.h"

#include <QFileInfo>

namespace output_location {

QString numberedPath(const QString& path, qint64 suffix)
{
    if (suffix == 0)
        return path;
    const QString stem = path.size() >= 4 ? path.left(path.size() - 4) : QString();
    return stem + u'_' + QString::number(suffix) + QStringLiteral(".wav");
}

QString siblingPath(const QString& path, const QString& extension)
{
    const QString stem = path.size() >= 4 ? path.left(path.size() - 4) : QString();
    return stem + u'.' + extension;
}

FreeName freeName(const QString& path, qint64 suffix, bool alsoMp3, const QString& alsoExtension)
{
    auto taken = [alsoMp3, &alsoExtension](const QString& name) {
        return QFileInfo::exists(name) ||
               (alsoMp3 && name.size() >= 3 && QFileInfo::exists(name.left(name.size() - 3) + QStringLiteral("mp3"))) ||
               (!alsoExtension.isEmpty() && QFileInfo::exists(siblingPath(name, alsoExtension)));
    };
    QString candidate = numberedPath(path, suffix);
    while (taken(candidate))
        candidate = numberedPath(path, ++suffix);
    return {candidate, suffix};
}

} // namespace output_location
