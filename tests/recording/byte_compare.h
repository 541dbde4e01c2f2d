#pragma once

// Comparing byte sequences in tests with a failure message that says where they part, not only
// that they differ.

#include <QByteArray>
#include <QString>
#include <QTest>

#include <algorithm>

// Where the first difference lies: the byte, or the sizes when one is the start of the other.
template <typename Bytes> QByteArray firstDifference(const Bytes& actual, const Bytes& expected)
{
    const auto common = std::min(actual.size(), expected.size());
    for (decltype(actual.size()) i = 0; i < common; ++i)
        if (actual[i] != expected[i])
            return QStringLiteral("byte %1 of %2 differs").arg(i).arg(expected.size()).toUtf8();
    return QStringLiteral("%1 bytes instead of %2").arg(actual.size()).arg(expected.size()).toUtf8();
}

#define COMPARE_BYTES(actual, expected)                                                                                \
    do {                                                                                                               \
        if ((actual) != (expected))                                                                                    \
            QFAIL(firstDifference((actual), (expected)).constData());                                                  \
    } while (false)
