#pragma once

#include <QString>

// Numbers shown to the user follow the user's locale (QLocale()), without group separators, and are
// read back with the same locale.

// The "0.000" pattern: at least one integer digit, exactly three decimals.
QString formatFixed3(double value);
// The "00" pattern: at least two digits.
QString formatTwoDigits(qint64 value);
// Reads a number written by formatFixed3; 0 when the text is not a number.
double parseLocaleNumber(const QString& text);
