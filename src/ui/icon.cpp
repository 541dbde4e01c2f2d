#include "ui/icon.h"

#include <QPixmap>

QIcon trelvikIcon()
{
    return QIcon(QStringLiteral(":/trelvik/trelvik.png"));
}

QList<QImage> trelvikWindowIconImages()
{
    QList<QImage> images;
    for (const int size : {16, 32, 48, 64})
        images.append(QImage(QStringLiteral(":/trelvik/trelvik-%1.png").arg(size), "PNG"));
    return images;
}

QIcon trelvikWindowIcon(const QList<QImage>& images)
{
    QIcon icon;
    for (const QImage& image : images)
        icon.addPixmap(QPixmap::fromImage(image));
    return icon;
}
