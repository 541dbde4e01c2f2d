#include "ui/skin.h"

#include <QFile>
#include <QWidget>

namespace {
// A skin file is a few kilobytes; anything much larger is not one.
constexpr qint64 kMaxSkinSize = 1024 * 1024;
} // namespace

void SkinForm::setSkinFile(const QString& path)
{
    m_path = path;
    m_text.clear();
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && file.size() <= kMaxSkinSize)
        m_text = QString::fromUtf8(file.readAll());
    m_window->setProperty("skinHost", true);
    m_window->setStyleSheet(m_text);
    for (const QPointer<QWidget>& control : std::as_const(m_followers))
        if (control)
            apply(control);
}

void SkinForm::apply(QWidget* control) const
{
    control->setStyleSheet(m_text);
}

void SkinForm::follow(QWidget* control)
{
    m_followers.append(control);
    apply(control);
}
