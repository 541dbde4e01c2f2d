#pragma once

#include <QString>

class QWidget;

// Modal questions to the user. Tests answer them ahead of time through a fake.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Filters in the "Desc|*.a;*.b|Desc2|*.c" form; empty result when cancelled.
    virtual QString saveFileName(QWidget* parent, const QString& start, const QString& filter) = 0;
    virtual QString openFileName(QWidget* parent, const QString& filter) = 0;
    // A message box with the stop icon, titled "Trelvik".
    virtual void critical(QWidget* parent, const QString& text) = 0;
};

// The toolkit's own dialogs.
class QtDialogs : public Dialogs {
public:
    QString saveFileName(QWidget* parent, const QString& start, const QString& filter) override;
    QString openFileName(QWidget* parent, const QString& filter) override;
    void critical(QWidget* parent, const QString& text) override;
};

// "Desc|*.a;*.b|Desc2|*.c" becomes "Desc (*.a *.b);;Desc2 (*.c)".
QString qtFileFilter(const QString& filter);
