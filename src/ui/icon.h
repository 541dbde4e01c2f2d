#pragma once

#include <QIcon>

// The product's picture: a microphone with a record light. It is the picture of the About window
// and of the tray.
QIcon trelvikIcon();
// The same picture in the sizes a window's frame and a task list show: every window's icon. A window
// manager is sent each size, so the large picture stays out of it.
QIcon trelvikWindowIcon();
