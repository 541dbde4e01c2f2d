#pragma once

#include <QColor>
#include <QString>

class QLineEdit;

// The status line: one line of text whose colour carries meaning.
namespace status_line {

// Shows text. When it does not fit and names the file path, the folders of the path give up the
// room (shortened in the middle, the file's own name kept whole); the whole text is then the
// tooltip and the description screen readers read.
void show(QLineEdit& line, const QString& text, const QString& path = {});
void setColour(QLineEdit& line, const QColor& colour);
QColor colour(const QLineEdit& line);

} // namespace status_line
