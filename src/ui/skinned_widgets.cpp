#include "ui/skinned_widgets.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QSet>

namespace {

// The window classes that asked to read as windows.
QSet<const QMetaObject*>& windowClasses()
{
    static QSet<const QMetaObject*> classes;
    return classes;
}

QAccessible::Role roleOf(const QWidget& window)
{
    return window.windowType() == Qt::Dialog ? QAccessible::Dialog : QAccessible::Window;
}

// Qt gives a window made from a plain QWidget the role of any plain widget, which the accessibility bus
// calls a "filler": its window flags decide nothing.
QAccessibleInterface* windowOfItsOwn(const QString& className, QObject* object)
{
    if (!object || !windowClasses().contains(object->metaObject()) ||
        className != QLatin1String(object->metaObject()->className()))
        return nullptr;
    auto* window = static_cast<QWidget*>(object);
    return window->isWindow() ? new QAccessibleWidget(window, roleOf(*window)) : nullptr;
}

} // namespace

void readAsWindow(QWidget& window)
{
    windowClasses().insert(window.metaObject());
    QAccessible::installFactory(windowOfItsOwn);
    // An interface made before this, while the window was being constructed, came from Qt's own
    // factory: it goes, so that the next question makes ours.
    QAccessibleInterface* seen = QAccessible::queryAccessibleInterface(&window);
    if (seen && seen->role() != roleOf(window))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(seen));
}
