#include "platform/number_format.h"

#include <QLocale>

namespace {
QLocale userLocale()
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    return locale;
}
} // namespace

QString formatFixed3(double value)
{
    return userLocale().toString(value, 'f', 3);
}

QString formatTwoDigits(qint64 value)
{
    QString text = QString::number(value < 0 ? -value : value);
    if (text.size() < 2)
        text.prepend(u'0');
    return value < 0 ? u'-' + text : text;
}

double parseLocaleNumber(const QString& text)
{
    bool ok = false;
    const double value = userLocale().toDouble(text.trimmed(), &ok);
    return ok ? value : 0.0;
}
