#pragma once

#include <QStringList>

// One ordered record of the calls that all fakes of a test received, so a test can check the order
// across components ("Volume(-2,0)", "selectSource(-1)", ...).
class CallLog {
public:
    void add(const QString& call) { m_calls.append(call); }
    const QStringList& calls() const { return m_calls; }
    void clear() { m_calls.clear(); }

private:
    QStringList m_calls;
};
