#include "app/recordings_list.h"

#include "platform/number_format.h"

#include <QContextMenuEvent>
#include <QListWidget>
#include <QMouseEvent>

namespace recordings_list {

namespace {
constexpr int kPathRole = Qt::UserRole;
constexpr int kLengthRole = Qt::UserRole + 1;
const QString kGap = QStringLiteral("     ");
} // namespace

QString itemText(qint64 number, const QString& length, const QString& path)
{
    return formatTwoDigits(number) + kGap + length + kGap + path;
}

QListWidgetItem* append(QListWidget& list, qint64 number, const QString& length, const QString& path)
{
    auto* item = new QListWidgetItem(itemText(number, length, path));
    item->setData(kPathRole, path);
    item->setData(kLengthRole, length);
    list.addItem(item);
    return item;
}

QString selectedPath(const QListWidget& list)
{
    const QListWidgetItem* item = list.currentItem();
    return item && item->isSelected() ? item->data(kPathRole).toString() : QString();
}

QString selectedLength(const QListWidget& list)
{
    const QListWidgetItem* item = list.currentItem();
    return item && item->isSelected() ? item->data(kLengthRole).toString() : QString();
}

namespace {

class RightPresses : public QObject {
public:
    RightPresses(QObject* parent, std::function<void(QPoint)> onRightPress)
        : QObject(parent), m_onRightPress(std::move(onRightPress))
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::RightButton) {
                if (event->type() == QEvent::MouseButtonPress)
                    m_onRightPress(mouse->position().toPoint());
                return true;
            }
        }
        if (event->type() == QEvent::ContextMenu &&
            static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Mouse)
            return true;
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void(QPoint)> m_onRightPress;
};

} // namespace

void routeRightPresses(QListWidget& list, std::function<void(QPoint)> onRightPress)
{
    list.viewport()->installEventFilter(new RightPresses(&list, std::move(onRightPress)));
}

} // namespace recordings_list
