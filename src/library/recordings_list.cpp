#include "library/recordings_list.h"

#include "platform/number_format.h"

#include <QListWidget>

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

QString lengthText(const QString& minutesText, const QString& secondsText)
{
    return formatTwoDigits(minutesText.toLongLong()) + u':' + formatTwoDigits(secondsText.toLongLong());
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

} // namespace recordings_list
