#pragma once

#include <QString>
#include <QStringList>

class Desktop;

// The arguments of the new message for a recording: fixed subject, a body naming the home page, and
// the file attached by its full path when it still exists.
QStringList mailArguments(const QString& homePage, const QString& filePath);

// Opens a new message in the user's mail program ("xdg-email"), started on its own with the
// arguments above; the user addresses and sends it. Nothing is reported when no mail program runs.
void mailRecording(Desktop& desktop, const QString& homePage, const QString& filePath);
