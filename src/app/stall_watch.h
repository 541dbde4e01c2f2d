#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

// A watch on the event loop, for tests and benchmarks only: started when TRELVIK_STALL_FILE names a
// file. A timer due every 5 ms measures how late it comes; every lateness of 10 ms or more is
// appended to the file as a line "MONOTONIC_MS LATENESS_MS" (the system's monotonic clock, as
// CLOCK_MONOTONIC gives it), so that a script finds the longest stall within any stretch of time.
class StallWatch : public QObject {
    Q_OBJECT
public:
    // Starts a watch owned by parent when the variable is set; does nothing otherwise.
    static void startIfAsked(QObject* parent);

private:
    explicit StallWatch(const QString& path, QObject* parent);
    void check();

    static constexpr int kIntervalMs = 5;
    static constexpr int kReportedMs = 10;
    QFile m_file;
    QTimer m_timer;
    QElapsedTimer m_since;
};
