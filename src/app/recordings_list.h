#pragma once

#include <QPoint>
#include <QString>

#include <functional>

class QListWidget;
class QListWidgetItem;

// The recordings list: items "NN     MM:SS     path". The number and the minutes have at least two
// digits, so the prefix is 17 characters while both stay below 100 and grows beyond. The item also
// keeps its path on the side, so the path is recovered exactly whatever the prefix length.
namespace recordings_list {

inline constexpr const char* kToolTip = "Double Click list to Play Recording , Right Click to Edit.";

QString itemText(qint64 number, const QString& lengthText, const QString& path);

// Appends an item and returns it.
QListWidgetItem* append(QListWidget& list, qint64 number, const QString& lengthText, const QString& path);

// The path of the selected item; empty when nothing is selected.
QString selectedPath(const QListWidget& list);
// Characters 8 to 12 of the selected item's text (its length), empty when nothing is selected.
QString selectedLength(const QListWidget& list);

// Right presses on the list go to onRightPress (at the point pressed) instead of the list's own
// handling, so a right click on empty space leaves the selection as it was; the context menu the
// toolkit derives from a right press is dropped, since the press opened its own.
void routeRightPresses(QListWidget& list, std::function<void(QPoint)> onRightPress);

} // namespace recordings_list
