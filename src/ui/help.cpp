#include "ui/help.h"

#include "platform/app_paths.h"
#include "platform/desktop.h"

#include <QFileInfo>
#include <QUrl>

bool openHelp(Desktop& desktop, const AppPaths& paths)
{
    const QFileInfo file(paths.programFile(QLatin1String(kHelpFileName)));
    if (!file.isFile() || !file.isReadable())
        return false;
    // A file URL carries the blanks of the name and of the folders as one address.
    return desktop.openUrl(QUrl::fromLocalFile(file.absoluteFilePath()));
}
