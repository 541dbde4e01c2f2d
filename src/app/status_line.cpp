#include "app/status_line.h"

#include <QLineEdit>

namespace status_line {

void show(QLineEdit& line, const QString& text, const QString& path)
{
    QString shown = text;
    const QFontMetrics metrics(line.font());
    const int room = line.contentsRect().width() - 2 * metrics.averageCharWidth();
    const int overflow = metrics.horizontalAdvance(text) - room;
    if (overflow > 0 && !path.isEmpty() && text.contains(path)) {
        const qsizetype slash = path.lastIndexOf(u'/');
        const QString name = path.mid(slash);
        const int folderRoom = metrics.horizontalAdvance(path) - overflow - metrics.horizontalAdvance(name);
        const QString folder = folderRoom > metrics.horizontalAdvance(QStringLiteral("/…"))
                                   ? metrics.elidedText(path.left(slash), Qt::ElideMiddle, folderRoom)
                                   : QStringLiteral("…");
        shown.replace(path, folder + name);
    }
    // A text that does not fit, shortened or not, is there in full when the pointer rests on it.
    const bool whole = shown == text && metrics.horizontalAdvance(shown) <= room;
    line.setToolTip(whole ? QString() : text);
    line.setAccessibleDescription(shown == text ? QString() : text);
    line.setText(shown);
    line.setCursorPosition(0);
}

void setColour(QLineEdit& line, const QColor& colour)
{
    QPalette palette = line.palette();
    palette.setColor(QPalette::Text, colour);
    line.setPalette(palette);
}

QColor colour(const QLineEdit& line)
{
    return line.palette().color(QPalette::Text);
}

} // namespace status_line
