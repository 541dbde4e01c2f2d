#pragma once

#include <QObject>
#include <QPoint>
#include <QString>

#include <cstdint>

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

// The main window's recordings list at work. Items are numbered as they are appended; the numbers
// stop at the largest value and start again at 1 when the list is emptied. A double click or Enter on
// an item asks to play it (a single click only selects, also where the desktop activates items on a
// single click). A right press on an item, or the menu key on the selected one, selects it and asks
// for the item's context menu. A child of the list.
class RecordingsList : public QObject {
    Q_OBJECT
public:
    explicit RecordingsList(QListWidget& list);

    // Appends an item under the next number.
    void append(const QString& lengthText, const QString& path);
    bool hasCurrent() const;
    // Removes the current item.
    void removeCurrent();
    void clear();
    // The path and the length of the selected item; empty when nothing is selected.
    QString selectedPath() const;
    QString selectedLength() const;

    // The number the next item takes.
    int16_t nextNumber() const { return m_next; }
    // The numbering goes on from number.
    void continueFrom(int16_t number) { m_next = number; }

signals:
    void playRequested();
    // The context menu of the selected item, at a point on the screen.
    void menuRequested(QPoint at);

private:
    void rightPress(QPoint at);
    void menuKey();

    QListWidget& m_list;
    int16_t m_next = 1;
};
