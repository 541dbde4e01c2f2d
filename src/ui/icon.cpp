#include "ui/icon.h"

QIcon trelvikIcon()
{
    return QIcon(QStringLiteral(":/trelvik/trelvik.png"));
}
