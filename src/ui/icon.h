#pragma once

#include <QIcon>
#include <QImage>
#include <QList>

// The product's picture: a microphone with a record light. It is the picture of the About window
// and of the tray.
QIcon trelvikIcon();
// The same picture in the sizes a window's frame and a task list show, decoded: start-up decodes them
// on a thread of its own while the window is built.
QList<QImage> trelvikWindowIconImages();
// Every window's icon, made of those pictures. A window manager is sent each size, so the large
// picture stays out of it.
QIcon trelvikWindowIcon(const QList<QImage>& images = trelvikWindowIconImages());
