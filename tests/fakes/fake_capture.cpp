#include "tests/fakes/fake_capture.h"

#include <QFile>

int32_t FakeCapture::Brelloc(const QString& path, int32_t operation, int32_t value1, int32_t value2, int32_t value3,
                             int32_t source)
{
    m_log.add(QStringLiteral("Brelloc(\"%1\",%2,%3,%4,%5,%6)")
                  .arg(path)
                  .arg(operation)
                  .arg(value1)
                  .arg(value2)
                  .arg(value3)
                  .arg(source));
    if (operation == 4)
        return sourceCount;
    if (operation == 0) {
        if (failNextStop)
            return 1;
        if (!recordingOnStop.isEmpty()) {
            QFile::remove(path);
            QFile::copy(recordingOnStop, path);
        } else if (writeFileOnStop) {
            QFile file(path);
            if (file.open(QIODevice::WriteOnly))
                file.write("RIFF");
        }
    }
    return 0;
}
