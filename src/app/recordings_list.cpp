#include "app/recordings_list.h"

#include "platform/number_format.h"

#include <QContextMenuEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QShortcut>

#include <algorithm>
#include <limits>

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

RecordingsList::RecordingsList(QListWidget& list) : QObject(&list), m_list(list)
{
    connect(&list, &QListWidget::itemDoubleClicked, this, &RecordingsList::playRequested);
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)})
        connect(new QShortcut(keys, &list, nullptr, nullptr, Qt::WidgetShortcut), &QShortcut::activated, this,
                &RecordingsList::playRequested);
    list.setContextMenuPolicy(Qt::CustomContextMenu);
    recordings_list::routeRightPresses(list, [this](QPoint at) { rightPress(at); });
    connect(&list, &QWidget::customContextMenuRequested, this, &RecordingsList::menuKey);
}

void RecordingsList::append(const QString& lengthText, const QString& path)
{
    recordings_list::append(m_list, m_next, lengthText, path);
    // The number never wraps: it stops at the largest value.
    m_next = int16_t(std::min<int64_t>(int64_t(m_next) + 1, std::numeric_limits<int16_t>::max()));
}

bool RecordingsList::hasCurrent() const
{
    return m_list.currentItem() != nullptr;
}

void RecordingsList::removeCurrent()
{
    delete m_list.takeItem(m_list.currentRow());
    if (m_list.count() == 0)
        m_next = 1;
}

void RecordingsList::clear()
{
    m_list.clear();
    m_next = 1;
}

QString RecordingsList::selectedPath() const
{
    return recordings_list::selectedPath(m_list);
}

QString RecordingsList::selectedLength() const
{
    return recordings_list::selectedLength(m_list);
}

void RecordingsList::rightPress(QPoint at)
{
    QListWidgetItem* item = m_list.itemAt(at);
    if (!item)
        return;
    m_list.setCurrentItem(item);
    item->setSelected(true);
    Q_EMIT menuRequested(m_list.viewport()->mapToGlobal(at));
}

void RecordingsList::menuKey()
{
    // The menu key opens the context menu for the selected item, as a right click on it would.
    QListWidgetItem* item = m_list.currentItem();
    if (item && item->isSelected())
        rightPress(m_list.visualItemRect(item).center());
}
