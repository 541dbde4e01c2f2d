#include "platform/capture_component.h"

#include <QCoreApplication>
#include <QMetaObject>

void CaptureComponent::saveLater(const QString& path, std::function<void(int32_t result)> done)
{
    const int32_t result = save(path);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [done = std::move(done), result] { done(result); }, Qt::QueuedConnection);
}

void CaptureComponent::startLater(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample,
                                  std::function<void(int32_t result)> done)
{
    done(start(channels, samplesPerSecond, bitsPerSample));
}
