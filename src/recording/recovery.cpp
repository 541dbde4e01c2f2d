#include "recording/recovery.h"

#include "recording/little_endian.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace little_endian;

constexpr const char* kSpoolSuffix = ".recording";
constexpr const char* kOldSpoolPrefix = "trelvik-recording-";
constexpr uint32_t kUnknown32 = 0xFFFFFFFFu;
// The tail of the KSDATAFORMAT_SUBTYPE_PCM GUID that follows its two-byte format tag.
constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool isId(const uint8_t* p, const char* id)
{
    return std::memcmp(p, id, 4) == 0;
}

// False with errno 0 when the file ends first, so a short file is told apart from a failing disk.
bool readAt(int fd, void* buffer, size_t size, uint64_t offset)
{
    auto* out = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = 0;
            return false;
        }
        out += got;
        size -= size_t(got);
        offset += uint64_t(got);
    }
    return true;
}

bool writeAt(int fd, const void* buffer, size_t size, uint64_t offset)
{
    const auto* in = static_cast<const uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, in, size, off_t(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            return false;
        }
        in += put;
        size -= size_t(put);
        offset += uint64_t(put);
    }
    return true;
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A rename or link is only durable once its folder is; a take that vanishes again with a power cut
// right after being given back would be worse than not finding it.
void syncFolder(const std::string& path)
{
    const int fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool refusesHardLinks(int errorNumber)
{
    return errorNumber == EPERM || errorNumber == EOPNOTSUPP || errorNumber == EMLINK || errorNumber == ENOSYS;
}

// What the header of a wave file says, and where; sizes as found, trusted for nothing but finding
// the chunks ahead of the audio.
struct Layout {
    bool rf64 = false;
    uint32_t riffSize32 = 0;
    uint64_t ds64RiffSize = 0;
    uint64_t ds64DataSize = 0;
    uint64_t fmtAt = 0; // the chunk's header
    uint32_t fmtSize = 0;
    uint64_t factAt = 0; // the sample count of a fact chunk; 0 for none
    uint64_t dataAt = 0; // the data chunk's header
    uint32_t dataSize32 = 0;

    int tag = 0;
    int channels = 0;
    int rate = 0;
    int bits = 0;
    int blockAlign = 0;

    uint64_t dataOffset() const { return dataAt + 8; }
    uint64_t statedDataSize() const { return rf64 && dataSize32 == kUnknown32 ? ds64DataSize : dataSize32; }
    uint64_t statedRiffSize() const { return rf64 && riffSize32 == kUnknown32 ? ds64RiffSize : riffSize32; }
};

enum class Parse { Ok, NotWave, ReadError };

// Only what a recorder writes counts as a take: integer PCM, plain or extensible, with a frame size
// that follows from the channels and bits. Anything else is someone else's file that happens to
// carry a spool's name.
bool parseFormat(const uint8_t* fmt, uint32_t size, Layout& layout)
{
    layout.tag = get16(fmt);
    layout.channels = get16(fmt + 2);
    layout.rate = int(std::min<uint32_t>(get32(fmt + 4), 1u << 30));
    layout.blockAlign = get16(fmt + 12);
    layout.bits = get16(fmt + 14);
    if (layout.tag == 0xFFFE) {
        if (size < 40 || get16(fmt + 16) < 22 || get16(fmt + 18) > layout.bits)
            return false;
        if (get16(fmt + 24) != 1 || std::memcmp(fmt + 26, kGuidTail, sizeof kGuidTail) != 0)
            return false;
    } else if (layout.tag != 1) {
        return false;
    }
    if (layout.bits != 8 && layout.bits != 16 && layout.bits != 24 && layout.bits != 32)
        return false;
    if (layout.channels < 1 || layout.channels > 8 || layout.rate < 1000 || layout.rate > 384000)
        return false;
    return layout.blockAlign == layout.channels * layout.bits / 8;
}

Parse parseLayout(int fd, uint64_t fileSize, Layout& layout)
{
    auto readFailed = [] { return errno == 0 ? Parse::NotWave : Parse::ReadError; };
    uint8_t head[12];
    if (fileSize < sizeof head)
        return Parse::NotWave;
    if (!readAt(fd, head, sizeof head, 0))
        return readFailed();
    if (isId(head, "RF64"))
        layout.rf64 = true;
    else if (!isId(head, "RIFF"))
        return Parse::NotWave;
    if (!isId(head + 8, "WAVE"))
        return Parse::NotWave;
    layout.riffSize32 = get32(head + 4);

    bool haveFormat = false;
    uint64_t at = sizeof head;
    // The chunks ahead of the audio are few and small in any file of ours; a long chain means the
    // file is something else.
    for (int chunk = 0; chunk < 64; ++chunk) {
        uint8_t header[8];
        if (at + sizeof header > fileSize)
            return Parse::NotWave;
        if (!readAt(fd, header, sizeof header, at))
            return readFailed();
        const uint32_t size = get32(header + 4);
        const bool isDs64 = isId(header, "ds64");
        // RF64 has its 64-bit sizes in a ds64 chunk, which must come first.
        if (chunk == 0 && layout.rf64 && (!isDs64 || size < 28))
            return Parse::NotWave;
        if (isId(header, "data")) {
            if (!haveFormat)
                return Parse::NotWave;
            layout.dataAt = at;
            layout.dataSize32 = size;
            return Parse::Ok;
        }
        if (isDs64 && chunk == 0 && layout.rf64) {
            uint8_t sizes[16];
            if (!readAt(fd, sizes, sizeof sizes, at + 8))
                return readFailed();
            layout.ds64RiffSize = get64(sizes);
            layout.ds64DataSize = get64(sizes + 8);
        } else if (isId(header, "fmt ")) {
            if (haveFormat || size < 16)
                return Parse::NotWave;
            uint8_t fmt[40] = {};
            if (!readAt(fd, fmt, std::min<size_t>(size, sizeof fmt), at + 8))
                return readFailed();
            if (!parseFormat(fmt, size, layout))
                return Parse::NotWave;
            layout.fmtAt = at;
            layout.fmtSize = size;
            haveFormat = true;
        } else if (isId(header, "fact") && size >= 4) {
            layout.factAt = at + 8;
        }
        at += 8 + uint64_t(size) + (size & 1);
    }
    return Parse::NotWave;
}

// Whether well-formed chunks fill the file from `from` to its very end. A file that was completed
// normally but never renamed can carry chunks behind its audio; the tail of a stale header's
// audio never passes for them, since chunk ids are printable text and the sizes must add up to the
// byte.
bool chunksFill(int fd, uint64_t from, uint64_t fileSize)
{
    uint64_t at = from;
    for (int chunk = 0; chunk < 64 && at < fileSize; ++chunk) {
        uint8_t header[8];
        if (at + sizeof header > fileSize || !readAt(fd, header, sizeof header, at))
            return false;
        for (int i = 0; i < 4; ++i)
            if (header[i] < 0x20 || header[i] > 0x7E)
                return false;
        const uint64_t size = get32(header + 4);
        const uint64_t end = at + 8 + size;
        if (end > fileSize)
            return false;
        // A missing pad byte after the last chunk is common and harmless.
        at = end == fileSize ? end : end + (size & 1);
    }
    return at == fileSize && from < fileSize;
}

int copyContents(int from, int to, uint64_t size)
{
    const size_t chunk = size_t(1) << 20;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[chunk]);
    for (uint64_t at = 0; at < size;) {
        const size_t wanted = size_t(std::min<uint64_t>(chunk, size - at));
        if (!readAt(from, buffer.get(), wanted, at))
            return errno == 0 ? EIO : errno;
        for (size_t done = 0; done < wanted;) {
            const ssize_t put = ::write(to, buffer.get() + done, wanted - done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return put == 0 ? EIO : errno;
            done += size_t(put);
        }
        at += wanted;
    }
    return 0;
}

} // namespace

OrphanTake::OrphanTake(int fd, std::string path, timespec modified)
    : m_fd(fd), m_path(std::move(path)), m_modified(modified)
{
}

OrphanTake::OrphanTake(OrphanTake&& other) noexcept
    : m_fd(other.m_fd), m_path(std::move(other.m_path)), m_modified(other.m_modified), m_claimed(other.m_claimed),
      m_verdict(other.m_verdict), m_frames(other.m_frames), m_sampleRate(other.m_sampleRate),
      m_channels(other.m_channels), m_bits(other.m_bits), m_formatTag(other.m_formatTag), m_rf64(other.m_rf64)
{
    other.m_fd = -1;
}

OrphanTake& OrphanTake::operator=(OrphanTake&& other) noexcept
{
    if (this != &other) {
        release();
        m_fd = other.m_fd;
        other.m_fd = -1;
        m_path = std::move(other.m_path);
        m_modified = other.m_modified;
        m_claimed = other.m_claimed;
        m_verdict = other.m_verdict;
        m_frames = other.m_frames;
        m_sampleRate = other.m_sampleRate;
        m_channels = other.m_channels;
        m_bits = other.m_bits;
        m_formatTag = other.m_formatTag;
        m_rf64 = other.m_rf64;
    }
    return *this;
}

OrphanTake::~OrphanTake()
{
    release();
}

void OrphanTake::release()
{
    // Closing the only descriptor of the open file drops the lock with it.
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool OrphanTake::isSpoolName(const std::string& name)
{
    const size_t suffix = std::strlen(kSpoolSuffix);
    if (name.size() > suffix && name.compare(name.size() - suffix, suffix, kSpoolSuffix) == 0)
        return true;
    const size_t prefix = std::strlen(kOldSpoolPrefix);
    if (name.size() != prefix + 6 + 4 || name.compare(0, prefix, kOldSpoolPrefix) != 0 ||
        name.compare(prefix + 6, 4, ".wav") != 0)
        return false;
    // The six characters mkstemp puts in.
    return std::all_of(name.begin() + long(prefix), name.begin() + long(prefix + 6), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

std::string OrphanTake::plannedNameOf(const std::string& spoolName)
{
    const size_t suffix = std::strlen(kSpoolSuffix);
    if (spoolName.size() <= suffix || spoolName.compare(spoolName.size() - suffix, suffix, kSpoolSuffix) != 0)
        return {};
    std::string name = spoolName.substr(0, spoolName.size() - suffix);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && dot + 1 < name.size() &&
        std::all_of(name.begin() + long(dot + 1), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        name.resize(dot);
    return name;
}

std::string OrphanTake::plannedName() const
{
    return plannedNameOf(m_path.substr(m_path.rfind('/') + 1));
}

std::vector<OrphanTake> OrphanTake::find(const std::vector<std::string>& folders)
{
    std::vector<OrphanTake> found;
    std::vector<std::pair<dev_t, ino_t>> seen;
    for (const std::string& folder : folders) {
        if (folder.empty())
            continue;
        const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd < 0)
            continue;
        struct stat folderStat {};
        if (::fstat(folderFd, &folderStat) != 0 ||
            std::find(seen.begin(), seen.end(), std::make_pair(folderStat.st_dev, folderStat.st_ino)) != seen.end()) {
            ::close(folderFd);
            continue;
        }
        seen.emplace_back(folderStat.st_dev, folderStat.st_ino);
        DIR* listing = ::fdopendir(folderFd);
        if (!listing) {
            ::close(folderFd);
            continue;
        }
        const std::string prefix = folder.back() == '/' ? folder : folder + '/';
        while (const dirent* entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            if (!isSpoolName(name))
                continue;
            // Looked at before opening, so a device or a pipe with a spool's name is never opened.
            struct stat listed {};
            if (::fstatat(folderFd, name.c_str(), &listed, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(listed.st_mode))
                continue;
            const int fd = ::openat(folderFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            struct stat opened {};
            // A lock that cannot be taken means a live recorder; a file system without locks gives no
            // way to tell, and leaving the file alone is the only safe answer then as well.
            if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                ::close(fd);
                continue;
            }
            // A recorder renames its finished take while still holding the lock and lets go only after
            // that; if the lock came free meanwhile, the name may now be another file, or none.
            struct stat now {};
            if (::fstatat(folderFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != opened.st_dev ||
                now.st_ino != opened.st_ino) {
                ::close(fd);
                continue;
            }
            found.push_back(OrphanTake(fd, prefix + name, now.st_mtim));
        }
        ::closedir(listing);
    }
    std::sort(found.begin(), found.end(), [](const OrphanTake& a, const OrphanTake& b) {
        if (a.m_modified.tv_sec != b.m_modified.tv_sec)
            return a.m_modified.tv_sec < b.m_modified.tv_sec;
        if (a.m_modified.tv_nsec != b.m_modified.tv_nsec)
            return a.m_modified.tv_nsec < b.m_modified.tv_nsec;
        return a.m_path < b.m_path;
    });
    return found;
}

OrphanTake::Verdict OrphanTake::repair(std::string* error)
{
    m_frames = 0;
    m_sampleRate = m_channels = m_bits = m_formatTag = 0;
    m_rf64 = false;
    auto fail = [&](const std::string& what, int errorNumber) {
        m_verdict = Verdict::Failed;
        if (error)
            *error = what + " " + m_path + ": " + std::strerror(errorNumber);
        return m_verdict;
    };
    if (m_fd < 0 || m_claimed)
        return fail("no longer holding", EBADF);

    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return fail("cannot look at", errno);
    const uint64_t fileSize = uint64_t(st.st_size);
    Layout layout;
    switch (parseLayout(m_fd, fileSize, layout)) {
    case Parse::ReadError:
        return fail("cannot read", errno);
    case Parse::NotWave:
        m_verdict = Verdict::NotATake;
        return m_verdict;
    case Parse::Ok:
        break;
    }

    const uint64_t dataOffset = layout.dataOffset();
    const uint64_t available = fileSize - dataOffset;
    const uint64_t blockAlign = uint64_t(layout.blockAlign);
    // The header's own data size is believed only where the file proves it: when what follows the
    // audio is exactly the pad byte RIFF puts after an odd-sized chunk, or whole chunks. Otherwise a
    // recorder that died after writing audio and before rewriting the header left it behind.
    const uint64_t stated = layout.statedDataSize();
    bool keepTail = false;
    if (stated > 0 && stated < available && stated % blockAlign == 0) {
        const bool padded =
            (stated & 1) && dataOffset + stated + 1 == fileSize && layout.statedRiffSize() + 8 == fileSize;
        keepTail = padded || chunksFill(m_fd, dataOffset + stated + (stated & 1), fileSize);
    }
    const uint64_t data = keepTail ? stated : available - available % blockAlign;
    const uint64_t frames = data / blockAlign;
    // An odd data chunk (8-bit mono) gets its pad byte, as RIFF asks; libsndfile writes one too.
    const uint64_t end = keepTail ? fileSize : dataOffset + data + (data & 1);
    const bool toRf64 = !layout.rf64 && end - 8 >= kUnknown32;
    const uint32_t factFrames = uint32_t(std::min<uint64_t>(frames, kUnknown32));

    // The whole header up to the audio is rewritten when a RIFF file has outgrown 32-bit sizes: the
    // recorder died just after crossing 4 GiB, before it turned the header into RF64. A ds64 chunk
    // takes the place of the JUNK chunk kept for it, as long as the room ahead of the audio suffices.
    std::vector<uint8_t> header;
    if (toRf64) {
        const uint64_t fmtBytes = 8 + uint64_t(layout.fmtSize) + (layout.fmtSize & 1);
        const uint64_t needed = 12 + 36 + fmtBytes + 8;
        const uint64_t room = layout.dataAt + 8;
        if (needed > room || (room - needed > 0 && room - needed < 8))
            return fail("no room for the 64-bit sizes in", EFBIG);
        header.assign(size_t(room), 0);
        uint8_t* p = header.data();
        std::memcpy(p, "RF64", 4);
        put32(p + 4, kUnknown32);
        std::memcpy(p + 8, "WAVE", 4);
        std::memcpy(p + 12, "ds64", 4);
        put32(p + 16, 28);
        put64(p + 20, end - 8);
        put64(p + 28, data);
        put64(p + 36, frames);
        if (!readAt(m_fd, p + 48, size_t(fmtBytes - (layout.fmtSize & 1)), layout.fmtAt))
            return fail("cannot read", errno == 0 ? EIO : errno);
        uint64_t at = 48 + fmtBytes;
        if (room - needed >= 8) {
            std::memcpy(p + at, "JUNK", 4);
            put32(p + at + 4, uint32_t(room - needed - 8));
            at += room - needed;
        }
        std::memcpy(p + at, "data", 4);
        put32(p + at + 4, kUnknown32);
    }

    if (!keepTail && fileSize > dataOffset + data && ::ftruncate(m_fd, off_t(dataOffset + data)) != 0)
        return fail("cannot cut the partial frame off", errno);
    bool written = true;
    if (toRf64) {
        written = writeAt(m_fd, header.data(), header.size(), 0);
    } else if (layout.rf64) {
        uint8_t sizes[24];
        put64(sizes, end - 8);
        put64(sizes + 8, data);
        put64(sizes + 16, frames);
        uint8_t unknown[4];
        put32(unknown, kUnknown32);
        written = writeAt(m_fd, unknown, 4, 4) && writeAt(m_fd, sizes, sizeof sizes, 20) &&
                  writeAt(m_fd, unknown, 4, layout.dataAt + 4);
    } else {
        uint8_t riff[4], chunk[4];
        put32(riff, uint32_t(end - 8));
        put32(chunk, uint32_t(data));
        written = writeAt(m_fd, riff, 4, 4) && writeAt(m_fd, chunk, 4, layout.dataAt + 4);
    }
    if (written && layout.factAt && !toRf64) {
        uint8_t count[4];
        put32(count, factFrames);
        written = writeAt(m_fd, count, 4, layout.factAt);
    }
    if (!written)
        return fail("cannot rewrite the header of", errno);
    // The pad byte comes only after the header: a repair cut short before it leaves a header that says
    // so, and the next repair adds it instead of taking the byte for audio.
    if (!keepTail && end > dataOffset + data && ::ftruncate(m_fd, off_t(end)) != 0)
        return fail("cannot pad", errno);
    // The take keeps the time it was recorded, not the time it was found.
    const timespec times[2] = {{0, UTIME_OMIT}, m_modified};
    ::futimens(m_fd, times);
    if (::fdatasync(m_fd) != 0)
        return fail("cannot sync", errno);

    m_frames = frames;
    m_sampleRate = layout.rate;
    m_channels = layout.channels;
    m_bits = layout.bits;
    m_formatTag = layout.tag;
    m_rf64 = layout.rf64 || toRf64;
    m_verdict = frames == 0 ? Verdict::Empty : Verdict::Take;
    return m_verdict;
}

int OrphanTake::checkStillOurs() const
{
    if (m_fd < 0)
        return EBADF;
    if (m_claimed)
        return ENOENT;
    struct stat held {};
    struct stat named {};
    if (::fstat(m_fd, &held) != 0)
        return errno;
    if (::lstat(m_path.c_str(), &named) != 0)
        return errno;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino ? 0 : ESTALE;
}

int OrphanTake::copyAcross(const std::string& destination, bool viaTemporary)
{
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return errno;
    // A copy that is still being written must never show under the take's name: it goes to a hidden
    // file first and is linked into place complete, which also refuses an existing name. Only a file
    // system without hard links gets the copy written in place, created exclusively.
    std::string temporary = folderOf(destination) + "/.trelvik-copy-XXXXXX";
    const int out = viaTemporary ? ::mkostemp(temporary.data(), O_CLOEXEC)
                                 : ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0)
        return errno;
    const std::string& written = viaTemporary ? temporary : destination;
    int failure = copyContents(m_fd, out, uint64_t(st.st_size));
    // Permissions and time are kept where the file system can hold them; a FAT stick cannot.
    ::fchmod(out, st.st_mode & 07777);
    const timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    ::futimens(out, times);
    if (failure == 0 && ::fsync(out) != 0)
        failure = errno;
    if (::close(out) != 0 && failure == 0)
        failure = errno;
    if (failure != 0) {
        ::unlink(written.c_str());
        return failure;
    }
    if (viaTemporary) {
        const int linked = ::link(temporary.c_str(), destination.c_str()) == 0 ? 0 : errno;
        ::unlink(temporary.c_str());
        if (linked != 0)
            return refusesHardLinks(linked) ? copyAcross(destination, false) : linked;
    }
    // Both copies must not survive: a spool left beside its take would be given back twice.
    if (::unlink(m_path.c_str()) != 0) {
        failure = errno;
        ::unlink(destination.c_str());
        return failure;
    }
    syncFolder(m_path);
    return 0;
}

bool OrphanTake::moveTo(const std::string& destination, std::error_code* error)
{
    int failure = checkStillOurs();
    if (failure == 0)
        failure =
            ::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
    // Some file systems and kernels do not know the flag; a hard link refuses an existing name too.
    if (failure == EINVAL || failure == ENOSYS || failure == EOPNOTSUPP) {
        failure = ::link(m_path.c_str(), destination.c_str()) == 0 ? 0 : errno;
        if (failure == 0 && ::unlink(m_path.c_str()) != 0) {
            failure = errno;
            ::unlink(destination.c_str());
        } else if (refusesHardLinks(failure)) {
            failure = copyAcross(destination, false);
        }
    }
    if (failure == EXDEV)
        failure = copyAcross(destination, true);
    if (error)
        *error = std::error_code(failure, std::generic_category());
    if (failure != 0)
        return false;
    syncFolder(destination);
    m_path = destination;
    m_claimed = true;
    return true;
}

bool OrphanTake::remove(std::error_code* error)
{
    int failure = checkStillOurs();
    if (failure == 0 && ::unlink(m_path.c_str()) != 0)
        failure = errno;
    if (error)
        *error = std::error_code(failure, std::generic_category());
    if (failure != 0)
        return false;
    syncFolder(m_path);
    m_claimed = true;
    return true;
}
