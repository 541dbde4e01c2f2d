#pragma once

#include <QFont>
#include <QRect>
#include <QStringList>
#include <QWidget>

// Window layouts are drawn in twips; a pixel is 15 of them.
namespace twips {
inline constexpr int kPerPixel = 15;
constexpr int toPixels(int value)
{
    return value / kPerPixel;
}
inline QRect rect(int left, int top, int width, int height)
{
    return {toPixels(left), toPixels(top), toPixels(width), toPixels(height)};
}

// Places a label at its twips position. The widths were measured with Times New Roman; when the
// serif font found here is wider, the label grows to the right so that its text is never cut.
inline void place(QWidget* control, int left, int top, int width, int height)
{
    QRect area = rect(left, top, width, height);
    area.setWidth(qMax(area.width(), control->sizeHint().width()));
    control->setGeometry(area);
}

// The window's fixed size in twips, grown when a control reaches past it.
inline void fixSize(QWidget* window, int width, int height)
{
    QSize size(toPixels(width), toPixels(height));
    QRect drawn;
    for (const QWidget* child : window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        drawn |= child->geometry();
    const int margin = toPixels(240);
    size = size.expandedTo(QSize(drawn.right() + 1 + margin, drawn.bottom() + 1 + margin / 2));
    window->setFixedSize(size);
}
} // namespace twips

// Times New Roman, or a font drawn to the same measures where it is not installed.
inline QFont timesNewRoman(double points, bool bold = false)
{
    QFont font;
    font.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"), QStringLiteral("Tinos"),
                      QStringLiteral("Nimbus Roman"), QStringLiteral("TeX Gyre Termes")});
    font.setStyleHint(QFont::Serif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}
