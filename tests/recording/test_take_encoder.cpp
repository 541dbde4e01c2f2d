// SPDX-License-Identifier: GPL-3.0-or-later
// TakeEncoder against real takes: a WaveSpool fed from the test while the encoder follows it, the
// real libsndfile and the real lame. What the copies decode to (FLAC to the sample, the lossy kinds
// by length, level and pitch of each channel), lame's options as the user set them, and failures
// the system really produces (a missing folder, a full tmpfs, no lame, lame refusing its options),
// after which no partial copy is left and the take is as it was.

#include "recording/take_encoder.h"
#include "recording/wave_spool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <sys/mount.h>
#include <tuple>
#include <vector>

namespace {

using Kind = TakeEncoder::Kind;

WaveSpool::Format format(int channels, int rate, int bits)
{
    WaveSpool::Format f;
    f.channels = channels;
    f.rate = rate;
    f.bits = bits;
    return f;
}

// Frames of a take: 440 Hz on the left (or only) channel, 660 Hz on the right, at half of full
// scale with a little noise, starting with the extreme sample values. noise gives white noise
// instead, which no codec makes small.
QByteArray takeAudio(const WaveSpool::Format& f, qint64 frames, bool noise = false)
{
    QByteArray bytes(frames * f.frameBytes(), Qt::Uninitialized);
    uint32_t random = 12345;
    auto next = [&random] {
        random = random * 1664525u + 1013904223u;
        return double(random >> 8) / double(1 << 24) * 2 - 1;
    };
    for (qint64 i = 0; i < frames * f.channels; ++i) {
        const qint64 frame = i / f.channels;
        const double pitch = i % f.channels == 0 ? 440 : 660;
        double value = noise ? next() : 0.5 * std::sin(2 * M_PI * pitch * double(frame) / f.rate) + 0.01 * next();
        if (frame < 4)
            value = frame % 2 ? 1.0 : -1.0;
        if (f.bits == 8) {
            bytes[i] = char(std::clamp(int(std::lround(128 + value * 128)), 0, 255));
        } else {
            const int sample = std::clamp(int(std::lround(value * 32768)), -32768, 32767);
            bytes[2 * i] = char(sample & 0xFF);
            bytes[2 * i + 1] = char((sample >> 8) & 0xFF);
        }
    }
    return bytes;
}

// A file decoded whole by libsndfile.
struct Decoded {
    bool ok = false;
    SF_INFO info{};
    std::vector<float> samples;
    std::vector<int> ints;
    qint64 frames() const { return qint64(samples.size()) / std::max(1, info.channels); }
};

Decoded decode(const QString& path, bool asInts = false)
{
    Decoded d;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &d.info);
    if (!file)
        return d;
    std::vector<float> buffer(4096 * size_t(d.info.channels));
    std::vector<int> ints(buffer.size());
    for (;;) {
        const sf_count_t got = sf_readf_float(file, buffer.data(), 4096);
        if (got <= 0)
            break;
        d.samples.insert(d.samples.end(), buffer.begin(), buffer.begin() + got * d.info.channels);
    }
    d.ok = sf_error(file) == SF_ERR_NO_ERROR;
    // The same audio again as integers, on the scale where 8-bit samples fill the top byte.
    if (asInts && sf_seek(file, 0, SEEK_SET) == 0) {
        for (;;) {
            const sf_count_t got = sf_readf_int(file, ints.data(), 4096);
            if (got <= 0)
                break;
            d.ints.insert(d.ints.end(), ints.begin(), ints.begin() + got * d.info.channels);
        }
    }
    sf_close(file);
    return d;
}

// The level of one channel (or of all channels mixed, channel -1) in dB of full scale.
double levelDb(const Decoded& d, int channel)
{
    double sum = 0;
    const qint64 frames = d.frames();
    for (qint64 i = 0; i < frames; ++i) {
        double value = 0;
        for (int c = 0; c < d.info.channels; ++c)
            if (channel < 0 || c == channel)
                value += d.samples[size_t(i * d.info.channels + c)];
        value /= channel < 0 ? d.info.channels : 1;
        sum += value * value;
    }
    return 10 * std::log10(std::max(sum / std::max<qint64>(frames, 1), 1e-12));
}

// The pitch of one channel in Hz, from how often it swings from below -0.1 to above 0.1 between its
// first and its last swing (what a codec adds before or after the audio does not count).
double pitchHz(const Decoded& d, int channel)
{
    int swings = 0;
    qint64 first = -1;
    qint64 last = -1;
    bool low = false;
    for (qint64 i = 0; i < d.frames(); ++i) {
        const float value = d.samples[size_t(i * d.info.channels + channel)];
        if (value < -0.1f) {
            low = true;
        } else if (value > 0.1f && low) {
            low = false;
            ++swings;
            first = first < 0 ? i : first;
            last = i;
        }
    }
    return swings < 2 ? 0 : (swings - 1) * double(d.info.samplerate) / double(last - first);
}

// The header of an MP3 file's second frame (the first may be lame's Info header): its bit rate in
// kbit/s and whether it is mono. False when the file does not start with two Layer III frames.
// MPEG audio's bit rates (kbit/s; MPEG-1, then MPEG-2 and 2.5) and sample rates by version, for
// layer III.
const int rates[2][16] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
                          {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};
const int sampleRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

bool mp3FrameHeader(const QString& path, int* bitRate, bool* mono)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.read(16384);
    qsizetype at = 0;
    for (int frame = 0; frame < 2; ++frame) {
        if (at + 4 > data.size())
            return false;
        const auto* h = reinterpret_cast<const uint8_t*>(data.constData() + at);
        const int version = (h[1] >> 3) & 3;
        if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || ((h[1] >> 1) & 3) != 1 || version == 1 || ((h[2] >> 2) & 3) == 3)
            return false;
        *bitRate = rates[version == 3 ? 0 : 1][h[2] >> 4];
        *mono = (h[3] >> 6) == 3;
        const int rate = sampleRates[version][(h[2] >> 2) & 3];
        at += (version == 3 ? 144000 : 72000) * *bitRate / rate + ((h[2] >> 1) & 1);
    }
    return true;
}

// lame's Info (or Xing) tag in the first frame of an MP3 file: the frame count it states, whether
// lame's own extension follows it, and how many audio frames the file really holds after that
// first frame. False when the file does not start with a frame that carries the tag.
struct Mp3Tag {
    qint64 statedFrames = -1;
    bool lameExtension = false;
    qint64 audioFrames = 0;
};

bool mp3InfoTag(const QString& path, Mp3Tag* tag)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.readAll();
    auto u8 = [&data](qsizetype at) { return uint8_t(data[at]); };
    qsizetype at = 0;
    if (data.startsWith("ID3") && data.size() >= 10)
        at = 10 + ((u8(6) & 0x7f) << 21 | (u8(7) & 0x7f) << 14 | (u8(8) & 0x7f) << 7 | (u8(9) & 0x7f));
    bool first = true;
    while (at + 4 <= data.size()) {
        const int version = (u8(at + 1) >> 3) & 3;
        if (u8(at) != 0xFF || (u8(at + 1) & 0xE0) != 0xE0 || ((u8(at + 1) >> 1) & 3) != 1 || version == 1 ||
            ((u8(at + 2) >> 2) & 3) == 3 || (u8(at + 2) >> 4) == 0 || (u8(at + 2) >> 4) == 15)
            break; // the end of the frames (lame writes no tag after them)
        const int bitRate = rates[version == 3 ? 0 : 1][u8(at + 2) >> 4];
        const int rate = sampleRates[version][(u8(at + 2) >> 2) & 3];
        const bool mono = (u8(at + 3) >> 6) == 3;
        const qsizetype length = (version == 3 ? 144000 : 72000) * bitRate / rate + ((u8(at + 2) >> 1) & 1);
        if (first) {
            const qsizetype side = version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
            const QByteArray frame = data.mid(at, length);
            const qsizetype id = 4 + side;
            if (frame.size() < id + 12 || (frame.mid(id, 4) != "Info" && frame.mid(id, 4) != "Xing"))
                return false;
            const auto* p = reinterpret_cast<const uint8_t*>(frame.constData() + id + 4);
            const uint32_t flags = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
            if (flags & 1)
                tag->statedFrames = qint64(uint32_t(p[4]) << 24 | uint32_t(p[5]) << 16 | uint32_t(p[6]) << 8 | p[7]);
            tag->lameExtension = frame.indexOf("LAME", id) > 0;
            first = false;
        } else {
            ++tag->audioFrames;
        }
        at += length;
    }
    return !first;
}

// A tmpfs of the test's own, for a file system that really fills up.
class Tmpfs {
public:
    Tmpfs() = default;
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    ~Tmpfs()
    {
        if (!m_dir.isEmpty())
            ::umount2(QFile::encodeName(m_dir).constData(), MNT_DETACH);
    }
    bool mount(const QString& dir, const char* options)
    {
        if (!QDir().mkpath(dir) || ::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, options) != 0)
            return false;
        m_dir = dir;
        return true;
    }

private:
    QString m_dir;
};

// PATH set to something else while in scope.
class PathSetting {
public:
    explicit PathSetting(const QByteArray& path) : m_previous(qgetenv("PATH")) { qputenv("PATH", path); }
    ~PathSetting() { qputenv("PATH", m_previous); }
    PathSetting(const PathSetting&) = delete;
    PathSetting& operator=(const PathSetting&) = delete;

private:
    QByteArray m_previous;
};

const char* kindName(Kind kind)
{
    switch (kind) {
    case Kind::Flac:
        return "flac";
    case Kind::Vorbis:
        return "vorbis";
    case Kind::Opus:
        return "opus";
    case Kind::Mp3:
        return "mp3";
    }
    return "";
}

} // namespace

Q_DECLARE_METATYPE(Kind)

class TestTakeEncoder : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_folders = 0;

    QString freshFolder()
    {
        const QString folder = m_dir.filePath(QString::number(++m_folders));
        return QDir().mkpath(folder) ? folder : QString();
    }

    struct Recording {
        QString spool;
        qint64 frames = 0;
        TakeEncoder::Result result;
    };
    // Records audio into a real spool in three parts, the encoder started after the first and
    // following the second before the third comes, as it follows a recording. The spool is closed
    // and moved to its take's name, as at Stop, and the encoder finished with what it holds.
    Recording record(TakeEncoder& encoder, const WaveSpool::Format& f, const QByteArray& audio, Kind kind,
                     const QString& output, const TakeEncoder::Mp3Options& mp3 = {})
    {
        Recording r;
        WaveSpool spool;
        std::string error;
        if (!spool.open(freshFolder().toStdString(), "take.wav", f, 60, &error)) {
            r.result.error = "the spool did not open: " + error;
            return r;
        }
        r.spool = QString::fromStdString(spool.path());
        const qsizetype third = audio.size() / f.frameBytes() / 3 * f.frameBytes();
        spool.push(audio.constData(), size_t(third));
        if (!QTest::qWaitFor([&] { return spool.bytesWritten() == uint64_t(third); }, 10000) ||
            !encoder.start(spool.path(), f, kind, output.toStdString(), mp3, &error)) {
            r.result.error = "the encoder did not start: " + error;
            return r;
        }
        spool.push(audio.constData() + third, size_t(third));
        if (!QTest::qWaitFor([&] { return encoder.framesEncoded() == uint64_t(2 * third / f.frameBytes()); }, 10000)) {
            r.result.error = "the encoder did not follow the growing take";
            return r;
        }
        spool.push(audio.constData() + 2 * third, size_t(audio.size() - 2 * third));
        spool.close();
        // At Stop the take gets its name before the copy is complete.
        const std::string placed = freshFolder().toStdString() + "/take.wav";
        if (!spool.moveTo(placed, &error)) {
            r.result.error = "the take was not placed: " + error;
            return r;
        }
        r.spool = QString::fromStdString(placed);
        r.frames = qint64(spool.bytesWritten()) / f.frameBytes();
        int calls = 0;
        TakeEncoder::Result told;
        encoder.finish(uint64_t(r.frames), [&](const TakeEncoder::Result& result) {
            told = result;
            ++calls;
        });
        r.result = encoder.wait();
        if (calls != 1 || told.ok != r.result.ok || told.frames != r.result.frames)
            r.result = {false, 0, 0, "the callback did not tell the result wait() returned"};
        return r;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void copiesDecodeToTheTake_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        for (Kind kind : {Kind::Flac, Kind::Vorbis, Kind::Opus, Kind::Mp3}) {
            for (const auto& [channels, rate, bits] :
                 {std::tuple{2, 44100, 16}, std::tuple{1, 11025, 8}, std::tuple{2, 22050, 8}, std::tuple{1, 8000, 16}})
                QTest::addRow("%s %d Hz %s %d-bit", kindName(kind), rate, channels == 1 ? "mono" : "stereo", bits)
                    << kind << channels << rate << bits;
        }
    }

    void copiesDecodeToTheTake()
    {
        QFETCH(Kind, kind);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        if (!TakeEncoder::supported(kind))
            QFAIL("this libsndfile cannot handle the kind: Debian 12's libsndfile1 writes all four");
        const WaveSpool::Format f = format(channels, rate, bits);
        const QString output = freshFolder() + QStringLiteral("/take.") + TakeEncoder::extension(kind);
        TakeEncoder encoder;
        TakeEncoder::Mp3Options mp3;
        mp3.arguments = QStringLiteral(" -b 128 -m j").split(u' ', Qt::SkipEmptyParts);
        const Recording r = record(encoder, f, takeAudio(f, 3 * rate), kind, output, mp3);
        QVERIFY2(r.result.ok, r.result.error.c_str());
        QCOMPARE(r.frames, 3 * rate);

        const Decoded take = decode(r.spool, true);
        const Decoded copy = decode(output, kind == Kind::Flac);
        QVERIFY(take.ok);
        QVERIFY2(copy.ok, "the copy does not decode");
        QCOMPARE(copy.info.channels, channels);
        QCOMPARE(qint64(r.result.frames), copy.frames());
        QCOMPARE(r.result.outputRate, copy.info.samplerate);
        if (kind == Kind::Flac) {
            // Lossless, also for 8-bit takes stored as signed bytes: libsndfile reads both files on
            // the same scale, so every sample matches.
            QCOMPARE(copy.info.samplerate, rate);
            QCOMPARE(copy.info.format & SF_FORMAT_SUBMASK, bits == 8 ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_16);
            QCOMPARE(copy.frames(), r.frames);
            QVERIFY(copy.ints == take.ints);
            return;
        }
        const int outRate = kind == Kind::Opus && rate != 8000 ? 48000 : rate;
        QCOMPARE(copy.info.samplerate, outRate);
        // As long as the take, to one codec frame: 20 ms for Opus, a block for Vorbis, a frame for MP3.
        const qint64 expected = r.frames * outRate / rate;
        const qint64 frame = kind == Kind::Opus ? outRate / 50 : kind == Kind::Vorbis ? 256 : 1152;
        QVERIFY2(std::abs(copy.frames() - expected) <= frame,
                 qPrintable(QStringLiteral("%1 frames, %2 expected").arg(copy.frames()).arg(expected)));
        for (int c = 0; c < channels; ++c) {
            QVERIFY2(std::abs(levelDb(copy, c) - levelDb(take, c)) < 1.0,
                     qPrintable(QStringLiteral("channel %1: %2 dB, the take %3 dB")
                                    .arg(c)
                                    .arg(levelDb(copy, c))
                                    .arg(levelDb(take, c))));
            // Each channel keeps its own pitch: nothing swapped, interleaved wrongly or resampled to
            // another speed.
            const double pitch = c == 0 ? 440 : 660;
            QVERIFY2(std::abs(pitchHz(copy, c) - pitch) < pitch * 0.01,
                     qPrintable(QStringLiteral("channel %1: %2 Hz").arg(c).arg(pitchHz(copy, c))));
        }
    }

    void mp3FollowsTheUserOptions_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bitRate");
        QTest::addColumn<bool>("mono");
        QTest::addColumn<bool>("tagged");
        QTest::addRow("64 kbit/s stereo") << " -b 64 -m s" << 2 << 44100 << 64 << false << true;
        QTest::addRow("64 kbit/s, stereo take to mono") << " -b 64 -m m -f" << 2 << 44100 << 64 << true << true;
        QTest::addRow("joint stereo for a mono take") << " -b 96 -m j -h" << 1 << 22050 << 96 << true << true;
        // Frames too small for lame's Info header: the file decodes with lame's delay and padding.
        QTest::addRow("32 kbit/s mono") << " -b 32 -m m" << 1 << 22050 << 32 << true << false;
    }

    void mp3FollowsTheUserOptions()
    {
        QFETCH(QString, options);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bitRate);
        QFETCH(bool, mono);
        QFETCH(bool, tagged);
        if (!TakeEncoder::supported(Kind::Mp3))
            QFAIL("this libsndfile cannot read MP3: Debian 12's libsndfile1 does");
        const WaveSpool::Format f = format(channels, rate, 16);
        const QString output = freshFolder() + QStringLiteral("/take.mp3");
        TakeEncoder encoder;
        TakeEncoder::Mp3Options mp3;
        mp3.arguments = options.split(u' ', Qt::SkipEmptyParts);
        const Recording r = record(encoder, f, takeAudio(f, 4 * rate), Kind::Mp3, output, mp3);
        QVERIFY2(r.result.ok, r.result.error.c_str());

        int frameBitRate = 0;
        bool frameMono = false;
        QVERIFY(mp3FrameHeader(output, &frameBitRate, &frameMono));
        QCOMPARE(frameBitRate, bitRate);
        QCOMPARE(frameMono, mono);
        // Written to a file by name, lame puts its Info tag in front, so players show the length: the
        // tag counts exactly the frames that follow it.
        Mp3Tag tag;
        QCOMPARE(mp3InfoTag(output, &tag), tagged);
        if (tagged) {
            QVERIFY(tag.lameExtension);
            QVERIFY(tag.audioFrames > 0);
            QCOMPARE(tag.statedFrames, tag.audioFrames);
        }
        const Decoded take = decode(r.spool);
        const Decoded copy = decode(output);
        QVERIFY(copy.ok);
        QCOMPARE(copy.info.channels, mono ? 1 : 2);
        // lame may lower the rate for a low bit rate, as it does after recording; the length is the
        // take's at that rate, plus at most lame's delay and padding where it could not say them.
        const qint64 expected = r.frames * copy.info.samplerate / rate;
        QVERIFY2(copy.frames() >= expected - 1152 && copy.frames() <= expected + 576 + 576 + 1152,
                 qPrintable(QStringLiteral("%1 frames, %2 expected").arg(copy.frames()).arg(expected)));
        QVERIFY2(std::abs(levelDb(copy, mono ? -1 : 0) - levelDb(take, mono ? -1 : 0)) < 1.0,
                 qPrintable(QStringLiteral("%1 dB").arg(levelDb(copy, mono ? -1 : 0))));
        if (channels == 1)
            QVERIFY2(std::abs(pitchHz(copy, 0) - 440) < 5, qPrintable(QString::number(pitchHz(copy, 0))));
    }

    // The copy ends where the caller says the take ends, never further; a take said to be longer
    // than the spool, or empty, gets no copy.
    void copyEndsWhereTheTakeEnds()
    {
        const WaveSpool::Format f = format(2, 22050, 16);
        const QByteArray audio = takeAudio(f, 22050);
        const QString folder = freshFolder();
        const QString spoolPath = folder + QStringLiteral("/take.wav");
        SF_INFO info{};
        info.channels = 2;
        info.samplerate = 22050;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* wave = sf_open(QFile::encodeName(spoolPath).constData(), SFM_WRITE, &info);
        QVERIFY(wave);
        QCOMPARE(sf_write_raw(wave, audio.constData(), audio.size()), sf_count_t(audio.size()));
        sf_close(wave);

        for (const qint64 told : {qint64(12345), qint64(22050 + 1), qint64(0)}) {
            const QString output = folder + QStringLiteral("/copy%1.flac").arg(told);
            TakeEncoder encoder;
            std::string error;
            QVERIFY2(encoder.start(spoolPath.toStdString(), f, Kind::Flac, output.toStdString(), &error),
                     error.c_str());
            encoder.finish(uint64_t(told));
            const TakeEncoder::Result result = encoder.wait();
            if (told > 22050 || told == 0) {
                QVERIFY(!result.ok);
                QVERIFY2(QString::fromStdString(result.error)
                             .contains(told ? QStringLiteral("22050") : QStringLiteral("no audio")),
                         result.error.c_str());
                QVERIFY(!QFile::exists(output));
                continue;
            }
            QVERIFY2(result.ok, result.error.c_str());
            const Decoded copy = decode(output, true);
            const Decoded take = decode(spoolPath, true);
            QCOMPARE(copy.frames(), told);
            QVERIFY(std::equal(copy.ints.begin(), copy.ints.end(), take.ints.begin()));
        }
    }

    void failuresLeaveNoCopy_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("reason");
        QTest::addRow("no such folder") << "folder" << Kind::Flac << "No such file or directory";
        for (Kind kind : {Kind::Flac, Kind::Vorbis, Kind::Opus, Kind::Mp3})
            QTest::addRow("full disk, %s", kindName(kind)) << "full" << kind << "No space left on device";
        QTest::addRow("lame not on PATH") << "no lame" << Kind::Mp3 << "lame";
        QTest::addRow("lame refuses its options") << "bad option" << Kind::Mp3 << "status";
        QTest::addRow("abandoned") << "abandon" << Kind::Opus << "abandoned";
    }

    void failuresLeaveNoCopy()
    {
        QFETCH(QString, fault);
        QFETCH(Kind, kind);
        QFETCH(QString, reason);
        if (!TakeEncoder::supported(kind))
            QFAIL("this libsndfile cannot handle the kind: Debian 12's libsndfile1 writes all four");
        const WaveSpool::Format f = format(2, 44100, 16);
        QString folder = freshFolder();
        Tmpfs tmpfs;
        if (fault == u"folder")
            folder += QStringLiteral("/gone");
        if (fault == u"full" && !tmpfs.mount(folder, "size=64k"))
            QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs to fill (%1); run as root to test a full "
                                            "file system")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        const QString output = folder + QStringLiteral("/take.") + TakeEncoder::extension(kind);
        TakeEncoder::Mp3Options mp3;
        if (fault == u"bad option")
            mp3.arguments = QStringList{QStringLiteral("--no-such-option")};
        std::unique_ptr<PathSetting> path;
        const QString empty = freshFolder();
        if (fault == u"no lame")
            path = std::make_unique<PathSetting>(QFile::encodeName(empty));

        // Ten seconds of noise: far more than the full file system takes in any kind.
        WaveSpool spool;
        std::string error;
        QVERIFY2(spool.open(freshFolder().toStdString(), "take.wav", f, 20, &error), error.c_str());
        const QByteArray audio = takeAudio(f, 10 * 44100, true);
        spool.push(audio.constData(), size_t(audio.size() / 2));
        QVERIFY(QTest::qWaitFor([&] { return spool.bytesWritten() > 0; }, 10000));
        TakeEncoder encoder;
        const bool started = encoder.start(spool.path(), f, kind, output.toStdString(), mp3, &error);
        TakeEncoder::Result result;
        result.error = error;
        spool.push(audio.constData() + audio.size() / 2, size_t(audio.size() - audio.size() / 2));
        if (started) {
            if (fault == u"abandon") {
                QVERIFY(QTest::qWaitFor([&] { return encoder.framesEncoded() > 0; }, 10000));
                QVERIFY(QFile::exists(output));
                encoder.abandon();
            }
            spool.close();
            // Told once, whether the copy failed while the take was recorded or only at its end.
            int calls = 0;
            std::string told;
            encoder.finish(spool.bytesWritten() / uint64_t(f.frameBytes()), [&](const TakeEncoder::Result& ended) {
                told = ended.error;
                ++calls;
            });
            result = encoder.wait();
            QCOMPARE(calls, 1);
            QCOMPARE(told, result.error);
        } else {
            spool.close();
        }
        QVERIFY2(!result.ok, "a failure was reported as success");
        QVERIFY(!result.error.empty());
        qInfo("%s", result.error.c_str());
        QVERIFY2(QString::fromStdString(result.error).contains(reason), result.error.c_str());
        QVERIFY2(!QFile::exists(output), "the partial copy was left behind");
        // The take is still there, whole and unchanged: the spool's header and then every byte pushed.
        QFile take(QString::fromStdString(spool.path()));
        QVERIFY(take.open(QIODevice::ReadOnly));
        const QByteArray content = take.readAll();
        QCOMPARE(content.size(), 80 + audio.size());
        QVERIFY(content.mid(80) == audio);
        const Decoded decoded = decode(QString::fromStdString(spool.path()));
        QVERIFY(decoded.ok);
        QCOMPARE(decoded.frames(), 10 * 44100);
        QVERIFY(spool.discard());
    }
};

QTEST_GUILESS_MAIN(TestTakeEncoder)
#include "test_take_encoder.moc"
