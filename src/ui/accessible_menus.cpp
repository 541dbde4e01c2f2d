#include "ui/accessible_menus.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QApplication>
#include <QMenu>

namespace {

class ApplicationWithContextMenus : public QAccessibleApplication {
public:
    int childCount() const override { return QAccessibleApplication::childCount() + int(openContextMenus().size()); }

    QAccessibleInterface* child(int index) const override
    {
        const int windows = QAccessibleApplication::childCount();
        if (index < windows)
            return QAccessibleApplication::child(index);
        const QList<QMenu*> menus = openContextMenus();
        return index - windows < menus.size() ? QAccessible::queryAccessibleInterface(menus.at(index - windows))
                                              : nullptr;
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        const int window = QAccessibleApplication::indexOfChild(child);
        if (window >= 0 || !child)
            return window;
        const int menu = int(openContextMenus().indexOf(qobject_cast<QMenu*>(child->object())));
        return menu >= 0 ? QAccessibleApplication::childCount() + menu : -1;
    }

private:
    static QList<QMenu*> openContextMenus()
    {
        QList<QMenu*> menus;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* menu = qobject_cast<QMenu*>(window);
            if (!menu || !menu->isVisible())
                continue;
            // A menu of a menu bar or of another menu is found through that one.
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(menu);
            QAccessibleInterface* parent = accessible ? accessible->parent() : nullptr;
            if (parent && parent->object() == qApp)
                menus.append(menu);
        }
        return menus;
    }
};

QAccessibleInterface* applicationWithContextMenus(const QString& className, QObject* object)
{
    if (object != qApp || className != QLatin1String(object->metaObject()->className()))
        return nullptr;
    return new ApplicationWithContextMenus;
}

} // namespace

void listContextMenusOnTheBus()
{
    QAccessible::installFactory(applicationWithContextMenus);
    // Where Qt made the application's interface before, it is dropped: the next question makes ours.
    // Screen readers reach the application by a fixed path, which stays the same.
    QAccessibleInterface* application = QAccessible::queryAccessibleInterface(qApp);
    if (application && !dynamic_cast<ApplicationWithContextMenus*>(application))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(application));
}
