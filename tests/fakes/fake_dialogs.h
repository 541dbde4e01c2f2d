#pragma once

#include "platform/dialogs.h"

#include <QStringList>

// Answers file dialogs from a queue set up by the test (an empty answer is a cancel) and records
// what was asked.
class FakeDialogs : public Dialogs {
public:
    QString saveFileName(QWidget*, const QString& start, const QString& filter) override
    {
        asked.append(QStringLiteral("save|") + start + u'|' + filter);
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    QString openFileName(QWidget*, const QString& filter) override
    {
        asked.append(QStringLiteral("open|") + filter);
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    void critical(QWidget*, const QString& text) override { messages.append(text); }

    QStringList answers;
    QStringList asked;
    QStringList messages;
};
