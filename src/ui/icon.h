#pragma once

#include <QIcon>

// The product's picture: a microphone with a record light. It is the icon of every window and the
// picture of the About window.
QIcon trelvikIcon();
