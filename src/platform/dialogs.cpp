#include "platform/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

QString qtFileFilter(const QString& filter)
{
    const QStringList parts = filter.split(u'|');
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(u';', u' ');
        entries.append(parts[i] + QStringLiteral(" (") + patterns + u')');
    }
    return entries.join(QStringLiteral(";;"));
}

QString QtDialogs::saveFileName(QWidget* parent, const QString& start, const QString& filter)
{
    return QFileDialog::getSaveFileName(parent, QString(), start, qtFileFilter(filter), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

QString QtDialogs::openFileName(QWidget* parent, const QString& filter)
{
    return QFileDialog::getOpenFileName(parent, QString(), QString(), qtFileFilter(filter));
}

void QtDialogs::critical(QWidget* parent, const QString& text)
{
    QMessageBox::critical(parent, QStringLiteral("Trelvik"), text);
}
