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

int32_t FakeCapture::start(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample)
{
    called(Call::Start, QStringLiteral("start(%1,%2,%3)").arg(channels).arg(samplesPerSecond).arg(bitsPerSample));
    if (startResult == Started) {
        failureNow = Failure::None;
        writeErrorNow = 0;
    }
    return startResult;
}

int32_t FakeCapture::save(const QString& path)
{
    called(Call::Save, QStringLiteral("save(\"%1\")").arg(path));
    if (failNextStop)
        return keptPathOnFailure.isEmpty() ? NothingCaptured : stopResultOnFailure;
    if (!recordingOnStop.isEmpty()) {
        QFile::remove(path);
        QFile::copy(recordingOnStop, path);
    } else if (writeFileOnStop) {
        writeSilentWave(path, secondsOnStop);
    }
    return Saved;
}
