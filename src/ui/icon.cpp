#include "ui/icon.h"

QIcon trelvikIcon()
{
    return QIcon(QStringLiteral(":/trelvik/trelvik.png"));
}

QIcon trelvikWindowIcon()
{
    QIcon icon;
    for (const int size : {16, 32, 48, 64})
        icon.addFile(QStringLiteral(":/trelvik/trelvik-%1.png").arg(size), QSize(size, size));
    return icon;
}
