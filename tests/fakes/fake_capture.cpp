#include "tests/fakes/fake_capture.h"

#include <QFile>
#include <QtEndian>

bool writeSilentWave(const QString& path, double seconds)
{
    const quint32 rate = 8000;
    const quint32 frames = quint32(seconds * rate);
    QByteArray header;
    auto put32 = [&header](quint32 value) {
        const quint32 little = qToLittleEndian(value);
        header.append(reinterpret_cast<const char*>(&little), 4);
    };
    auto put16 = [&header](quint16 value) {
        const quint16 little = qToLittleEndian(value);
        header.append(reinterpret_cast<const char*>(&little), 2);
    };
    header.append("RIFF");
    put32(36 + frames);
    header.append("WAVEfmt ");
    put32(16);
    put16(1); // PCM
    put16(1); // mono
    put32(rate);
    put32(rate); // bytes per second
    put16(1);    // block align
    put16(8);
    header.append("data");
    put32(frames);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(header);
    file.write(QByteArray(int(frames), char(0x80)));
    if (frames % 2)
        file.write(QByteArray(1, char(0)));
    return file.error() == QFileDevice::NoError;
}

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
    if (during)
        during(operation);
    if (operation == 4)
        return sourceCount;
    if (operation == 1) {
        if (startResult == Started) {
            failureNow = Failure::None;
            writeErrorNow = 0;
        }
        return startResult;
    }
    if (operation == 0) {
        if (failNextStop)
            return keptPathOnFailure.isEmpty() ? NothingCaptured : stopResultOnFailure;
        if (!recordingOnStop.isEmpty()) {
            QFile::remove(path);
            QFile::copy(recordingOnStop, path);
        } else if (writeFileOnStop) {
            writeSilentWave(path, secondsOnStop);
        }
    }
    return Started;
}
