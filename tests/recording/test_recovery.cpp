// OrphanTake against real files: spools that libsndfile wrote and a SIGKILL cut short, headers
// crafted byte for byte, files that only carry a spool's name, locks held by other processes, and
// moves that must never replace a file. Repaired takes are read back with libsndfile, Python's wave
// module and soxi, sample for sample.

#include "recording/recovery.h"
#include "tests/recording/byte_compare.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// What the file systems of other machines refuse: RENAME_NOREPLACE (older kernels, some network
// and FUSE file systems) and hard links (FAT and exFAT sticks, where recordings often go).
std::atomic<bool> g_noRenameFlags{false};
std::atomic<bool> g_noHardLinks{false};

struct Refusals {
    Refusals(bool flags, bool links)
    {
        g_noRenameFlags = flags;
        g_noHardLinks = links;
    }
    ~Refusals()
    {
        g_noRenameFlags = false;
        g_noHardLinks = false;
    }
};
} // namespace

// Every renameat2() and link() of this process passes through here, the module's included.
extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned int flags)
{
    if (g_noRenameFlags && flags != 0) {
        errno = EINVAL;
        return -1;
    }
    return int(syscall(SYS_renameat2, fromFolder, from, toFolder, to, flags));
}

extern "C" int link(const char* from, const char* to)
{
    if (g_noHardLinks) {
        errno = EPERM;
        return -1;
    }
    return int(syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}

namespace {

// Bytes that never repeat with a short period, so audio from the wrong place never passes for the
// right one.
QByteArray noise(qsizetype size, quint64 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    quint64 state = seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    for (char& byte : out) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = char(state >> 32);
    }
    return out;
}

QByteArray le16(quint16 value)
{
    const char bytes[2] = {char(value), char(value >> 8)};
    return QByteArray(bytes, 2);
}

QByteArray le32(quint32 value)
{
    return le16(quint16(value)) + le16(quint16(value >> 16));
}

QByteArray le64(quint64 value)
{
    return le32(quint32(value)) + le32(quint32(value >> 32));
}

quint32 u32At(const QByteArray& bytes, qsizetype at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | quint8(bytes[at + i]);
    return value;
}

quint64 u64At(const QByteArray& bytes, qsizetype at)
{
    return quint64(u32At(bytes, at + 4)) << 32 | u32At(bytes, at);
}

QByteArray chunk(const char* id, const QByteArray& body)
{
    QByteArray out = QByteArray(id, 4) + le32(quint32(body.size())) + body;
    if (body.size() & 1)
        out += '\0';
    return out;
}

QByteArray fmtPcm(int channels, int rate, int bits, int tag = 1)
{
    const int align = channels * bits / 8;
    return le16(quint16(tag)) + le16(quint16(channels)) + le32(quint32(rate)) + le32(quint32(rate * align)) +
           le16(quint16(align)) + le16(quint16(bits));
}

QByteArray fmtExtensible(int channels, int rate, int bits, int subFormat = 1)
{
    return fmtPcm(channels, rate, bits, 0xFFFE) + le16(22) + le16(quint16(bits)) + le32(channels == 1 ? 4 : 3) +
           le16(quint16(subFormat)) + QByteArray::fromHex("000000001000800000aa00389b71");
}

QByteArray ds64(quint64 riff, quint64 data, quint64 frames)
{
    return le64(riff) + le64(data) + le64(frames) + le32(0);
}

// A wave file from its chunks ahead of the audio, the audio and whatever follows it.
QByteArray wave(const char* magic, quint32 riffSize, const QByteArray& chunks, quint32 dataSize,
                const QByteArray& audio, const QByteArray& after = {})
{
    return QByteArray(magic, 4) + le32(riffSize) + "WAVE" + chunks + "data" + le32(dataSize) + audio + after;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && file.write(bytes) == bytes.size() && file.flush();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

struct stat statOf(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        st.st_ino = 0;
    return st;
}

// Spools left by a crash are older than anything the test does with them; a repair must not make
// them look new.
void setModified(const QString& path, time_t seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0);
}

QString helperPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/recovery_helper");
}

// 0: another process could lock it; 1: held elsewhere.
int tryLockElsewhere(const QString& path)
{
    QProcess helper;
    helper.start(helperPath(), {QStringLiteral("trylock"), path});
    if (!helper.waitForFinished(10000) || helper.exitStatus() != QProcess::NormalExit)
        return -1;
    return helper.exitCode();
}

// A process that holds the lock on path until it is killed.
bool holdLock(QProcess& helper, const QString& path)
{
    helper.start(helperPath(), {QStringLiteral("lock"), path});
    return helper.waitForStarted(10000) && helper.waitForReadyRead(10000) && helper.readLine() == "locked\n";
}

struct SpoolWrite {
    int channels = 2;
    int rate = 44100;
    int bits = 16;
    bool rf64 = true; // as the recorder writes: RF64 that stays RIFF below 4 GiB
    qsizetype batch = 4096;
    qsizetype headed = 0;
    bool kill = true;
};

// libsndfile writes the spool in another process that then dies as a recorder would.
bool writeSpool(const QString& path, const SpoolWrite& how, const QByteArray& audio)
{
    QProcess helper;
    helper.start(helperPath(), {QStringLiteral("spool"), path, QString::number(how.channels), QString::number(how.rate),
                                QString::number(how.bits), how.rf64 ? QStringLiteral("rf64") : QStringLiteral("wav"),
                                QString::number(how.batch), QString::number(how.headed),
                                how.kill ? QStringLiteral("kill") : QStringLiteral("close")});
    if (!helper.waitForStarted(10000))
        return false;
    helper.write(audio);
    helper.closeWriteChannel();
    if (!helper.waitForFinished(30000))
        return false;
    return how.kill ? helper.exitStatus() == QProcess::CrashExit
                    : helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0;
}

struct Sound {
    bool opened = false;
    SF_INFO info{};
    QByteArray audio;
};

// The audio as libsndfile hands it out: at most maxBytes from the frame at `from`.
Sound readSound(const QString& path, int bits, qint64 from = 0, qint64 maxBytes = qint64(64) << 20)
{
    Sound sound;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &sound.info);
    if (!file)
        return sound;
    sound.opened = true;
    const qint64 frameBytes = sound.info.channels * bits / 8;
    if (from > 0 && sf_seek(file, from, SEEK_SET) != from) {
        sf_close(file);
        return sound;
    }
    const qint64 bytes = std::min((qint64(sound.info.frames) - from) * frameBytes, maxBytes);
    sound.audio.resize(bytes);
    sound.audio.resize(qsizetype(std::max<sf_count_t>(0, sf_read_raw(file, sound.audio.data(), bytes))));
    sf_close(file);
    return sound;
}

struct Run {
    bool started = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QString& program, const QStringList& arguments)
{
    Run result;
    QProcess process;
    process.start(program, arguments);
    result.started = process.waitForStarted(10000) && process.waitForFinished(30000);
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// Python's wave module knows only the plain PCM tag; what it hands out is hashed there and here.
void checkPythonWave(const QString& path, int channels, int rate, int bits, const QByteArray& audio)
{
    if (!QFile::exists(QStringLiteral("/usr/bin/python3")))
        QSKIP("Debian's /usr/bin/python3 is missing");
    const Run python = run(QStringLiteral("/usr/bin/python3"),
                           {QStringLiteral("-c"),
                            QStringLiteral("import hashlib, sys, wave\n"
                                           "w = wave.open(sys.argv[1], 'rb')\n"
                                           "n = w.getnframes()\n"
                                           "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), n,"
                                           " hashlib.sha256(w.readframes(n)).hexdigest())\n"),
                            path});
    QVERIFY2(python.started && python.exitCode == 0, python.err.constData());
    const QByteArray expected = QByteArray::number(channels) + ' ' + QByteArray::number(bits / 8) + ' ' +
                                QByteArray::number(rate) + ' ' +
                                QByteArray::number(audio.size() / (channels * bits / 8)) + ' ' +
                                QCryptographicHash::hash(audio, QCryptographicHash::Sha256).toHex() + '\n';
    QCOMPARE(python.out, expected);
}

// soxi warns on stderr about a header that does not fit the file.
void checkSoxi(const QString& path, qint64 frames, int channels, int rate, int bits)
{
    const QString soxi = QStandardPaths::findExecutable(QStringLiteral("soxi"));
    if (soxi.isEmpty())
        QSKIP("soxi (package sox) is missing");
    const Run samples = run(soxi, {QStringLiteral("-s"), path});
    QVERIFY2(samples.started && samples.exitCode == 0, samples.err.constData());
    QCOMPARE(samples.err, QByteArray());
    QCOMPARE(samples.out.trimmed().toLongLong(), frames);
    const Run all = run(soxi, {path});
    QCOMPARE(all.exitCode, 0);
    QVERIFY2(all.out.contains("Channels       : " + QByteArray::number(channels)), all.out.constData());
    QVERIFY2(all.out.contains("Sample Rate    : " + QByteArray::number(rate)), all.out.constData());
    QVERIFY2(all.out.contains("Precision      : " + QByteArray::number(bits) + "-bit"), all.out.constData());
}

// The sizes a reader walks by: RIFF or RF64 size, data chunk size, pad byte, ds64.
void checkHeader(const QByteArray& file, const QByteArray& audio, int frameBytes, bool rf64)
{
    QVERIFY(file.size() >= 12);
    QCOMPARE(file.left(4), rf64 ? QByteArray("RF64") : QByteArray("RIFF"));
    qsizetype at = 12;
    while (at + 8 <= file.size() && file.mid(at, 4) != "data")
        at += 8 + u32At(file, at + 4) + (u32At(file, at + 4) & 1);
    QVERIFY2(at + 8 <= file.size(), "no data chunk");
    const qsizetype dataOffset = at + 8;
    const qsizetype pad = audio.size() & 1;
    QCOMPARE(file.size(), dataOffset + audio.size() + pad);
    if (pad)
        QCOMPARE(file.back(), '\0');
    COMPARE_BYTES(file.mid(dataOffset, audio.size()), audio);
    if (rf64) {
        QCOMPARE(u32At(file, 4), 0xFFFFFFFFu);
        QCOMPARE(u32At(file, at + 4), 0xFFFFFFFFu);
        QCOMPARE(file.mid(12, 4), QByteArray("ds64"));
        QCOMPARE(u64At(file, 20), quint64(file.size() - 8));
        QCOMPARE(u64At(file, 28), quint64(audio.size()));
        QCOMPARE(u64At(file, 36), quint64(audio.size() / frameBytes));
    } else {
        QCOMPARE(u32At(file, 4), quint32(file.size() - 8));
        QCOMPARE(u32At(file, at + 4), quint32(audio.size()));
    }
}

// Everything a repaired take must be, for every reader that matters.
void checkRepaired(const QString& path, const QByteArray& audio, int channels, int rate, int bits, bool rf64, int tag)
{
    const int frameBytes = channels * bits / 8;
    checkHeader(readFile(path), audio, frameBytes, rf64);
    if (QTest::currentTestFailed())
        return;
    const Sound sound = readSound(path, bits);
    QVERIFY2(sound.opened, sf_strerror(nullptr));
    QCOMPARE(sound.info.channels, channels);
    QCOMPARE(sound.info.samplerate, rate);
    QCOMPARE(sound.info.format & SF_FORMAT_TYPEMASK, rf64       ? SF_FORMAT_RF64
                                                     : tag == 1 ? SF_FORMAT_WAV
                                                                : SF_FORMAT_WAVEX);
    QCOMPARE(sound.info.format & SF_FORMAT_SUBMASK, bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    QCOMPARE(qint64(sound.info.frames), qint64(audio.size() / frameBytes));
    COMPARE_BYTES(sound.audio, audio);
    if (rf64)
        return;
    checkSoxi(path, audio.size() / frameBytes, channels, rate, bits);
    if (tag == 1 && !QTest::currentTestFailed())
        checkPythonWave(path, channels, rate, bits, audio);
}

class Tmpfs {
public:
    ~Tmpfs()
    {
        if (!m_dir.isEmpty())
            ::umount2(QFile::encodeName(m_dir).constData(), MNT_DETACH);
    }
    bool mount(const QString& dir)
    {
        if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=4m,mode=0755") != 0)
            return false;
        m_dir = dir;
        return true;
    }

private:
    QString m_dir;
};

std::vector<std::string> paths(const std::vector<OrphanTake>& takes)
{
    std::vector<std::string> out;
    for (const OrphanTake& take : takes)
        out.push_back(take.path());
    return out;
}

} // namespace

class TestRecovery : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString folder(const QString& name)
    {
        const QString path = m_dir.filePath(name);
        QDir().mkpath(path);
        return path;
    }

    // The one spool in a folder, found and held.
    std::vector<OrphanTake> findIn(const QString& dir) { return OrphanTake::find({dir.toStdString()}); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(QFile::exists(helperPath()), qPrintable(helperPath()));
    }

    void repairsKilledSpools_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::addColumn<bool>("rf64");
        QTest::addColumn<int>("headed");   // bytes the header knows of
        QTest::addColumn<int>("unheaded"); // bytes written behind the header's back
        QTest::addColumn<bool>("kill");
        QTest::addColumn<int>("frames"); // what repair must find

        // 44100 Hz stereo 16 bits: a quarter second is 44100 bytes.
        QTest::newRow("16-bit stereo, header a batch behind")
            << 2 << 44100 << 16 << true << 3 * 44100 << 44100 << true << 4 * 44100 / 4;
        QTest::newRow("16-bit stereo, header current") << 2 << 44100 << 16 << true << 44100 << 0 << true << 44100 / 4;
        QTest::newRow("16-bit stereo, three odd trailing bytes")
            << 2 << 32000 << 16 << true << 32000 << 32003 << true << 64000 / 4;
        QTest::newRow("16-bit mono, one odd trailing byte")
            << 1 << 22050 << 16 << true << 11024 << 5513 << true << 8268;
        QTest::newRow("8-bit mono, odd length, header behind")
            << 1 << 8000 << 8 << true << 2000 << 2001 << true << 4001;
        QTest::newRow("8-bit mono, odd length, header current") << 1 << 8000 << 8 << true << 4001 << 0 << true << 4001;
        QTest::newRow("8-bit stereo, odd trailing byte") << 2 << 11025 << 8 << true << 5512 << 2757 << true << 4134;
        QTest::newRow("RF64 header of a spool killed before its first batch, audio behind it")
            << 2 << 44100 << 16 << true << 0 << 17641 << true << 4410;
        QTest::newRow("plain PCM header with sizes 0, audio behind it")
            << 1 << 44100 << 16 << false << 0 << 88200 << true << 44100;
        QTest::newRow("plain PCM, header behind") << 2 << 16000 << 16 << false << 16000 << 16002 << true << 8000;
        QTest::newRow("plain PCM 8-bit mono, odd length behind")
            << 1 << 11025 << 8 << false << 1102 << 1101 << true << 2203;
        QTest::newRow("plain PCM 8-bit mono completed but never renamed")
            << 1 << 11025 << 8 << false << 2203 << 0 << false << 2203;
        QTest::newRow("completed but never renamed") << 2 << 44100 << 16 << true << 88200 << 0 << false << 22050;
        QTest::newRow("killed before its first batch") << 2 << 44100 << 16 << true << 0 << 0 << true << 0;
        QTest::newRow("plain PCM killed before its first batch (44 bytes)")
            << 2 << 44100 << 16 << false << 0 << 0 << true << 0;
        QTest::newRow("less than a frame behind an empty header") << 2 << 44100 << 16 << true << 0 << 3 << true << 0;
    }

    void repairsKilledSpools()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        QFETCH(bool, rf64);
        QFETCH(int, headed);
        QFETCH(int, unheaded);
        QFETCH(bool, kill);
        QFETCH(int, frames);
        const QString dir = folder(QStringLiteral("killed-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
        const QString path = dir + QStringLiteral("/take.wav.recording");
        const QByteArray written = noise(headed + unheaded, quint64(headed * 7 + unheaded));
        SpoolWrite how;
        how.channels = channels;
        how.rate = rate;
        how.bits = bits;
        how.rf64 = rf64;
        how.batch = rate * channels * bits / 8 / 4;
        how.headed = headed;
        how.kill = kill;
        QVERIFY(writeSpool(path, how, written));
        setModified(path, 1700000000);
        const QByteArray before = readFile(path);
        const qint64 headerSize = before.size() - written.size() - (!kill && (written.size() & 1));
        const QByteArray audio = written.left(qsizetype(frames) * channels * bits / 8);

        for (int pass = 0; pass < 2; ++pass) {
            // Twice: a repair that is cut short or a program that dies before the move repairs again,
            // and the second repair must find the file as the first one left it.
            std::vector<OrphanTake> found = findIn(dir);
            QCOMPARE(found.size(), size_t(1));
            OrphanTake& take = found.front();
            QCOMPARE(take.path(), path.toStdString());
            QCOMPARE(take.plannedName(), std::string("take.wav"));
            std::string error;
            QCOMPARE(take.repair(&error), frames > 0 ? OrphanTake::Verdict::Take : OrphanTake::Verdict::Empty);
            QCOMPARE(take.isEmpty(), frames == 0);
            QCOMPARE(take.frames(), quint64(frames));
            QCOMPARE(take.channels(), channels);
            QCOMPARE(take.sampleRate(), rate);
            QCOMPARE(take.bitsPerSample(), bits);
            QCOMPARE(take.formatTag(), rf64 ? 0xFFFE : 1);
            QCOMPARE(statOf(path).st_mtim.tv_sec, time_t(1700000000));
            QCOMPARE(statOf(path).st_mtim.tv_nsec, 0L);
            // The header written before the first batch is RF64; it is kept.
            const bool staysRf64 = before.startsWith("RF64");
            QCOMPARE(take.isRf64(), staysRf64);
            if (frames > 0) {
                checkRepaired(path, audio, channels, rate, bits, staysRf64, rf64 ? 0xFFFE : 1);
            } else {
                const QByteArray after = readFile(path);
                QCOMPARE(after.size(), headerSize);
                QCOMPARE(after.left(4), before.left(4));
            }
            if (QTest::currentTestFailed())
                return;
        }
    }

    void repairsCraftedLayouts_data()
    {
        QTest::addColumn<QByteArray>("crafted");
        QTest::addColumn<QByteArray>("expected"); // the file after repair, byte for byte
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("tag");
        QTest::addColumn<QByteArray>("audio"); // what every reader must get

        const QByteArray stereo = noise(4 * 3000, 1);
        const QByteArray junk = chunk("JUNK", QByteArray(24, '\0'));
        const QByteArray plain = chunk("fmt ", fmtPcm(2, 32000, 16));
        QTest::newRow("JUNK ahead of a plain PCM format, sizes 0")
            << wave("RIFF", 0, junk + plain, 0, stereo)
            << wave("RIFF", quint32(4 + junk.size() + plain.size() + 8 + stereo.size()), junk + plain,
                    quint32(stereo.size()), stereo)
            << 2 << 32000 << 16 << 1 << stereo;

        const QByteArray mono = noise(2 * 4001, 2);
        const QByteArray extensible = chunk("fmt ", fmtExtensible(1, 44100, 16)) + chunk("fact", le32(0));
        const QByteArray fixedExtensible = chunk("fmt ", fmtExtensible(1, 44100, 16)) + chunk("fact", le32(4001));
        QTest::newRow("extensible format with a fact chunk, sizes 0xFFFFFFFF, odd trailing byte")
            << wave("RIFF", 0xFFFFFFFF, junk + extensible, 0xFFFFFFFF, mono + "\x01")
            << wave("RIFF", quint32(4 + junk.size() + extensible.size() + 8 + mono.size()), junk + fixedExtensible,
                    quint32(mono.size()), mono)
            << 1 << 44100 << 16 << 0xFFFE << mono;

        const QByteArray rf64Stereo = noise(4 * 2500, 3);
        const QByteArray rf64Format = chunk("fmt ", fmtPcm(2, 22050, 16));
        const quint64 rf64Header = 12 + 36 + rf64Format.size() + 8;
        QTest::newRow("RF64, stale ds64, odd trailing bytes")
            << wave("RF64", 0xFFFFFFFF, chunk("ds64", ds64(1000, 400, 100)) + rf64Format, 0xFFFFFFFF, rf64Stereo + "xy")
            << wave("RF64", 0xFFFFFFFF,
                    chunk("ds64", ds64(rf64Header - 8 + rf64Stereo.size(), rf64Stereo.size(), 2500)) + rf64Format,
                    0xFFFFFFFF, rf64Stereo)
            << 2 << 22050 << 16 << 1 << rf64Stereo;

        const QByteArray rf64Mono = noise(3333, 4);
        const QByteArray u8Format = chunk("fmt ", fmtPcm(1, 8000, 8));
        const quint64 u8Header = 12 + 36 + u8Format.size() + 8;
        QTest::newRow("RF64, sizes 0, 8-bit mono of odd length")
            << wave("RF64", 0, chunk("ds64", ds64(0, 0, 0)) + u8Format, 0, rf64Mono)
            << wave("RF64", 0xFFFFFFFF, chunk("ds64", ds64(u8Header - 8 + 3334, 3333, 3333)) + u8Format, 0xFFFFFFFF,
                    rf64Mono + '\0')
            << 1 << 8000 << 8 << 1 << rf64Mono;

        // A header one 8-bit frame behind looks like a pad byte follows the audio, but its RIFF size
        // does not count that byte.
        const QByteArray behind = noise(2002, 14);
        QTest::newRow("8-bit mono, odd header one frame behind")
            << wave("RIFF", quint32(4 + u8Format.size() + 8 + 2001), u8Format, 2001, behind)
            << wave("RIFF", quint32(4 + u8Format.size() + 8 + 2002), u8Format, 2002, behind) << 1 << 8000 << 8 << 1
            << behind;

        // A take completed normally carries chunks behind its audio; they are not audio.
        const QByteArray list = chunk("LIST", QByteArray("INFOISFT") + le32(8) + "Trelvik\0");
        const QByteArray complete = wave("RIFF", quint32(4 + plain.size() + 8 + stereo.size() + list.size()), plain,
                                         quint32(stereo.size()), stereo, list);
        QTest::newRow("chunks behind complete audio") << complete << complete << 2 << 32000 << 16 << 1 << stereo;
        const QByteArray odd = noise(2001, 5);
        const QByteArray oddComplete =
            wave("RIFF", quint32(4 + u8Format.size() + 8 + 2002 + list.size()), u8Format, 2001, odd + '\0', list);
        QTest::newRow("chunks behind the pad byte of complete 8-bit mono audio")
            << oddComplete << oddComplete << 1 << 8000 << 8 << 1 << odd;

        // Behind a stale header, audio that starts like a chunk is still audio: the chunk's size
        // does not add up to the end of the file.
        const QByteArray lookalike = QByteArray("LIST") + le32(4000) + noise(3992, 6);
        const QByteArray stale = stereo + lookalike;
        QTest::newRow("audio behind a stale header that looks like a chunk")
            << wave("RIFF", quint32(4 + plain.size() + 8 + stereo.size()), plain, quint32(stereo.size()), stale)
            << wave("RIFF", quint32(4 + plain.size() + 8 + stale.size()), plain, quint32(stale.size()), stale) << 2
            << 32000 << 16 << 1 << stale;
    }

    void repairsCraftedLayouts()
    {
        QFETCH(QByteArray, crafted);
        QFETCH(QByteArray, expected);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        QFETCH(int, tag);
        QFETCH(QByteArray, audio);
        const QString dir = folder(QStringLiteral("crafted-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
        const QString path = dir + QStringLiteral("/take_3.wav.2.recording");
        QVERIFY(writeFile(path, crafted));
        std::vector<OrphanTake> found = findIn(dir);
        QCOMPARE(found.size(), size_t(1));
        QCOMPARE(found.front().plannedName(), std::string("take_3.wav"));
        std::string error;
        QCOMPARE(found.front().repair(&error), OrphanTake::Verdict::Take);
        QCOMPARE(found.front().frames(), quint64(audio.size() / (channels * bits / 8)));
        QCOMPARE(found.front().formatTag(), tag);
        const QByteArray repaired = readFile(path);
        COMPARE_BYTES(repaired, expected);
        const bool rf64 = crafted.startsWith("RF64");
        QCOMPARE(found.front().isRf64(), rf64);
        const Sound sound = readSound(path, bits);
        QVERIFY2(sound.opened, sf_strerror(nullptr));
        QCOMPARE(qint64(sound.info.frames), qint64(audio.size() / (channels * bits / 8)));
        COMPARE_BYTES(sound.audio, audio);
        if (!rf64)
            checkSoxi(path, audio.size() / (channels * bits / 8), channels, rate, bits);
        if (!rf64 && tag == 1 && !QTest::currentTestFailed())
            checkPythonWave(path, channels, rate, bits, audio);
    }

    void leavesWhatIsNotATakeAlone_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray format = chunk("fmt ", fmtPcm(2, 44100, 16));
        const QByteArray audio = noise(400, 7);
        QTest::newRow("text") << QByteArray("These are notes, not audio.\n");
        QTest::newRow("10 bytes") << QByteArray("RIFF\x24\0\0\0WA", 10);
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("RIFF but not WAVE") << (QByteArray("RIFF") + le32(412) + "AVI " + chunk("LIST", audio));
        QTest::newRow("RIFF of another form with wave chunks")
            << (QByteArray("RIFF") + le32(0) + "WAVX" + format + chunk("data", audio));
        QTest::newRow("no format chunk") << wave("RIFF", 0, chunk("JUNK", QByteArray(24, '\0')), 400, audio);
        QTest::newRow("format chunk after the audio")
            << (QByteArray("RIFF") + le32(0) + "WAVE" + chunk("data", audio) + format);
        QTest::newRow("no data chunk") << (QByteArray("RIFF") + le32(0) + "WAVE" + format + chunk("LIST", audio));
        QTest::newRow("format chunk running past the end")
            << (QByteArray("RIFF") + le32(0) + "WAVE" + "fmt " + le32(1000) + fmtPcm(2, 44100, 16));
        QTest::newRow("float") << wave("RIFF", 0, chunk("fmt ", fmtPcm(2, 44100, 32, 3)), 0, audio);
        QTest::newRow("extensible float") << wave("RIFF", 0, chunk("fmt ", fmtExtensible(2, 44100, 32, 3)), 0, audio);
        QTest::newRow("no channels") << wave("RIFF", 0, chunk("fmt ", fmtPcm(0, 44100, 16)), 0, audio);
        QTest::newRow("12 bits") << wave("RIFF", 0, chunk("fmt ", fmtPcm(1, 44100, 12)), 0, audio);
        QTest::newRow("no sample rate") << wave("RIFF", 0, chunk("fmt ", fmtPcm(1, 0, 16)), 0, audio);
        QByteArray badAlign = fmtPcm(2, 44100, 16);
        badAlign[12] = 3;
        QTest::newRow("frame size not from channels and bits") << wave("RIFF", 0, chunk("fmt ", badAlign), 0, audio);
        QTest::newRow("RF64 without ds64") << wave("RF64", 0xFFFFFFFF, format, 0xFFFFFFFF, audio);
    }

    void leavesWhatIsNotATakeAlone()
    {
        QFETCH(QByteArray, bytes);
        const QString dir = folder(QStringLiteral("other-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
        const QString path = dir + QStringLiteral("/trelvik-recording-Qx3Zb9.wav");
        QVERIFY(writeFile(path, bytes));
        setModified(path, 1600000000);
        std::vector<OrphanTake> found = findIn(dir);
        QCOMPARE(found.size(), size_t(1));
        QCOMPARE(found.front().plannedName(), std::string());
        QCOMPARE(found.front().repair(), OrphanTake::Verdict::NotATake);
        QCOMPARE(found.front().frames(), quint64(0));
        COMPARE_BYTES(readFile(path), bytes);
        QCOMPARE(statOf(path).st_mtim.tv_sec, time_t(1600000000));
    }

    // A spool that crossed 4 GiB whose recorder died before rewriting the header as RF64: the header
    // becomes RF64 in the room the JUNK chunk kept for it. A hole stands in for the gigabytes.
    void turnsAnOverflowingRiffIntoRf64()
    {
        const QString dir = folder(QStringLiteral("huge"));
        const QString path = dir + QStringLiteral("/huge.wav.recording");
        const QByteArray first = noise(4 * 4410, 8);
        SpoolWrite how;
        how.headed = first.size();
        QVERIFY(writeSpool(path, how, first));
        const QByteArray header = readFile(path).left(112);
        QCOMPARE(header.left(4), QByteArray("RIFF"));
        QCOMPARE(header.mid(12, 4), QByteArray("JUNK"));
        const qint64 tailAt = (qint64(1) << 32) + 4096;
        const QByteArray tail = noise(4 * 1000 + 1, 9);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            if (!file.resize(tailAt) || !file.seek(tailAt) || file.write(tail) != tail.size())
                QSKIP(qPrintable(QStringLiteral("the temporary folder cannot hold a sparse file of 4 GiB: %1")
                                     .arg(file.errorString())));
        }
        const qint64 frames = (tailAt + tail.size() - 112) / 4;

        std::vector<OrphanTake> found = findIn(dir);
        QCOMPARE(found.size(), size_t(1));
        std::string error;
        QCOMPARE(found.front().repair(&error), OrphanTake::Verdict::Take);
        QVERIFY(found.front().isRf64());
        QCOMPARE(qint64(found.front().frames()), frames);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.size(), 112 + frames * 4);
        const QByteArray head = file.read(112);
        QCOMPARE(head.left(4), QByteArray("RF64"));
        QCOMPARE(head.mid(12, 4), QByteArray("ds64"));
        QCOMPARE(u64At(head, 20), quint64(file.size() - 8));
        QCOMPARE(u64At(head, 28), quint64(frames * 4));
        QCOMPARE(u64At(head, 36), quint64(frames));
        QCOMPARE(head.mid(48, 48), header.mid(44, 48)); // the format chunk, moved
        QCOMPARE(head.mid(104, 4), QByteArray("data"));
        QCOMPARE(u32At(head, 108), 0xFFFFFFFFu);

        const Sound start = readSound(path, 16, 0, first.size());
        QVERIFY2(start.opened, sf_strerror(nullptr));
        QCOMPARE(start.info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
        QCOMPARE(qint64(start.info.frames), frames);
        COMPARE_BYTES(start.audio, first);
        const Sound end = readSound(path, 16, frames - 1000);
        COMPARE_BYTES(end.audio, tail.left(4000));

        // A header without that room cannot describe such a file: the take is left for a later try.
        const QString small = dir + QStringLiteral("/small.wav.recording");
        const QByteArray plain = wave("RIFF", 0, chunk("fmt ", fmtPcm(2, 44100, 16)), 0, first);
        QVERIFY(writeFile(small, plain));
        QVERIFY(::truncate(QFile::encodeName(small).constData(), tailAt) == 0);
        found.clear();
        found = findIn(dir);
        QCOMPARE(found.size(), size_t(2));
        OrphanTake& tooSmall = found[0].path() == small.toStdString() ? found[0] : found[1];
        QCOMPARE(tooSmall.repair(&error), OrphanTake::Verdict::Failed);
        QVERIFY2(error.find(std::strerror(EFBIG)) != std::string::npos, error.c_str());
        QFile unchanged(small);
        QVERIFY(unchanged.open(QIODevice::ReadOnly));
        QCOMPARE(unchanged.size(), tailAt);
        COMPARE_BYTES(unchanged.read(plain.size()), plain);
        found.clear();
        QFile::remove(path);
        QFile::remove(small);
    }

    void findsOnlyUnclaimedSpools()
    {
        const QString dir = folder(QStringLiteral("find"));
        const QString elsewhere = folder(QStringLiteral("find-elsewhere"));
        const QByteArray take = wave("RIFF", 0, chunk("fmt ", fmtPcm(1, 8000, 16)), 0, noise(1600, 10));
        // Spools, with times that put them in another order than their names.
        const QStringList spools = {QStringLiteral("take_3.wav.2.recording"),
                                    QStringLiteral("trelvik-recording-Ab3dE9.wav"), QStringLiteral("x.recording"),
                                    QStringLiteral("take.wav.recording")};
        const time_t times[] = {1700000300, 1700000100, 1700000200, 1700000000};
        for (int i = 0; i < spools.size(); ++i) {
            QVERIFY(writeFile(dir + '/' + spools[i], take));
            setModified(dir + '/' + spools[i], times[i]);
        }
        // Names a spool never has.
        for (const char* name : {"take.wav", "trelvik-recording-abc.wav", "trelvik-recording-Ab3d_9.wav",
                                 "trelvik-recording-Ab3dE9.wav.tmp", "take.recording.bak", ".recording", "recording"})
            QVERIFY(writeFile(dir + '/' + QLatin1String(name), take));
        // Things with a spool's name that are not files of their own.
        QVERIFY(writeFile(elsewhere + QStringLiteral("/target.wav.recording"), take));
        QVERIFY(
            QFile::link(elsewhere + QStringLiteral("/target.wav.recording"), dir + QStringLiteral("/link.recording")));
        QVERIFY(QDir().mkdir(dir + QStringLiteral("/folder.recording")));
        QVERIFY(::mkfifo(QFile::encodeName(dir + QStringLiteral("/pipe.recording")).constData(), 0644) == 0);

        QProcess recorder;
        const QString live = dir + QStringLiteral("/take.wav.recording");
        QVERIFY(holdLock(recorder, live));

        const std::string d = dir.toStdString();
        const std::vector<std::string> unclaimed = {d + "/trelvik-recording-Ab3dE9.wav", d + "/x.recording",
                                                    d + "/take_3.wav.2.recording"};
        {
            // The folder named three ways, and one that does not exist.
            std::vector<OrphanTake> found = OrphanTake::find({d, d + "/", d + "/.", d + "/missing"});
            QCOMPARE(paths(found), unclaimed);
            QCOMPARE(found[0].plannedName(), std::string());
            QCOMPARE(found[1].plannedName(), std::string("x"));
            QCOMPARE(found[2].plannedName(), std::string("take_3.wav"));
            QCOMPARE(found[2].modified().tv_sec, time_t(1700000300));
            // Held while in hand, against other programs and against a second search of this one.
            for (const std::string& path : unclaimed)
                QCOMPARE(tryLockElsewhere(QString::fromStdString(path)), 1);
            QVERIFY(OrphanTake::find({d}).empty());
            // The live recording's file is not touched.
            COMPARE_BYTES(readFile(live), take);
        }
        for (const std::string& path : unclaimed)
            QCOMPARE(tryLockElsewhere(QString::fromStdString(path)), 0);

        // Once its recorder is gone, its take is an orphan like the others, and the oldest.
        recorder.kill();
        QVERIFY(recorder.waitForFinished(10000));
        std::vector<std::string> all = unclaimed;
        all.insert(all.begin(), live.toStdString());
        QCOMPARE(paths(OrphanTake::find({d})), all);
    }

    // Two programs starting at the same moment share the spools out between them, each exactly once.
    void twoFindersNeverShareASpool()
    {
        const QString dir = folder(QStringLiteral("race"));
        const QByteArray take = wave("RIFF", 0, chunk("fmt ", fmtPcm(1, 8000, 8)), 0, noise(100, 11));
        QSet<QString> spools;
        for (int i = 0; i < 300; ++i) {
            const QString path = dir + QStringLiteral("/take_%1.wav.recording").arg(i);
            QVERIFY(writeFile(path, take));
            spools.insert(path);
        }
        for (int round = 0; round < 5; ++round) {
            QProcess finders[2];
            for (QProcess& finder : finders) {
                finder.start(helperPath(), {QStringLiteral("find"), dir});
                QVERIFY(finder.waitForStarted(10000) && finder.waitForReadyRead(10000));
                QCOMPARE(finder.readLine(), QByteArray("ready\n"));
            }
            for (QProcess& finder : finders)
                finder.write("go\n");
            QSet<QString> got[2];
            for (int i = 0; i < 2; ++i) {
                const QDeadlineTimer deadline(20000);
                QByteArray out;
                for (;;) {
                    out += finders[i].readAll();
                    if (out.endsWith("done\n") || deadline.hasExpired())
                        break;
                    finders[i].waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
                }
                QVERIFY2(out.endsWith("done\n"), out.constData());
                for (const QByteArray& line : out.split('\n'))
                    if (!line.isEmpty() && line != "done")
                        got[i].insert(QString::fromLocal8Bit(line));
            }
            QVERIFY2(!got[0].intersects(got[1]), qPrintable(QStringLiteral("round %1").arg(round)));
            QCOMPARE(got[0] + got[1], spools);
            for (QProcess& finder : finders) {
                finder.closeWriteChannel();
                QVERIFY(finder.waitForFinished(10000));
                QCOMPARE(finder.exitCode(), 0);
            }
        }
    }

    void claimsWithoutReplacing_data()
    {
        QTest::addColumn<bool>("noRenameFlags");
        QTest::addColumn<bool>("noHardLinks");
        QTest::newRow("rename without replacing") << false << false;
        QTest::newRow("no RENAME_NOREPLACE: link and unlink") << true << false;
        QTest::newRow("no RENAME_NOREPLACE, no hard links: exclusive copy") << true << true;
    }

    void claimsWithoutReplacing()
    {
        QFETCH(bool, noRenameFlags);
        QFETCH(bool, noHardLinks);
        const QString dir = folder(QStringLiteral("claim-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
        const QString spool = dir + QStringLiteral("/take.wav.recording");
        const QString destination = dir + QStringLiteral("/take.wav");
        const QByteArray audio = noise(4 * 1000, 12);
        const QByteArray crafted = wave("RIFF", 0, chunk("fmt ", fmtPcm(2, 44100, 16)), 0, audio + "z");
        QVERIFY(writeFile(spool, crafted));
        QVERIFY(writeFile(destination, "an earlier take"));
        QVERIFY(writeFile(dir + QStringLiteral("/empty.wav.recording"),
                          wave("RIFF", 0, chunk("fmt ", fmtPcm(2, 44100, 16)), 0, {})));

        std::vector<OrphanTake> found = findIn(dir);
        QCOMPARE(found.size(), size_t(2));
        OrphanTake& take = found[0].path() == spool.toStdString() ? found[0] : found[1];
        OrphanTake& empty = found[0].path() == spool.toStdString() ? found[1] : found[0];
        QCOMPARE(take.repair(), OrphanTake::Verdict::Take);
        const QByteArray repaired = readFile(spool);
        QCOMPARE(empty.repair(), OrphanTake::Verdict::Empty);
        const Refusals refusals(noRenameFlags, noHardLinks);

        std::error_code error;
        QVERIFY(!take.moveTo(destination.toStdString(), &error));
        QCOMPARE(error, std::make_error_code(std::errc::file_exists));
        COMPARE_BYTES(readFile(destination), QByteArray("an earlier take"));
        COMPARE_BYTES(readFile(spool), repaired);
        QCOMPARE(take.path(), spool.toStdString());
        QCOMPARE(tryLockElsewhere(spool), 1);

        QVERIFY(!take.moveTo((dir + QStringLiteral("/missing/take.wav")).toStdString(), &error));
        QCOMPARE(error, std::make_error_code(std::errc::no_such_file_or_directory));

        const QString next = dir + QStringLiteral("/take_1.wav");
        QVERIFY2(take.moveTo(next.toStdString(), &error), error.message().c_str());
        QVERIFY(!error);
        QCOMPARE(take.path(), next.toStdString());
        QVERIFY(!QFile::exists(spool));
        COMPARE_BYTES(readFile(next), repaired);
        checkRepaired(next, audio, 2, 44100, 16, false, 1);
        if (QTest::currentTestFailed())
            return;
        // A moved take is done with: it can be neither moved nor removed a second time.
        QVERIFY(!take.moveTo((dir + QStringLiteral("/again.wav")).toStdString(), &error));
        QVERIFY(!take.remove(&error));
        QVERIFY(QFile::exists(next));
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("empty.wav.recording"), QStringLiteral("take.wav"),
                              QStringLiteral("take_1.wav")}));

        QVERIFY(empty.remove(&error));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/empty.wav.recording")));
        found.clear();
        QVERIFY(findIn(dir).empty());
    }

    void claimsAcrossFileSystems_data()
    {
        QTest::addColumn<bool>("noHardLinks");
        QTest::newRow("copy linked into place") << false;
        QTest::newRow("no hard links: exclusive copy") << true;
    }

    void claimsAcrossFileSystems()
    {
        QFETCH(bool, noHardLinks);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
        const QString spoolDir = folder(QStringLiteral("tmpfs-") + tag);
        const QString destinationDir = folder(QStringLiteral("disk-") + tag);
        Tmpfs tmpfs;
        if (!tmpfs.mount(spoolDir))
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs to move from (%1); run as root to test a move "
                                            "between file systems")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        QVERIFY(statOf(spoolDir).st_dev != statOf(destinationDir).st_dev);
        const QString spool = spoolDir + QStringLiteral("/take.wav.recording");
        const QByteArray audio = noise(2 * 30001, 13);
        QVERIFY(writeFile(spool, wave("RIFF", 0, chunk("fmt ", fmtPcm(1, 22050, 16)), 0, audio + "\x05")));
        QVERIFY(::chmod(QFile::encodeName(spool).constData(), 0640) == 0);
        setModified(spool, 1650000000);
        const QString destination = destinationDir + QStringLiteral("/take.wav");
        QVERIFY(writeFile(destination, "an earlier take"));

        std::vector<OrphanTake> found = findIn(spoolDir);
        QCOMPARE(found.size(), size_t(1));
        OrphanTake& take = found.front();
        QCOMPARE(take.repair(), OrphanTake::Verdict::Take);
        const QByteArray repaired = readFile(spool);
        const Refusals refusals(false, noHardLinks);

        std::error_code error;
        QVERIFY(!take.moveTo(destination.toStdString(), &error));
        QCOMPARE(error, std::make_error_code(std::errc::file_exists));
        COMPARE_BYTES(readFile(destination), QByteArray("an earlier take"));
        COMPARE_BYTES(readFile(spool), repaired);
        // The copy that could not be linked into place is gone again.
        QCOMPARE(QDir(destinationDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("take.wav")});

        const QString next = destinationDir + QStringLiteral("/take_1.wav");
        QVERIFY2(take.moveTo(next.toStdString(), &error), error.message().c_str());
        QVERIFY(!QFile::exists(spool));
        COMPARE_BYTES(readFile(next), repaired);
        QCOMPARE(statOf(next).st_mode & 07777, mode_t(0640));
        QCOMPARE(statOf(next).st_mtim.tv_sec, time_t(1650000000));
        QCOMPARE(QDir(destinationDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("take.wav"), QStringLiteral("take_1.wav")}));
        checkRepaired(next, audio, 1, 22050, 16, false, 1);
    }
};

QTEST_GUILESS_MAIN(TestRecovery)
#include "test_recovery.moc"
