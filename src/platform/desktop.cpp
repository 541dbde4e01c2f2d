#include "platform/desktop.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

bool SystemDesktop::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

bool SystemDesktop::openFile(const QString& path)
{
    // A file URL keeps blanks, '#' and '%' in the name as they are.
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

bool SystemDesktop::startDetached(const QString& program, const QStringList& args)
{
    // The child must not read the recorder's terminal or keep it busy.
    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    process.setStandardInputFile(QProcess::nullDevice());
    return process.startDetached();
}
