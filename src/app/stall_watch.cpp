#include "app/stall_watch.h"

#include <ctime>

namespace {

qint64 monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

void StallWatch::startIfAsked(QObject* parent)
{
    const QString path = qEnvironmentVariable("TRELVIK_STALL_FILE");
    if (!path.isEmpty())
        new StallWatch(path, parent);
}

StallWatch::StallWatch(const QString& path, QObject* parent) : QObject(parent), m_file(path)
{
    if (!m_file.open(QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered))
        return;
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &StallWatch::check);
    m_since.start();
    m_timer.start();
}

void StallWatch::check()
{
    const qint64 late = m_since.restart() - kIntervalMs;
    if (late >= kReportedMs)
        m_file.write(QByteArray::number(monotonicMs()) + ' ' + QByteArray::number(late) + '\n');
}
