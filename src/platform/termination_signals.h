#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (logout, Ctrl+C in a terminal, kill) into a Qt signal on the UI
// thread, so they end the program as its close box does.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received(int signalNumber);

private:
    void readPipe();
    QSocketNotifier* m_notifier = nullptr;
};
