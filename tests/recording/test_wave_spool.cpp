// WaveSpool on its own, against real files: what reaches the file byte for byte, what is counted as
// lost, the header while the file grows, a plain PCM header that libsndfile, sox and Python's wave
// module all read, the switch to RF64, what the recovery makes of a killed program's spool, write
// faults the system really produces (a file-size limit, a full or read-only tmpfs), the spool's
// name and lock as other processes see them, and how a finished take reaches its name without
// replacing anything, also across file systems and after its folder was deleted.

#include "recording/recovery.h"
#include "recording/wave_spool.h"
#include "tests/recording/byte_compare.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
std::atomic<int> g_closesOfClosedDescriptors{0};

// One fdatasync() of this process: the file it forced out, how long that file was then, the thread
// that asked and when.
struct SyncCall {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    std::thread::id thread;
    std::chrono::steady_clock::time_point at;
};
std::mutex g_syncMutex;
std::vector<SyncCall> g_syncs;

// While set, renameat2() answers as a file system or kernel that knows none of its flags does, and
// link() as a file system without hard links.
std::atomic<bool> g_renameat2Unsupported{false};
std::atomic<int> g_renameat2Refused{0};
std::atomic<bool> g_linkUnsupported{false};
std::atomic<int> g_linkRefused{0};
} // namespace

// Every close() of this process passes through here. Closing a descriptor that is already closed
// is harmless only until another thread is handed the same number in between; this count lets a
// test see such a close without having to win that race.
extern "C" int close(int fd)
{
    const long result = syscall(SYS_close, fd);
    if (result < 0 && errno == EBADF)
        ++g_closesOfClosedDescriptors;
    return int(result);
}

// Whether the spool really forces its file to the disk cannot be seen from the file; the calls can.
extern "C" int fdatasync(int fd)
{
    SyncCall call;
    struct stat status {};
    if (::fstat(fd, &status) == 0) {
        call.device = status.st_dev;
        call.inode = status.st_ino;
        call.size = status.st_size;
    }
    call.thread = std::this_thread::get_id();
    call.at = std::chrono::steady_clock::now();
    const long result = syscall(SYS_fdatasync, fd);
    const int error = errno;
    {
        std::lock_guard lock(g_syncMutex);
        g_syncs.push_back(call);
    }
    errno = error;
    return int(result);
}

extern "C" int renameat2(int oldDir, const char* oldPath, int newDir, const char* newPath, unsigned int flags) noexcept
{
    if (g_renameat2Unsupported.load()) {
        ++g_renameat2Refused;
        errno = EINVAL;
        return -1;
    }
    return int(syscall(SYS_renameat2, oldDir, oldPath, newDir, newPath, flags));
}

extern "C" int link(const char* from, const char* to) noexcept
{
    if (g_linkUnsupported.load()) {
        ++g_linkRefused;
        errno = EPERM;
        return -1;
    }
    return int(syscall(SYS_link, from, to));
}

namespace {

using Bytes = std::vector<uint8_t>;

// Bytes that never repeat with any period a ring could have, so a block taken from the wrong place
// of the ring cannot pass for the right one.
Bytes pattern(size_t size, uint64_t seed)
{
    Bytes out(size);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    for (uint8_t& byte : out) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = uint8_t(state >> 32);
    }
    return out;
}

Bytes concat(std::initializer_list<const Bytes*> parts)
{
    Bytes out;
    for (const Bytes* part : parts)
        out.insert(out.end(), part->begin(), part->end());
    return out;
}

Bytes prefix(const Bytes& bytes, size_t size)
{
    return Bytes(bytes.begin(), bytes.begin() + std::min(size, bytes.size()));
}

WaveSpool::Format format(int channels, int rate, int bits)
{
    WaveSpool::Format f;
    f.channels = channels;
    f.rate = rate;
    f.bits = bits;
    return f;
}

template <typename Done> bool pollUntil(Done done, int timeoutMs = 10000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits until the writer has moved everything pushed so far to the file.
bool allWritten(const WaveSpool& spool)
{
    return pollUntil([&] { return spool.bytesWritten() == spool.bytesPushed() - spool.bytesLost(); });
}

// Hands data over in the given chunk sizes (taken in turn), never running further ahead of the
// writer than the ring holds, so nothing may be lost.
bool feedPaced(WaveSpool& spool, const Bytes& data, const std::vector<size_t>& chunks, size_t ring)
{
    size_t at = 0;
    for (size_t turn = 0; at < data.size(); ++turn) {
        const size_t chunk = std::min(chunks[turn % chunks.size()], data.size() - at);
        if (!pollUntil([&] { return spool.bytesPushed() - spool.bytesWritten() + chunk <= ring; }))
            return false;
        spool.push(data.data() + at, chunk);
        at += chunk;
    }
    return true;
}

uint32_t le32(const QByteArray& bytes, qsizetype at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | uint8_t(bytes[at + i]);
    return value;
}

uint64_t le64(const QByteArray& bytes, qsizetype at)
{
    return uint64_t(le32(bytes, at + 4)) << 32 | le32(bytes, at);
}

// A wave file as it lies on disk: its container, its format chunk, where its audio starts and how
// long the header says it is, and the audio as libsndfile reads it.
struct Wave {
    QByteArray head; // the first bytes of the file, for the fields looked at one by one
    QByteArray magic;
    qint64 fileSize = 0;
    uint32_t riffSize = 0;
    qint64 fmtOffset = -1; // the format chunk's body
    uint32_t fmtSize = 0;
    int formatTag = -1;
    qint64 dataOffset = -1;
    qint64 dataSize = -1;
    int lastByte = -1;
    bool opened = false; // libsndfile accepts it
    SF_INFO info{};
    Bytes audio;
};

// Reads at most maxAudio bytes of audio: a test file may be mostly a hole of several GiB.
Wave readWave(const QString& path, size_t maxAudio = size_t(64) << 20)
{
    Wave wave;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return wave;
    wave.fileSize = file.size();
    if (wave.fileSize > 0 && file.seek(wave.fileSize - 1)) {
        const QByteArray last = file.read(1);
        wave.lastByte = last.isEmpty() ? -1 : uint8_t(last[0]);
        file.seek(0);
    }
    const QByteArray head = file.read(4096);
    wave.head = head;
    if (head.size() < 12)
        return wave;
    wave.magic = head.left(4);
    wave.riffSize = le32(head, 4);
    uint64_t ds64DataSize = 0;
    for (qsizetype at = 12; at + 8 <= head.size();) {
        const QByteArray id = head.mid(at, 4);
        const uint32_t size = le32(head, at + 4);
        if (id == "ds64" && at + 32 <= head.size())
            ds64DataSize = le64(head, at + 16);
        if (id == "fmt " && at + 10 <= head.size()) {
            wave.fmtOffset = at + 8;
            wave.fmtSize = size;
            wave.formatTag = uint8_t(head[at + 8]) | uint8_t(head[at + 9]) << 8;
        }
        if (id == "data") {
            wave.dataOffset = at + 8;
            wave.dataSize = size == 0xFFFFFFFFu && wave.magic == "RF64" ? qint64(ds64DataSize) : qint64(size);
            break;
        }
        at += 8 + size + (size & 1);
    }

    SNDFILE* sound = sf_open(QFile::encodeName(path).constData(), SFM_READ, &wave.info);
    if (!sound)
        return wave;
    wave.opened = true;
    const int frameBytes = wave.info.channels * ((wave.info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_U8 ? 1 : 2);
    const size_t bytes = std::min(size_t(wave.info.frames) * size_t(frameBytes), maxAudio / frameBytes * frameBytes);
    wave.audio.resize(bytes);
    wave.audio.resize(size_t(std::max<sf_count_t>(0, sf_read_raw(sound, wave.audio.data(), sf_count_t(bytes)))));
    sf_close(sound);
    return wave;
}

// A small recording is a plain RIFF wave file with the plain PCM format tag: the sizes in its header
// match the file, and its audio is exactly what the spool wrote. Only a complete one ends in the pad
// byte that keeps an odd chunk an even length; while it is written, the next batch goes where that
// byte would be.
void checkWave(const Wave& wave, const WaveSpool::Format& f, const Bytes& expected, bool complete)
{
    QCOMPARE(wave.magic, QByteArray("RIFF"));
    QCOMPARE(wave.formatTag, 1);
    QCOMPARE(wave.fmtSize, 16u);
    QCOMPARE(le32(wave.head, wave.fmtOffset + 8), uint32_t(f.bytesPerSecond()));
    QCOMPARE(le32(wave.head, wave.fmtOffset + 12), uint32_t(f.bits) << 16 | uint32_t(f.frameBytes()));
    QCOMPARE(qint64(wave.riffSize), wave.fileSize - 8);
    QCOMPARE(wave.dataSize, qint64(expected.size()));
    // Nothing stray after the audio.
    QCOMPARE(wave.fileSize, wave.dataOffset + wave.dataSize + (complete ? wave.dataSize & 1 : 0));
    if (complete && (wave.dataSize & 1))
        QCOMPARE(wave.lastByte, 0);
    QVERIFY(wave.opened);
    QCOMPARE(wave.info.channels, f.channels);
    QCOMPARE(wave.info.samplerate, f.rate);
    QCOMPARE(wave.info.format & SF_FORMAT_SUBMASK, f.bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    QCOMPARE(qint64(wave.info.frames), qint64(expected.size() / f.frameBytes()));
    COMPARE_BYTES(wave.audio, expected);
}

void checkCompleteWave(const Wave& wave, const WaveSpool::Format& f, const Bytes& expected)
{
    checkWave(wave, f, expected, true);
}

struct Run {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QString& program, const QStringList& arguments)
{
    Run result;
    QProcess process;
    process.start(program, arguments);
    result.finished = process.waitForStarted(10000) && process.waitForFinished(60000);
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QString sha256(const Bytes& bytes)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArrayView(bytes.data(), qsizetype(bytes.size())), QCryptographicHash::Sha256)
            .toHex());
}

// What soxi and sox make of a RIFF wave file: the format, a header that fits the file (soxi warns on
// stderr otherwise), and, given expected, every sample in the file's own encoding. sox reads a file
// through instead of seeking, so a file of several GiB is left to soxi.
void checkSox(const QString& path, const WaveSpool::Format& f, qint64 frames, const Bytes* expected)
{
    const QString soxi = QStandardPaths::findExecutable(QStringLiteral("soxi"));
    const QString sox = QStandardPaths::findExecutable(QStringLiteral("sox"));
    if (soxi.isEmpty() || sox.isEmpty())
        QSKIP("sox and soxi (package sox) are missing");
    const Run samples = run(soxi, {QStringLiteral("-s"), path});
    QVERIFY2(samples.finished && samples.exitCode == 0, samples.err.constData());
    QCOMPARE(samples.err, QByteArray());
    QCOMPARE(samples.out.trimmed().toLongLong(), frames);
    const Run info = run(soxi, {path});
    QCOMPARE(info.exitCode, 0);
    QVERIFY2(info.out.contains("Channels       : " + QByteArray::number(f.channels)), info.out.constData());
    QVERIFY2(info.out.contains("Sample Rate    : " + QByteArray::number(f.rate)), info.out.constData());
    QVERIFY2(info.out.contains("Precision      : " + QByteArray::number(f.bits) + "-bit"), info.out.constData());
    if (!expected)
        return;
    const Run raw = run(sox, {path, QStringLiteral("-t"), QStringLiteral("raw"), QStringLiteral("-")});
    QVERIFY2(raw.finished && raw.exitCode == 0, raw.err.constData());
    QCOMPARE(raw.err, QByteArray());
    COMPARE_BYTES(Bytes(raw.out.begin(), raw.out.end()), *expected);
}

// Python's wave module knows nothing but the plain PCM tag and the RIFF container.
void checkPythonWave(const QString& path, const WaveSpool::Format& f, const Bytes& expected)
{
    if (!QFileInfo::exists(QStringLiteral("/usr/bin/python3")))
        QSKIP("Debian's /usr/bin/python3 is missing");
    const Run python = run(QStringLiteral("/usr/bin/python3"),
                           {QStringLiteral("-c"),
                            QStringLiteral("import hashlib, sys, wave\n"
                                           "w = wave.open(sys.argv[1], 'rb')\n"
                                           "n = w.getnframes()\n"
                                           "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), n,"
                                           " hashlib.sha256(w.readframes(n)).hexdigest())\n"),
                            path});
    QVERIFY2(python.finished && python.exitCode == 0, python.err.constData());
    QCOMPARE(QString::fromUtf8(python.out), QStringLiteral("%1 %2 %3 %4 %5\n")
                                                .arg(f.channels)
                                                .arg(f.bits / 8)
                                                .arg(f.rate)
                                                .arg(expected.size() / size_t(f.frameBytes()))
                                                .arg(sha256(expected)));
}

// A wave file below 4 GiB as every reader sees it: its bytes and libsndfile, sox, Python.
void checkEveryReader(const QString& path, const WaveSpool::Format& f, const Bytes& expected, bool complete)
{
    checkWave(readWave(path), f, expected, complete);
    if (QTest::currentTestFailed())
        return;
    checkSox(path, f, qint64(expected.size() / size_t(f.frameBytes())), &expected);
    if (QTest::currentTestFailed())
        return;
    checkPythonWave(path, f, expected);
}

// The count bytes of audio from frame `from` on, as libsndfile reads them.
Bytes audioAt(const QString& path, sf_count_t from, size_t count)
{
    SF_INFO info{};
    SNDFILE* sound = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!sound)
        return {};
    Bytes out(count);
    if (sf_seek(sound, from, SEEK_SET) != from)
        out.clear();
    else
        out.resize(size_t(std::max<sf_count_t>(0, sf_read_raw(sound, out.data(), sf_count_t(count)))));
    sf_close(sound);
    return out;
}

// A file past 4 GiB, mostly a hole, whose audio is to start with `start` and end with `end`, with
// dataBytes of it in all. The 64-bit sizes are in the ds64 chunk, where the JUNK chunk was, and the
// 32-bit fields say so; the audio has not moved. Only a complete file has the pad byte.
void checkRf64(const QString& path, const WaveSpool::Format& f, qint64 dataOffset, qint64 dataBytes, const Bytes& start,
               const Bytes& end, bool complete)
{
    const Wave wave = readWave(path, start.size());
    const QByteArray& head = wave.head;
    QCOMPARE(wave.magic, QByteArray("RF64"));
    QCOMPARE(le32(head, 4), 0xFFFFFFFFu);
    QCOMPARE(head.mid(8, 8), QByteArray("WAVEds64"));
    QCOMPARE(le32(head, 16), 28u);
    QCOMPARE(le64(head, 20), uint64_t(wave.fileSize - 8));
    QCOMPARE(le64(head, 28), uint64_t(dataBytes));
    QCOMPARE(le64(head, 36), uint64_t(dataBytes / f.frameBytes()));
    QCOMPARE(wave.formatTag, 1);
    QCOMPARE(wave.dataOffset, dataOffset);
    QCOMPARE(le32(head, dataOffset - 4), 0xFFFFFFFFu);
    QCOMPARE(wave.dataSize, dataBytes);
    QCOMPARE(wave.fileSize, dataOffset + dataBytes + (complete ? dataBytes & 1 : 0));
    if (complete && (dataBytes & 1))
        QCOMPARE(wave.lastByte, 0);

    QVERIFY2(wave.opened, sf_strerror(nullptr));
    QCOMPARE(wave.info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    QCOMPARE(wave.info.format & SF_FORMAT_SUBMASK, f.bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    const qint64 frames = dataBytes / f.frameBytes();
    QCOMPARE(qint64(wave.info.frames), frames);
    COMPARE_BYTES(wave.audio, start);
    const qint64 endFrames = qint64(end.size()) / f.frameBytes();
    COMPARE_BYTES(audioAt(path, frames - endFrames, end.size()), end);
    // sox counts the frames of an RF64 file by reading it through (a minute for these), and Python's
    // wave module knows no RF64: libsndfile speaks for the readers here.
}

// Makes the file at path at least size bytes long without writing them: a hole of gigabytes costs a
// few blocks. False when the file system cannot hold such a file.
bool extendSparsely(const QString& path, qint64 size)
{
    return ::truncate(QFile::encodeName(path).constData(), size) == 0;
}

bool appendTo(const QString& path, const Bytes& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append) &&
           file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden);
}

// A tmpfs of the test's own: full and read-only file systems are real faults a test can make.
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
    // False (and errno set) when the system refuses the mount, e.g. without root.
    bool mount(const QString& dir, const char* options, unsigned long flags = 0)
    {
        if (!QDir().mkpath(dir))
            return false;
        if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", flags, options) != 0)
            return false;
        m_dir = dir;
        return true;
    }
    // Gives the mounted file system other options, such as more room.
    bool remount(const char* options)
    {
        return !m_dir.isEmpty() &&
               ::mount("tmpfs", QFile::encodeName(m_dir).constData(), "tmpfs", MS_REMOUNT, options) == 0;
    }

private:
    QString m_dir;
};

// Fills the file system that holds dir to the last byte.
bool fill(const QString& dir)
{
    QFile filler(dir + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();
    return filler.size() > 0;
}

// A limit on the size of any file this process writes, with SIGXFSZ ignored so that writes past it
// fail with EFBIG instead of killing the test. Restored when it goes out of scope.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        m_set = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool isSet() const { return m_set; }

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = SIG_DFL;
    bool m_set = false;
};

// What another program finds at path when it tries the lock a recording program holds, from a
// process and an open file of its own: "free", "held" or "missing".
QString lockSeenByAnotherProcess(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    const pid_t child = ::fork();
    if (child < 0)
        return QStringLiteral("fork failed");
    if (child == 0) {
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            ::_exit(2);
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::_exit(0);
        ::_exit(errno == EWOULDBLOCK ? 1 : 3);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return QStringLiteral("the probe did not end");
    switch (WEXITSTATUS(status)) {
    case 0:
        return QStringLiteral("free");
    case 1:
        return QStringLiteral("held");
    case 2:
        return QStringLiteral("missing");
    default:
        return QStringLiteral("the lock failed otherwise");
    }
}

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

struct stat statOf(const QString& path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        status.st_ino = 0;
    return status;
}

// The fdatasync() calls made so far on the file with that identity.
std::vector<SyncCall> syncsOf(const struct stat& file)
{
    std::lock_guard lock(g_syncMutex);
    std::vector<SyncCall> calls;
    for (const SyncCall& call : g_syncs)
        if (call.device == file.st_dev && call.inode == file.st_ino)
            calls.push_back(call);
    return calls;
}

// Makes renameat2(), and link() when asked, answer as where they are not supported, while in scope.
class Unsupported {
public:
    explicit Unsupported(bool link)
    {
        g_renameat2Unsupported = true;
        g_linkUnsupported = link;
    }
    ~Unsupported()
    {
        g_renameat2Unsupported = false;
        g_linkUnsupported = false;
    }
    Unsupported(const Unsupported&) = delete;
    Unsupported& operator=(const Unsupported&) = delete;
};

} // namespace

class TestWaveSpool : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    // Every spool in these tests holds one second (88200 bytes) of its format: more than the ring's
    // smallest size, so the ring is exactly as long as that second.
    static constexpr size_t ring = 88200;

    QString freshFolder(const QString& name)
    {
        const QString folder = m_dir.filePath(name);
        if (!QDir().mkpath(folder))
            return QString();
        return folder;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void ringWrapsWithoutLoss_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("bufferSeconds");
        QTest::newRow("8-bit mono") << 1 << 44100 << 8 << 2;
        QTest::newRow("8-bit stereo") << 2 << 44100 << 8 << 1;
        QTest::newRow("16-bit mono") << 1 << 22050 << 16 << 2;
        QTest::newRow("16-bit stereo") << 2 << 22050 << 16 << 1;
    }

    void ringWrapsWithoutLoss()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        QFETCH(int, bufferSeconds);
        const WaveSpool::Format f = format(channels, rate, bits);
        QCOMPARE(size_t(bufferSeconds) * size_t(f.bytesPerSecond()), ring);
        const size_t frame = size_t(f.frameBytes());

        WaveSpool spool;
        std::string error;
        QVERIFY2(spool.open(m_dir.path().toStdString(), "take.wav", f, bufferSeconds, &error), error.c_str());
        QVERIFY(spool.isOpen());
        QCOMPARE(QFileInfo(QString::fromStdString(spool.path())).absolutePath(),
                 QFileInfo(m_dir.path()).absoluteFilePath());

        // Five rings and an odd remainder, in chunks of prime frame counts: no chunk divides the
        // ring, so chunks straddle its end at ever different places.
        const Bytes data = pattern(5 * ring + 37 * frame, 1);
        QVERIFY2(feedPaced(spool, data, {997 * frame, 1543 * frame, 211 * frame, 3001 * frame}, ring),
                 "the writer stopped draining the ring");
        QVERIFY(spool.close());
        QVERIFY(!spool.isOpen());
        QCOMPARE(spool.writeError(), 0);

        QCOMPARE(spool.bytesPushed(), uint64_t(data.size()));
        QCOMPARE(spool.bytesWritten(), uint64_t(data.size()));
        QCOMPARE(spool.bytesLost(), uint64_t(0));
        checkCompleteWave(readWave(QString::fromStdString(spool.path())), f, data);
    }

    void overflowIsCountedAndNeverSplitsAFrame_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::newRow("16-bit stereo") << 2 << 22050 << 16;
        QTest::newRow("16-bit mono") << 1 << 44100 << 16;
        QTest::newRow("8-bit stereo") << 2 << 44100 << 8;
    }

    void overflowIsCountedAndNeverSplitsAFrame()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        const WaveSpool::Format f = format(channels, rate, bits);
        QCOMPARE(size_t(f.bytesPerSecond()), ring);
        const size_t frame = size_t(f.frameBytes());
        std::string error;

        {
            // One push longer than the ring, ending in part of a frame: the ring takes what fits
            // and the rest, the part frame included, is lost.
            WaveSpool spool;
            QVERIFY2(spool.open(m_dir.path().toStdString(), "take.wav", f, 1, &error), error.c_str());
            const Bytes tooMuch = pattern(ring + 1000 * frame + 1, 2);
            spool.push(tooMuch.data(), tooMuch.size());
            QCOMPARE(spool.bytesPushed(), uint64_t(tooMuch.size()));
            QCOMPARE(spool.bytesLost(), uint64_t(tooMuch.size() - ring));
            QVERIFY(allWritten(spool));

            // With room again, a push of a frame and a half keeps one frame; what follows still
            // starts on a frame, so no channel or byte order is shifted.
            const Bytes oneAndAHalf = pattern(frame + frame / 2, 3);
            spool.push(oneAndAHalf.data(), oneAndAHalf.size());
            QCOMPARE(spool.bytesLost(), uint64_t(tooMuch.size() - ring + frame / 2));
            const Bytes after = pattern(500 * frame, 4);
            spool.push(after.data(), after.size());
            QVERIFY(spool.close());

            QCOMPARE(spool.bytesWritten(), uint64_t(ring + frame + after.size()));
            QCOMPARE(spool.bytesPushed(), spool.bytesWritten() + spool.bytesLost());
            const Bytes kept = prefix(tooMuch, ring);
            const Bytes firstFrame = prefix(oneAndAHalf, frame);
            checkCompleteWave(readWave(QString::fromStdString(spool.path())), f, concat({&kept, &firstFrame, &after}));
        }
        if (QTest::currentTestFailed())
            return;

        {
            // Pushes in a burst, faster than the writer drains: whatever each push lost, the file
            // holds exactly the parts that were taken, in order.
            WaveSpool spool;
            QVERIFY2(spool.open(m_dir.path().toStdString(), "take.wav", f, 1, &error), error.c_str());
            const Bytes burst = pattern(6 * ring, 5);
            const size_t chunk = 3 * ring / 4 + 3 * frame;
            Bytes taken;
            for (size_t at = 0; at < burst.size(); at += chunk) {
                const size_t size = std::min(chunk, burst.size() - at);
                const uint64_t lostBefore = spool.bytesLost();
                spool.push(burst.data() + at, size);
                const size_t kept = size - size_t(spool.bytesLost() - lostBefore);
                QCOMPARE(kept % frame, size_t(0));
                taken.insert(taken.end(), burst.begin() + at, burst.begin() + at + kept);
            }
            QVERIFY(spool.close());
            QCOMPARE(spool.bytesPushed(), uint64_t(burst.size()));
            QCOMPARE(spool.bytesWritten(), uint64_t(taken.size()));
            QCOMPARE(spool.bytesPushed(), spool.bytesWritten() + spool.bytesLost());
            checkCompleteWave(readWave(QString::fromStdString(spool.path())), f, taken);
        }
    }

    void silenceIsTrueSilence_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("silentByte");
        QTest::newRow("8-bit mono") << 1 << 88200 << 8 << 0x80;
        QTest::newRow("16-bit stereo") << 2 << 22050 << 16 << 0;
    }

    void silenceIsTrueSilence()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        QFETCH(int, silentByte);
        const WaveSpool::Format f = format(channels, rate, bits);
        QCOMPARE(size_t(f.bytesPerSecond()), ring);
        const size_t frame = size_t(f.frameBytes());

        WaveSpool spool;
        std::string error;
        QVERIFY2(spool.open(m_dir.path().toStdString(), "take.wav", f, 1, &error), error.c_str());
        // Sound up to 100 bytes before the end of the ring, so the gap wraps around it and lands on
        // ring memory that already held sound.
        const Bytes before = pattern(ring - 100, 6);
        spool.push(before.data(), before.size());
        QVERIFY(allWritten(spool));
        const size_t gap = 302; // not a whole number of stereo frames
        spool.pushSilence(gap);
        const Bytes after = pattern(4000, 7);
        spool.push(after.data(), after.size());
        QVERIFY(spool.close());

        const size_t silent = gap - gap % frame;
        QCOMPARE(spool.bytesLost(), uint64_t(gap % frame));
        QCOMPARE(spool.bytesPushed(), uint64_t(before.size() + gap + after.size()));
        const Bytes silence(silent, uint8_t(silentByte));
        checkCompleteWave(readWave(QString::fromStdString(spool.path())), f, concat({&before, &silence, &after}));
    }

    void fileIsPlayableWhileWritten()
    {
        const WaveSpool::Format f = format(2, 22050, 16);
        const Bytes first = pattern(3001 * 4, 8);
        const Bytes second = pattern(1543 * 4, 9);

        {
            WaveSpool spool;
            std::string error;
            QVERIFY2(spool.open(m_dir.path().toStdString(), "take.wav", f, 1, &error), error.c_str());
            const QString path = QString::fromStdString(spool.path());
            spool.push(first.data(), first.size());
            QVERIFY(allWritten(spool));
            QVERIFY(spool.bytesWritten() > 0);
            checkCompleteWave(readWave(path), f, first);
            if (QTest::currentTestFailed())
                return;

            // The header follows the file as it grows.
            spool.push(second.data(), second.size());
            QVERIFY(allWritten(spool));
            checkCompleteWave(readWave(path), f, concat({&first, &second}));
            QVERIFY(spool.close());
        }
        if (QTest::currentTestFailed())
            return;

        // A program killed while it records leaves a file that plays what had reached it.
        const QString folder = freshFolder(QStringLiteral("killed"));
        QVERIFY(!folder.isEmpty());
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            WaveSpool spool;
            if (!spool.open(folder.toStdString(), "take.wav", f, 1, nullptr))
                ::_exit(2);
            spool.push(first.data(), first.size());
            if (!allWritten(spool))
                ::_exit(3);
            ::raise(SIGKILL);
            ::_exit(4);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
                 qPrintable(QStringLiteral("the recording child ended with status %1").arg(status)));
        const QStringList left = filesIn(folder);
        QCOMPARE(left.size(), 1);
        checkCompleteWave(readWave(folder + QLatin1Char('/') + left.first()), f, first);
    }

    void everyFormatIsPlainPcm_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        for (int bits : {8, 16})
            for (int channels : {1, 2})
                for (int rate : {8000, 11025, 22050, 44100})
                    QTest::addRow("%d-bit %s %d Hz", bits, channels == 1 ? "mono" : "stereo", rate)
                        << channels << rate << bits;
    }

    // The format tag is read from the file's bytes; libsndfile, sox and Python's wave module, which
    // refuses anything but the plain PCM tag, all read every sample back: from a file still being
    // written, from a completed one and from one whose program was killed while recording.
    void everyFormatIsPlainPcm()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        const WaveSpool::Format f = format(channels, rate, bits);
        const size_t frame = size_t(f.frameBytes());
        // Odd frame counts: an 8-bit mono take has an odd data chunk, first while it is written and
        // again once it is complete.
        const Bytes first = pattern(4001 * frame, 23);
        const Bytes second = pattern(2998 * frame, 24);
        const QString folder = freshFolder(QStringLiteral("formats-%1-%2-%3").arg(bits).arg(channels).arg(rate));
        QVERIFY(!folder.isEmpty());

        {
            WaveSpool spool;
            std::string error;
            QVERIFY2(spool.open(folder.toStdString(), "take.wav", f, 1, &error), error.c_str());
            const QString path = QString::fromStdString(spool.path());
            spool.push(first.data(), first.size());
            QVERIFY(allWritten(spool));
            checkEveryReader(path, f, first, false);
            if (QTest::currentTestFailed())
                return;
            spool.push(second.data(), second.size());
            QVERIFY(spool.close());
            checkEveryReader(path, f, concat({&first, &second}), true);
            if (QTest::currentTestFailed())
                return;
        }

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            WaveSpool spool;
            if (!spool.open(folder.toStdString(), "killed.wav", f, 1, nullptr))
                ::_exit(2);
            spool.push(first.data(), first.size());
            if (!allWritten(spool))
                ::_exit(3);
            ::raise(SIGKILL);
            ::_exit(4);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
                 qPrintable(QStringLiteral("the recording child ended with status %1").arg(status)));
        checkEveryReader(folder + QStringLiteral("/killed.wav.recording"), f, first, false);
    }

    void killedSpoolIsRecovered_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::newRow("before its first batch") << QStringLiteral("opened") << 2 << 44100 << 16;
        QTest::newRow("mid-take, 16-bit stereo") << QStringLiteral("recording") << 2 << 44100 << 16;
        QTest::newRow("mid-take, 8-bit mono of odd length") << QStringLiteral("recording") << 1 << 8000 << 8;
        QTest::newRow("between a batch and its header, 8-bit mono") << QStringLiteral("unheaded") << 1 << 11025 << 8;
        QTest::newRow("between a batch and its header, 16-bit mono") << QStringLiteral("unheaded") << 1 << 22050 << 16;
        QTest::newRow("just after the switch to RF64") << QStringLiteral("switched") << 2 << 22050 << 16;
        QTest::newRow("past 4 GiB before the header switched") << QStringLiteral("unswitched") << 2 << 22050 << 16;
    }

    // What the recovery at the next start makes of the spool a killed program left: a take every
    // reader accepts, a plain PCM file below 4 GiB and RF64 past it. A program killed between writing
    // a batch and rewriting the header leaves audio behind the header's back; the test puts it there.
    void killedSpoolIsRecovered()
    {
        QFETCH(QString, stage);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        const WaveSpool::Format f = format(channels, rate, bits);
        const size_t frame = size_t(f.frameBytes());
        const QString folder = freshFolder(QStringLiteral("recover-%1-%2-%3").arg(stage).arg(channels).arg(bits));
        QVERIFY(!folder.isEmpty());
        const QString path = folder + QStringLiteral("/take.wav.recording");
        const bool huge = stage == QLatin1String("switched") || stage == QLatin1String("unswitched");
        const qint64 hole = (qint64(1) << 32) + 4096;
        const Bytes first = stage == QLatin1String("opened") ? Bytes() : pattern(3001 * frame, 25);
        // An odd length for 8-bit mono, also with the batch the header never learned of: the recovery
        // has to add the pad byte.
        const Bytes second = pattern(1544 * frame, 26);

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            WaveSpool spool;
            if (!spool.open(folder.toStdString(), "take.wav", f, 1, nullptr))
                ::_exit(2);
            spool.push(first.data(), first.size());
            if (!allWritten(spool))
                ::_exit(3);
            if (stage == QLatin1String("switched")) {
                if (!extendSparsely(QString::fromStdString(spool.path()), hole))
                    ::_exit(5);
                spool.push(second.data(), second.size());
                if (!allWritten(spool))
                    ::_exit(3);
            }
            ::raise(SIGKILL);
            ::_exit(4);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 5)
            QSKIP("the temporary folder cannot hold a sparse file of 4 GiB");
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
                 qPrintable(QStringLiteral("the recording child ended with status %1").arg(status)));
        const qint64 dataOffset = readWave(path, 0).dataOffset;
        QVERIFY(dataOffset > 0);
        if (stage == QLatin1String("unswitched") && !extendSparsely(path, hole))
            QSKIP("the temporary folder cannot hold a sparse file of 4 GiB");
        if (stage == QLatin1String("unheaded") || stage == QLatin1String("unswitched"))
            QVERIFY(appendTo(path, second));
        if (stage == QLatin1String("switched"))
            checkRf64(path, f, dataOffset, hole - dataOffset + qint64(second.size()), first, second, false);
        if (QTest::currentTestFailed())
            return;

        Bytes audio;
        if (stage == QLatin1String("recording"))
            audio = first;
        else if (stage == QLatin1String("unheaded"))
            audio = concat({&first, &second});
        const qint64 dataBytes = huge ? hole - dataOffset + qint64(second.size()) : qint64(audio.size());
        {
            std::vector<OrphanTake> found = OrphanTake::find({folder.toStdString()});
            QCOMPARE(found.size(), size_t(1));
            OrphanTake& take = found.front();
            QCOMPARE(take.path(), path.toStdString());
            QCOMPARE(take.plannedName(), std::string("take.wav"));
            std::string error;
            QCOMPARE(take.repair(&error), dataBytes > 0 ? OrphanTake::Verdict::Take : OrphanTake::Verdict::Empty);
            QCOMPARE(take.formatTag(), 1);
            QCOMPARE(take.isRf64(), huge);
            QCOMPARE(take.channels(), channels);
            QCOMPARE(take.sampleRate(), rate);
            QCOMPARE(take.bitsPerSample(), bits);
            QCOMPARE(qint64(take.frames()), dataBytes / qint64(frame));
        }
        if (huge) {
            checkRf64(path, f, dataOffset, dataBytes, first, second, true);
            QFile::remove(path);
        } else {
            checkEveryReader(path, f, audio, true);
        }
    }

    void writeFailureIsReported_data()
    {
        QTest::addColumn<bool>("fullFileSystem");
        QTest::newRow("file size limit") << false;
        QTest::newRow("full file system") << true;
    }

    void writeFailureIsReported()
    {
        QFETCH(bool, fullFileSystem);
        // The file cannot grow past this many bytes, header included.
        const qint64 limit = 64 * 1024;
        const WaveSpool::Format f = format(2, 22050, 16);

        QString folder = m_dir.path();
        Tmpfs tmpfs;
        std::unique_ptr<FileSizeLimit> sizeLimit;
        if (fullFileSystem) {
            folder = m_dir.filePath(QStringLiteral("full"));
            if (!tmpfs.mount(folder, "size=64k,mode=0700"))
                QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs to fill (%1); run as root to test a full "
                                                "file system")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        } else {
            sizeLimit = std::make_unique<FileSizeLimit>(rlim_t(limit));
            QVERIFY(sizeLimit->isSet());
        }

        WaveSpool spool;
        std::atomic<int> calls{0};
        std::atomic<int> reported{0};
        std::atomic<bool> onCallersThread{false};
        const std::thread::id caller = std::this_thread::get_id();
        spool.setFailureCallback([&](int why) {
            reported = why;
            onCallersThread = onCallersThread || std::this_thread::get_id() == caller;
            ++calls;
        });
        std::string error;
        QVERIFY2(spool.open(folder.toStdString(), "take.wav", f, 1, &error), error.c_str());
        const QString path = QString::fromStdString(spool.path());
        QCOMPARE(spool.writeError(), 0);

        // More than the file can take, in one push that fits the ring.
        const Bytes data = pattern(80000, 10);
        uint64_t pushed = data.size();
        spool.push(data.data(), data.size());
        QVERIFY(pollUntil([&] { return spool.bytesWritten() > 0; }));
        const qint64 dataOffset = readWave(path, 0).dataOffset;
        QVERIFY(dataOffset > 0);
        QVERIFY2(pollUntil([&] { return qint64(spool.bytesWritten()) == limit - dataOffset; }),
                 qPrintable(QStringLiteral("%1 bytes written").arg(spool.bytesWritten())));

        // Told while the recording runs, not only at its end, with the reason the system gave.
        const int expected = fullFileSystem ? ENOSPC : EFBIG;
        QVERIFY2(pollUntil([&] { return calls.load() > 0; }), "the failed write was not reported");
        QCOMPARE(reported.load(), expected);
        QCOMPARE(spool.writeError(), expected);

        // Then the room comes back (files deleted, a limit lifted). The take still ends where the
        // failure cut it: audio written now would join parts that were never next to each other.
        if (fullFileSystem)
            QVERIFY(tmpfs.remount("size=1m,mode=0700"));
        else
            sizeLimit.reset();

        // The writer keeps emptying the ring after the failure: three times over, a whole ring's
        // worth is taken in one push. A spool that held on to what it could not write would lose
        // these, and one that grew its buffer instead would not be constant in memory.
        const Bytes fullRing = pattern(ring, 11);
        for (int round = 0; round < 3; ++round) {
            const bool taken = pollUntil([&] {
                const uint64_t lostBefore = spool.bytesLost();
                spool.push(fullRing.data(), fullRing.size());
                pushed += fullRing.size();
                return spool.bytesLost() == lostBefore;
            });
            QVERIFY2(taken, qPrintable(QStringLiteral("round %1: the ring is not emptied any more").arg(round)));
        }
        QCOMPARE(qint64(spool.bytesWritten()), limit - dataOffset);

        QVERIFY2(!spool.close(), "close() reports success although writes failed");
        QCOMPARE(spool.bytesPushed(), pushed);
        QCOMPARE(calls.load(), 1);
        QVERIFY2(!onCallersThread.load(), "the failure was reported on the thread that pushes and closes");
        QCOMPARE(spool.writeError(), expected);
        // Still a valid wave file, with what fitted.
        const Wave wave = readWave(path);
        QCOMPARE(wave.fileSize, limit);
        checkCompleteWave(wave, f, prefix(data, size_t(limit - dataOffset)));
    }

    void switchesToRf64PastFourGiB()
    {
        // A hole makes the file pass 4 GiB at the cost of a few blocks: the spool puts its audio
        // behind whatever the file holds, and its header counts all of it.
        const WaveSpool::Format f = format(2, 22050, 16);
        WaveSpool spool;
        std::string error;
        QVERIFY2(spool.open(m_dir.path().toStdString(), "take.wav", f, 1, &error), error.c_str());
        const QString path = QString::fromStdString(spool.path());
        const Bytes first = pattern(997 * 4, 12);
        spool.push(first.data(), first.size());
        QVERIFY(allWritten(spool));
        const Wave small = readWave(path);
        checkWave(small, f, first, false);
        // The room the 64-bit sizes will need is kept from the start, so the audio never moves.
        QCOMPARE(small.head.mid(12, 4), QByteArray("JUNK"));
        QCOMPARE(le32(small.head, 16), 28u);

        const qint64 huge = (qint64(1) << 32) + 4096;
        if (!extendSparsely(path, huge))
            QSKIP(qPrintable(QStringLiteral("the temporary folder cannot hold a sparse file of 4 GiB: %1")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        const Bytes second = pattern(1543 * 4, 13);
        spool.push(second.data(), second.size());
        QVERIFY(allWritten(spool));
        for (int pass = 0; pass < 2; ++pass) {
            // Once while it is written, once completed: nothing before the switch or after it is lost.
            checkRf64(path, f, small.dataOffset, huge - small.dataOffset + qint64(second.size()), first, second,
                      pass == 1);
            if (QTest::currentTestFailed())
                return;
            if (pass == 0)
                QVERIFY(spool.close());
        }
        QFile::remove(path);

        // 8-bit mono, where the pad byte of an odd chunk counts: a RIFF header holds sizes up to
        // 0xFFFFFFFE (0xFFFFFFFF is what RF64 writes instead of a size), and the file becomes RF64 at
        // the first frame it cannot describe, the pad byte it is going to end with included.
        const WaveSpool::Format u8 = format(1, 8000, 8);
        WaveSpool edge;
        QVERIFY2(edge.open(m_dir.path().toStdString(), "edge.wav", u8, 1, &error), error.c_str());
        const QString edgePath = QString::fromStdString(edge.path());
        const Bytes x = pattern(1, 27), y = {0x11}, z = {0x22};
        edge.push(x.data(), x.size());
        QVERIFY(allWritten(edge));
        const qint64 offset = readWave(edgePath, 0).dataOffset;
        const qint64 largest = qint64(0xFFFFFFFEu) - (offset - 8); // the largest data chunk of a RIFF file
        QVERIFY(extendSparsely(edgePath, offset + largest - 1));
        edge.push(y.data(), y.size());
        QVERIFY(allWritten(edge));
        {
            const Wave riff = readWave(edgePath, 1);
            QCOMPARE(riff.magic, QByteArray("RIFF"));
            QCOMPARE(riff.riffSize, 0xFFFFFFFEu);
            QCOMPARE(riff.dataSize, largest);
            QCOMPARE(riff.fileSize, offset + largest);
            QCOMPARE(riff.formatTag, 1);
            QVERIFY2(riff.opened, sf_strerror(nullptr));
            QCOMPARE(qint64(riff.info.frames), largest);
            COMPARE_BYTES(riff.audio, x);
            COMPARE_BYTES(audioAt(edgePath, largest - 1, 1), y);
            checkSox(edgePath, u8, largest, nullptr);
            if (QTest::currentTestFailed())
                return;
            const Run python =
                run(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-c"),
                     QStringLiteral("import sys, wave\nw = wave.open(sys.argv[1])\nw.setpos(w.getnframes() - 1)\n"
                                    "print(w.getnframes(), w.readframes(1).hex())"),
                     edgePath});
            QVERIFY2(python.finished && python.exitCode == 0, python.err.constData());
            QCOMPARE(python.out, QByteArray::number(largest) + " 11\n");
        }
        edge.push(z.data(), z.size());
        QVERIFY(allWritten(edge));
        const Bytes yz = concat({&y, &z});
        checkRf64(edgePath, u8, offset, largest + 1, x, yz, false);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(edge.close());
        checkRf64(edgePath, u8, offset, largest + 1, x, yz, true);
        QFile::remove(edgePath);
    }

    void openRefusals_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("missing folder") << QStringLiteral("missing");
        QTest::newRow("not a folder") << QStringLiteral("file");
        QTest::newRow("read-only folder") << QStringLiteral("read-only");
        QTest::newRow("no room for the header") << QStringLiteral("size limit");
        QTest::newRow("full file system") << QStringLiteral("full");
    }

    void openRefusals()
    {
        QFETCH(QString, fault);
        const WaveSpool::Format f = format(2, 22050, 16);
        QString folder =
            m_dir.filePath(QStringLiteral("refusal-") + QString(fault).replace(QLatin1Char(' '), QLatin1Char('-')));
        Tmpfs tmpfs;
        std::unique_ptr<FileSizeLimit> sizeLimit;
        bool namesFolder = true;
        if (fault == QLatin1String("file")) {
            QFile file(folder);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (fault == QLatin1String("read-only")) {
            if (!tmpfs.mount(folder, "size=64k", MS_RDONLY)) {
                // Without root a plain folder without write permission does; root ignores those.
                QVERIFY(QDir().mkpath(folder));
                if (::geteuid() == 0)
                    QSKIP("root may write into any folder and the system refuses a read-only tmpfs mount");
                QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
            }
        } else if (fault == QLatin1String("size limit")) {
            QVERIFY(QDir().mkpath(folder));
            sizeLimit = std::make_unique<FileSizeLimit>(16);
            QVERIFY(sizeLimit->isSet());
            namesFolder = false;
        } else if (fault == QLatin1String("full")) {
            if (!tmpfs.mount(folder, "size=64k"))
                QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs to fill (%1); run as root to test a full "
                                                "file system")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)))));
            QVERIFY(fill(folder));
            namesFolder = false;
        }
        const QStringList before = QFileInfo(folder).isDir() ? filesIn(folder) : QStringList();

        WaveSpool spool;
        std::string error;
        const int badClosesBefore = g_closesOfClosedDescriptors.load();
        const bool opened = spool.open(folder.toStdString(), "take.wav", f, 1, &error);
        const int badCloses = g_closesOfClosedDescriptors.load() - badClosesBefore;
        sizeLimit.reset();
        QVERIFY(!opened);
        QVERIFY(!spool.isOpen());
        QVERIFY2(!error.empty(), "no reason given");
        if (namesFolder)
            QVERIFY2(error.find(folder.toStdString()) != std::string::npos, error.c_str());
        QCOMPARE(badCloses, 0);
        // No half-made file is left behind.
        if (QFileInfo(folder).isDir())
            QCOMPARE(filesIn(folder), before);
        // A spool that did not open takes nothing.
        const Bytes data = pattern(400, 14);
        spool.push(data.data(), data.size());
        QCOMPARE(spool.bytesPushed(), uint64_t(0));
        QVERIFY(!spool.close());
    }

    void secondOpenIsRefused()
    {
        const WaveSpool::Format f = format(2, 22050, 16);
        const QString folder = freshFolder(QStringLiteral("second-open"));
        QVERIFY(!folder.isEmpty());
        WaveSpool spool;
        std::string error;
        QVERIFY2(spool.open(folder.toStdString(), "take.wav", f, 1, &error), error.c_str());
        const std::string path = spool.path();

        error.clear();
        QVERIFY(!spool.open(folder.toStdString(), "take.wav", format(1, 8000, 8), 1, &error));
        QVERIFY2(!error.empty(), "no reason given");
        QVERIFY(spool.isOpen());
        QCOMPARE(spool.path(), path);
        QCOMPARE(filesIn(folder).size(), 1);

        // The first recording goes on in its own format.
        const Bytes data = pattern(2000 * 4, 15);
        spool.push(data.data(), data.size());
        QVERIFY(spool.close());
        checkCompleteWave(readWave(QString::fromStdString(path)), f, data);

        // Closed but not yet in place, the take is still this spool's: a new one would lose track
        // of it.
        error.clear();
        QVERIFY(!spool.open(folder.toStdString(), "take.wav", f, 1, &error));
        QVERIFY2(!error.empty(), "no reason given");
        QVERIFY(spool.isHeld());
        QCOMPARE(spool.path(), path);
        QCOMPARE(filesIn(folder).size(), 1);
    }

    void spoolIsNamedAfterItsTakeAndReplacesNothing()
    {
        const WaveSpool::Format f = format(2, 22050, 16);
        const QString folder = freshFolder(QStringLiteral("naming"));
        QVERIFY(!folder.isEmpty());
        std::string error;

        WaveSpool first;
        QVERIFY2(first.open(folder.toStdString() + "/", "take.wav", f, 1, &error), error.c_str());
        QCOMPARE(QString::fromStdString(first.path()), folder + QStringLiteral("/take.wav.recording"));
        WaveSpool second;
        QVERIFY2(second.open(folder.toStdString(), "take.wav", f, 1, &error), error.c_str());
        QCOMPARE(QString::fromStdString(second.path()), folder + QStringLiteral("/take.wav.1.recording"));

        // Names already taken by a file (perhaps another program's take), a symbolic link to
        // nowhere and a folder are passed over; none of them is opened, followed or changed.
        const QString taken = folder + QStringLiteral("/take_3.wav.recording");
        QVERIFY(writeFile(taken, "another program's take"));
        const QString planted = folder + QStringLiteral("/planted");
        QVERIFY(QFile::link(planted, folder + QStringLiteral("/take_3.wav.1.recording")));
        QVERIFY(QDir().mkdir(folder + QStringLiteral("/take_3.wav.2.recording")));
        // The spool becomes the recording: a new file's permissions, not a temporary file's.
        const mode_t previousMask = ::umask(027);
        WaveSpool third;
        const bool opened = third.open(folder.toStdString(), "take_3.wav", f, 1, &error);
        ::umask(previousMask);
        QVERIFY2(opened, error.c_str());
        QCOMPARE(QString::fromStdString(third.path()), folder + QStringLiteral("/take_3.wav.3.recording"));
        QCOMPARE(contentOf(taken), QByteArray("another program's take"));
        QVERIFY(!QFileInfo::exists(planted));
        QVERIFY(QFileInfo(folder + QStringLiteral("/take_3.wav.1.recording")).isSymLink());
        QCOMPARE(statOf(QString::fromStdString(third.path())).st_mode & 07777, mode_t(0640));

        // A take's name may be as long as the system allows; its spool's name may not be longer.
        const QString longName = QStringLiteral("x") + QString(124, QChar(0x00E9)) + QStringLiteral(".wav");
        QCOMPARE(QFile::encodeName(longName).size(), 253);
        WaveSpool longer;
        QVERIFY2(longer.open(folder.toStdString(), QFile::encodeName(longName).toStdString(), f, 1, &error),
                 error.c_str());
        const QString longSpool = QFileInfo(QString::fromStdString(longer.path())).fileName();
        QVERIFY2(longSpool.endsWith(QStringLiteral(".wav.recording")), qPrintable(longSpool));
        QVERIFY(longSpool.startsWith(QStringLiteral("x") + QString(100, QChar(0x00E9))));
        QVERIFY2(!longSpool.contains(QChar::ReplacementCharacter), "a character was cut in two");
        QVERIFY(longer.discard());

        // Only a file name will do: the folder is given on its own.
        const QStringList before = filesIn(folder);
        for (const char* name : {"", ".", "..", "sub/take.wav"}) {
            WaveSpool refused;
            error.clear();
            QVERIFY2(!refused.open(folder.toStdString(), name, f, 1, &error), name);
            QVERIFY2(!error.empty(), name);
            QVERIFY(!refused.isHeld());
        }
        QCOMPARE(filesIn(folder), before);

        // Every spool is a wave file of its own.
        const Bytes data = pattern(997 * 4, 16);
        third.push(data.data(), data.size());
        QVERIFY(third.close());
        checkCompleteWave(readWave(QString::fromStdString(third.path())), f, data);
    }

    void spoolIsLockedWhileItsTakeIsInProgress()
    {
        const WaveSpool::Format f = format(2, 22050, 16);
        const QString folder = freshFolder(QStringLiteral("lock"));
        QVERIFY(!folder.isEmpty());
        const Bytes data = pattern(1543 * 4, 17);
        std::string error;

        {
            // Held from the start to the take's final name, also once the writer is done with the file.
            WaveSpool spool;
            QVERIFY2(spool.open(folder.toStdString(), "moved.wav", f, 1, &error), error.c_str());
            const QString path = QString::fromStdString(spool.path());
            QCOMPARE(lockSeenByAnotherProcess(path), QStringLiteral("held"));
            spool.push(data.data(), data.size());
            QVERIFY(spool.close());
            QCOMPARE(lockSeenByAnotherProcess(path), QStringLiteral("held"));
            const QString target = folder + QStringLiteral("/moved.wav");
            QVERIFY2(spool.moveTo(target.toStdString(), &error), error.c_str());
            QCOMPARE(lockSeenByAnotherProcess(path), QStringLiteral("missing"));
            QCOMPARE(lockSeenByAnotherProcess(target), QStringLiteral("free"));
            QVERIFY(!spool.isHeld());
            QCOMPARE(QString::fromStdString(spool.path()), target);
        }
        {
            // Given up: left for a later recovery, which may take it at once. A program started
            // meanwhile does not hold on to the lock.
            WaveSpool spool;
            QVERIFY2(spool.open(folder.toStdString(), "released.wav", f, 1, &error), error.c_str());
            const QString path = QString::fromStdString(spool.path());
            QProcess child;
            child.start(QStringLiteral("sleep"), {QStringLiteral("60")});
            QVERIFY(child.waitForStarted(5000));
            spool.push(data.data(), data.size());
            spool.release();
            const QString seen = lockSeenByAnotherProcess(path);
            child.kill();
            child.waitForFinished(5000);
            QCOMPARE(seen, QStringLiteral("free"));
            QVERIFY(!spool.isHeld());
            checkCompleteWave(readWave(path), f, data);
        }
        if (QTest::currentTestFailed())
            return;
        {
            // Dropped without a word while recording: kept too, never deleted.
            QString path;
            {
                WaveSpool spool;
                QVERIFY2(spool.open(folder.toStdString(), "dropped.wav", f, 1, &error), error.c_str());
                path = QString::fromStdString(spool.path());
                spool.push(data.data(), data.size());
            }
            QCOMPARE(lockSeenByAnotherProcess(path), QStringLiteral("free"));
            checkCompleteWave(readWave(path), f, data);
        }
        if (QTest::currentTestFailed())
            return;
        {
            // A start that failed before anything was recorded leaves nothing to recover.
            const QStringList before = filesIn(folder);
            WaveSpool spool;
            QVERIFY2(spool.open(folder.toStdString(), "discarded.wav", f, 1, &error), error.c_str());
            const QString path = QString::fromStdString(spool.path());
            QVERIFY(spool.discard());
            QVERIFY(!QFileInfo::exists(path));
            QVERIFY(!spool.isHeld());
            QCOMPARE(filesIn(folder), before);
        }
        {
            // Another process records; while it lives its take is held, and once it is killed the
            // take is free for whoever recovers it.
            int ready[2];
            QVERIFY(::pipe(ready) == 0);
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                ::close(ready[0]);
                WaveSpool spool;
                if (!spool.open(folder.toStdString(), "killed.wav", f, 1, nullptr))
                    ::_exit(2);
                spool.push(data.data(), data.size());
                if (!allWritten(spool))
                    ::_exit(3);
                const std::string line = spool.path() + "\n";
                if (::write(ready[1], line.data(), line.size()) != ssize_t(line.size()))
                    ::_exit(4);
                for (;;)
                    ::pause();
            }
            ::close(ready[1]);
            QByteArray line;
            char c = 0;
            while (::read(ready[0], &c, 1) == 1 && c != '\n')
                line += c;
            ::close(ready[0]);
            const QString path = QFile::decodeName(line);
            const QString whileAlive = lockSeenByAnotherProcess(path);
            ::kill(child, SIGKILL);
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY2(WIFSIGNALED(status), qPrintable(QStringLiteral("the recording child ended with status %1")
                                                         .arg(WIFEXITED(status) ? WEXITSTATUS(status) : -1)));
            QVERIFY(!path.isEmpty());
            QCOMPARE(whileAlive, QStringLiteral("held"));
            QCOMPARE(lockSeenByAnotherProcess(path), QStringLiteral("free"));
            checkCompleteWave(readWave(path), f, data);
        }
    }

    void writtenAudioReachesTheDiskEverySyncInterval()
    {
        // Observed through the fdatasync() calls of this process (see above): the file named, the
        // size it had then, the thread and the time of each.
        const WaveSpool::Format f = format(2, 22050, 16);
        const QString folder = freshFolder(QStringLiteral("sync"));
        QVERIFY(!folder.isEmpty());
        // Calls on earlier tests' files are forgotten: the new file may get the inode number of one
        // of those, deleted since.
        {
            std::lock_guard lock(g_syncMutex);
            g_syncs.clear();
        }
        WaveSpool spool;
        std::string error;
        QVERIFY2(spool.open(folder.toStdString(), "take.wav", f, 1, &error), error.c_str());
        const QString path = QString::fromStdString(spool.path());
        const struct stat file = statOf(path);
        QVERIFY(file.st_ino != 0);
        const std::thread::id caller = std::this_thread::get_id();
        const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(WaveSpool::syncInterval);

        // Nothing arrives: nothing is forced, however long the spool waits.
        QVERIFY2(!pollUntil([&] { return !syncsOf(file).empty(); }, int((interval + interval / 5).count())),
                 "an idle spool forced its file to the disk");

        // The first audio after that is forced out as soon as it is written.
        const Bytes first = pattern(3001 * 4, 18);
        spool.push(first.data(), first.size());
        QVERIFY2(pollUntil([&] { return !syncsOf(file).empty(); }), "written audio never reached the disk");
        const SyncCall one = syncsOf(file).front();
        QVERIFY2(one.thread != caller, "the producer's thread waited for the disk");
        QVERIFY2(one.size >= qint64(first.size()), qPrintable(QStringLiteral("forced at %1 bytes").arg(one.size)));

        // More audio right after is written at once but forced only a sync interval later, and then
        // without waiting for more to arrive.
        const Bytes second = pattern(1543 * 4, 19);
        spool.push(second.data(), second.size());
        QVERIFY(allWritten(spool));
        const qint64 grown = statOf(path).st_size;
        QCOMPARE(syncsOf(file).size(), size_t(1));
        QVERIFY2(pollUntil([&] { return syncsOf(file).size() > 1; }, int(3 * interval.count())),
                 "audio written during a pause never reached the disk");
        const SyncCall two = syncsOf(file).back();
        QVERIFY(two.thread != caller);
        QCOMPARE(qint64(two.size), grown);
        QVERIFY2(two.at - one.at >= interval - WaveSpool::writeInterval,
                 qPrintable(QStringLiteral("forced again after %1 ms")
                                .arg(std::chrono::duration_cast<std::chrono::milliseconds>(two.at - one.at).count())));

        // The completed file is on the disk before it is given its name.
        QVERIFY(spool.close());
        const std::vector<SyncCall> all = syncsOf(file);
        QCOMPARE(all.size(), size_t(3));
        QVERIFY(all.back().thread != caller);
        QCOMPARE(qint64(all.back().size), statOf(path).st_size);
        checkCompleteWave(readWave(path), f, concat({&first, &second}));
    }

    void moveNeverReplacesAFile_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("rename") << QStringLiteral("rename");
        QTest::newRow("hard link where renameat2 is unsupported") << QStringLiteral("link");
        QTest::newRow("exclusive copy where neither renameat2 nor link is") << QStringLiteral("exclusive");
        QTest::newRow("copy from a tmpfs to the disk") << QStringLiteral("copy");
    }

    void moveNeverReplacesAFile()
    {
        QFETCH(QString, way);
        const WaveSpool::Format f = format(2, 22050, 16);
        const QString tag = QStringLiteral("move-") + way;
        QString spoolFolder = freshFolder(tag + QStringLiteral("-spool"));
        const QString destination = freshFolder(tag + QStringLiteral("-destination"));
        QVERIFY(!spoolFolder.isEmpty() && !destination.isEmpty());
        Tmpfs tmpfs;
        if (way == QLatin1String("copy")) {
            spoolFolder = m_dir.filePath(tag + QStringLiteral("-tmpfs"));
            if (!tmpfs.mount(spoolFolder, "size=16m"))
                QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs (%1); run as root to test a move across file "
                                                "systems")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)))));
            QVERIFY(statOf(spoolFolder).st_dev != statOf(destination).st_dev);
        }
        const QString earlier = destination + QStringLiteral("/take.wav");
        QVERIFY(writeFile(earlier, "an earlier take"));

        WaveSpool spool;
        std::string error;
        QVERIFY2(spool.open(spoolFolder.toStdString(), "take.wav", f, 1, &error), error.c_str());
        const QString path = QString::fromStdString(spool.path());
        const mode_t mode = statOf(path).st_mode & 07777;
        const Bytes data = pattern(5 * 997 * 4, 20);
        spool.push(data.data(), data.size());

        // Not while it is still being written.
        const QString target = destination + QStringLiteral("/take_1.wav");
        QVERIFY(!spool.moveTo(target.toStdString(), &error));
        QVERIFY(!QFileInfo::exists(target));
        QVERIFY(spool.close());

        std::unique_ptr<Unsupported> unsupported;
        const int renamesRefused = g_renameat2Refused.load();
        const int linksRefused = g_linkRefused.load();
        if (way == QLatin1String("link") || way == QLatin1String("exclusive"))
            unsupported = std::make_unique<Unsupported>(way == QLatin1String("exclusive"));

        error.clear();
        errno = 0;
        const bool replaced = spool.moveTo(earlier.toStdString(), &error);
        const int why = errno;
        QVERIFY2(!replaced, "an existing file was replaced");
        QCOMPARE(why, EEXIST);
        QVERIFY2(!error.empty(), "no reason given");
        QCOMPARE(contentOf(earlier), QByteArray("an earlier take"));
        QVERIFY(spool.isHeld());
        QCOMPARE(QString::fromStdString(spool.path()), path);
        QCOMPARE(lockSeenByAnotherProcess(path), QStringLiteral("held"));
        QCOMPARE(filesIn(destination), QStringList{QStringLiteral("take.wav")});

        QVERIFY2(spool.moveTo(target.toStdString(), &error), error.c_str());
        if (unsupported)
            QVERIFY2(g_renameat2Refused.load() > renamesRefused, "renameat2() was not tried");
        if (way == QLatin1String("exclusive"))
            QVERIFY2(g_linkRefused.load() > linksRefused, "link() was not tried");
        unsupported.reset();
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(filesIn(spoolFolder), QStringList());
        QCOMPARE(filesIn(destination), (QStringList{QStringLiteral("take.wav"), QStringLiteral("take_1.wav")}));
        QCOMPARE(QString::fromStdString(spool.path()), target);
        QCOMPARE(lockSeenByAnotherProcess(target), QStringLiteral("free"));
        QCOMPARE(statOf(target).st_mode & 07777, mode);
        checkCompleteWave(readWave(target), f, data);
    }

    void takeSurvivesItsFolderBeingDeleted()
    {
        const WaveSpool::Format f = format(2, 22050, 16);
        const QString folder = freshFolder(QStringLiteral("deleted"));
        const QString rescue = freshFolder(QStringLiteral("rescue"));
        QVERIFY(!folder.isEmpty() && !rescue.isEmpty());
        WaveSpool spool;
        std::string error;
        QVERIFY2(spool.open(folder.toStdString(), "take.wav", f, 1, &error), error.c_str());
        const QString path = QString::fromStdString(spool.path());
        const Bytes first = pattern(3001 * 4, 21);
        spool.push(first.data(), first.size());
        QVERIFY(allWritten(spool));

        QCOMPARE(QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), folder}), 0);
        QVERIFY(!QFileInfo::exists(folder));
        // The recording goes on into the file that has no name any more.
        const Bytes second = pattern(1543 * 4, 22);
        spool.push(second.data(), second.size());
        QVERIFY(spool.close());

        // Someone makes the folder again and puts another file under the spool's old name: the take
        // comes from the open file, and that file is not touched.
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(writeFile(path, "not the take"));
        const QString earlier = rescue + QStringLiteral("/earlier.wav");
        QVERIFY(writeFile(earlier, "an earlier take"));
        errno = 0;
        const bool replaced = spool.moveTo(earlier.toStdString(), &error);
        const int why = errno;
        QVERIFY2(!replaced, "an existing file was replaced");
        QCOMPARE(why, EEXIST);
        QCOMPARE(contentOf(earlier), QByteArray("an earlier take"));
        QVERIFY(spool.isHeld());

        // A name as long as the system allows leaves no room for the name of a partial copy.
        const QString name = QString(250, QLatin1Char('t')) + QStringLiteral(".wav");
        const QString target = rescue + QLatin1Char('/') + name;
        QVERIFY2(spool.moveTo(target.toStdString(), &error), error.c_str());
        QVERIFY(!spool.isHeld());
        checkCompleteWave(readWave(target), f, concat({&first, &second}));
        QCOMPARE(contentOf(path), QByteArray("not the take"));
        QCOMPARE(filesIn(rescue), (QStringList{QStringLiteral("earlier.wav"), name}));
        QCOMPARE(lockSeenByAnotherProcess(target), QStringLiteral("free"));
    }
};

QTEST_GUILESS_MAIN(TestWaveSpool)
#include "test_wave_spool.moc"
