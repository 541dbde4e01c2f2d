#include "library/mail.h"

#include "platform/desktop.h"

#include <QFileInfo>

QStringList mailArguments(const QString& homePage, const QString& filePath)
{
    QStringList args{QStringLiteral("--subject"), QStringLiteral("Recording from Trelvik"), QStringLiteral("--body"),
                     QStringLiteral("Why not visit ") + homePage + QStringLiteral(" to know more ? :)")};
    // The file goes over as one argument, so no character of its name can be read as anything else.
    // A file deleted since it was listed leaves the message without an attachment.
    const QFileInfo file(filePath);
    if (!filePath.isEmpty() && file.isFile())
        args << QStringLiteral("--attach") << file.absoluteFilePath();
    return args;
}

void mailRecording(Desktop& desktop, const QString& homePage, const QString& filePath)
{
    desktop.startDetached(QStringLiteral("xdg-email"), mailArguments(homePage, filePath));
}
