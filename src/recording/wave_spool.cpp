#include "recording/wave_spool.h"

#include "recording/little_endian.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

using namespace little_endian;

// The header, written by hand because libsndfile marks a file that may become RF64 with the
// extensible format tag, which many readers refuse. Its layout never changes, so every field sits at
// a fixed offset:
//    0 "RIFF" (or "RF64"), size         12 "JUNK" (or "ds64"), 28 bytes: the 64-bit sizes of RF64
//   48 "fmt ", 16 bytes of plain PCM     72 "data", size                80 the audio
// Reserving the ds64 room up front lets a file that outgrows 32-bit sizes change its kind in place,
// without moving a byte of audio; the recovery of a killed program's take relies on that room too.
constexpr uint64_t headerBytes = 80;
constexpr uint32_t ds64Bytes = 28;
// What RF64 puts in the 32-bit size fields, and what no RIFF size may be.
constexpr uint32_t sizeInDs64 = 0xFFFFFFFFu;

// A data chunk of odd size is followed by a pad byte in a complete file. The kind of file is chosen
// as if the pad were there already, so completing a file never changes its kind.
void fillHeader(uint8_t (&out)[headerBytes], const WaveSpool::Format& format, uint64_t dataBytes, bool complete)
{
    const uint64_t padded = dataBytes + (dataBytes & 1);
    const bool rf64 = headerBytes - 8 + padded >= sizeInDs64;
    const uint64_t riffBytes = headerBytes - 8 + (complete ? padded : dataBytes);
    std::memset(out, 0, sizeof out);
    std::memcpy(out, rf64 ? "RF64" : "RIFF", 4);
    put32(out + 4, rf64 ? sizeInDs64 : uint32_t(riffBytes));
    std::memcpy(out + 8, "WAVE", 4);
    std::memcpy(out + 12, rf64 ? "ds64" : "JUNK", 4);
    put32(out + 16, ds64Bytes);
    if (rf64) {
        put64(out + 20, riffBytes);
        put64(out + 28, dataBytes);
        put64(out + 36, dataBytes / uint64_t(format.frameBytes()));
    }
    std::memcpy(out + 48, "fmt ", 4);
    put32(out + 52, 16);
    put16(out + 56, 1);
    put16(out + 58, uint16_t(format.channels));
    put32(out + 60, uint32_t(format.rate));
    put32(out + 64, uint32_t(format.bytesPerSecond()));
    put16(out + 68, uint16_t(format.frameBytes()));
    put16(out + 70, uint16_t(format.bits));
    std::memcpy(out + 72, "data", 4);
    put32(out + 76, rf64 ? sizeInDs64 : uint32_t(dataBytes));
}

// Writes the parts one after the other from offset, however many calls that takes; 0 or an errno.
// done counts what reached the file, also when the rest failed. The parts are used up.
int writeAt(int fd, iovec* parts, int count, uint64_t offset, uint64_t* done)
{
    for (;;) {
        while (count > 0 && parts->iov_len == 0) {
            ++parts;
            --count;
        }
        if (count == 0)
            return 0;
        const ssize_t put = ::pwritev(fd, parts, count, off_t(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return errno;
        if (put == 0)
            return EIO;
        *done += uint64_t(put);
        offset += uint64_t(put);
        for (size_t left = size_t(put); left > 0;) {
            const size_t taken = std::min(left, parts->iov_len);
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + taken;
            parts->iov_len -= taken;
            left -= taken;
            if (parts->iov_len == 0) {
                ++parts;
                --count;
            }
        }
    }
}

// How many "<name>.N.recording" names are tried before a folder counts as unusable.
constexpr int maxSpoolNames = 10000;

// The take's name, shortened where the spool's name would pass the longest file name: then the
// take recovered from the spool gets the shorter name, but it is recorded. The extension stays.
std::string spoolBase(const std::string& targetName)
{
    const size_t longest = NAME_MAX - std::strlen(".9999") - std::strlen(WaveSpool::suffix);
    if (targetName.size() <= longest)
        return targetName;
    const size_t dot = targetName.rfind('.');
    const std::string extension =
        dot != std::string::npos && dot > 0 && targetName.size() - dot <= 16 ? targetName.substr(dot) : std::string();
    size_t keep = longest - extension.size();
    // Not in the middle of a UTF-8 character.
    while (keep > 0 && (uint8_t(targetName[keep]) & 0xC0) == 0x80)
        --keep;
    return targetName.substr(0, keep) + extension;
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Descriptors are never passed on to the programs this one starts: a child holding the spool's
// open file would hold its lock too, and the take would look alive after this program ended.
int openFile(const std::string& path, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// What a file system without no-replace renames or without hard links answers.
bool unsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP || error == EPERM;
}

// Moves the file from to the name to, only while no file has that name; 0 or an errno.
int renameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // File systems without the flag: a hard link fails on an existing name just as well.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

// Copies the whole content of the open file from into to, reading by descriptor: the file may have
// no name any more. 0 or an errno.
int copyContent(int from, int to)
{
    constexpr size_t chunk = size_t(1) << 20;
    const std::unique_ptr<char[]> buffer(new char[chunk]);
    for (off_t offset = 0;;) {
        const ssize_t done = ::pread(from, buffer.get(), chunk, offset);
        if (done == 0)
            return 0;
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        for (ssize_t at = 0; at < done;) {
            const ssize_t written = ::write(to, buffer.get() + at, size_t(done - at));
            if (written == 0)
                return EIO;
            if (written < 0 && errno != EINTR)
                return errno;
            at += std::max<ssize_t>(written, 0);
        }
        offset += done;
    }
}

void syncFolder(const std::string& folder)
{
    const int fd = openFile(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

WaveSpool::~WaveSpool()
{
    release();
}

void WaveSpool::setFailureCallback(std::function<void(int error)> callback)
{
    std::lock_guard lock(m_mutex);
    m_failureCallback = std::move(callback);
}

void SpoolRingRelease::operator()(uint8_t* ring) const noexcept
{
    if (mappedBytes > 0)
        ::munmap(ring, mappedBytes);
    else
        delete[] ring;
}

// The ring's memory with every page in place from the start, so that the memory in use does not
// creep up while the ring first fills. Mapped with its pages populated by the kernel in one call
// rather than touched one by one, which costs a fault per page: under virtualisation that was some
// 10 ms for a 4 MB ring at every Record, against half a millisecond now (a virtual machine whose host
// takes freed pages back still pays some 5 ms more as the ring is first written, spread over its
// first pass).
WaveSpool::Ring WaveSpool::ringOf(size_t bytes)
{
    void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (mapped != MAP_FAILED)
        return {static_cast<uint8_t*>(mapped), SpoolRingRelease{bytes}};
    Ring ring(new uint8_t[bytes], SpoolRingRelease{});
    std::memset(ring.get(), 0, bytes);
    return ring;
}

bool WaveSpool::open(const std::string& folder, const std::string& targetName, const Format& format, int bufferSeconds,
                     std::string* error)
{
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (m_open)
        return fail("already open");
    if (m_fd >= 0)
        return fail("the previous take in " + m_path + " is still held");
    if (targetName.empty() || targetName == "." || targetName == ".." || targetName.find('/') != std::string::npos)
        return fail("not a file name: \"" + targetName + "\"");
    m_format = format;

    std::string base = folder;
    if (base.empty() || base.back() != '/')
        base += '/';
    base += spoolBase(targetName);
    // The file is made and locked under a name no search for left-over takes looks at, and only
    // then given its spool name: a program starting meanwhile can never find it unlocked and take
    // it for a killed program's. O_EXCL: an existing file, or a symbolic link planted under the
    // name, is never opened, let alone truncated. The mode leaves the rest to the umask (or the
    // folder's default ACL), as for any new file of the user's: the spool becomes the recording.
    std::string dir = folder;
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    std::string fresh;
    int fd = -1;
    for (int n = 0; fd < 0 && n < maxSpoolNames; ++n) {
        fresh = dir + ".trelvik-new-" + std::to_string(::getpid()) + '-' + std::to_string(n);
        fd = openFile(fresh, O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && errno != EEXIST)
            return fail("cannot create a file in " + folder + ": " + std::strerror(errno));
    }
    if (fd < 0)
        return fail("cannot create a file in " + folder + ": every new name is taken");
    // Nobody else knows the file yet, so the lock cannot be refused. It lasts as long as the
    // descriptor, which stays open until the take is placed.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(fresh.c_str());
        ::close(fd);
        return fail("cannot lock " + fresh + ": " + why);
    }
    std::string path;
    int named = EEXIST;
    for (int n = 0; named == EEXIST && n < maxSpoolNames; ++n) {
        path = n == 0 ? base + suffix : base + '.' + std::to_string(n) + suffix;
        named = renameNoReplace(fresh, path);
    }
    if (named != 0) {
        ::unlink(fresh.c_str());
        ::close(fd);
        return fail(named == EEXIST
                        ? "cannot create a file in " + folder + ": every name for " + targetName + " is taken"
                        : "cannot name a file in " + folder + ": " + std::strerror(named));
    }

    // A file without audio is a wave file too from the start.
    m_fd = fd;
    const int headed = writeHeader(0, false);
    if (headed != 0) {
        ::unlink(path.c_str());
        ::close(fd);
        m_fd = -1;
        return fail("cannot write to " + path + ": " + std::strerror(headed));
    }

    // Whole frames of every supported format fit a multiple of 4 bytes, so a frame never wraps.
    const size_t wanted = size_t(std::max(1, bufferSeconds)) * size_t(format.bytesPerSecond());
    m_capacity = std::max<size_t>(64 * 1024, (wanted + 3) / 4 * 4);
    m_ring = ringOf(m_capacity);
    m_head = 0;
    m_tail = 0;
    m_pushed = 0;
    m_lost = 0;
    m_written = 0;
    m_stopping = false;
    m_writeError = 0;

    m_path = path;
    m_open = true;
    m_writer = std::thread(&WaveSpool::writerLoop, this);
    // Named, so that a look at the program's threads tells the disk's share from the sound's.
    pthread_setname_np(m_writer.native_handle(), "trelvik-spool");
    return true;
}

size_t WaveSpool::reserve(size_t bytes)
{
    const size_t frame = size_t(m_format.frameBytes());
    const uint64_t used = m_head.load(std::memory_order_relaxed) - m_tail.load(std::memory_order_acquire);
    size_t room = m_capacity - size_t(used);
    room -= room % frame;
    const size_t whole = bytes - bytes % frame;
    const size_t fits = std::min(whole, room);
    m_pushed += bytes;
    if (fits < bytes)
        m_lost += bytes - fits;
    return fits;
}

void WaveSpool::commit(size_t bytes)
{
    if (bytes == 0)
        return;
    const uint64_t head = m_head.load(std::memory_order_relaxed) + bytes;
    m_head.store(head, std::memory_order_release);
    // The writer wakes by itself a few times a second; it is only hurried when the ring fills up.
    if (head - m_tail.load(std::memory_order_acquire) > m_capacity / 2)
        m_wake.notify_one();
}

void WaveSpool::push(const void* data, size_t bytes)
{
    if (!m_open || bytes == 0)
        return;
    const size_t fits = reserve(bytes);
    const auto* source = static_cast<const uint8_t*>(data);
    const size_t at = size_t(m_head.load(std::memory_order_relaxed) % m_capacity);
    const size_t first = std::min(fits, m_capacity - at);
    std::memcpy(m_ring.get() + at, source, first);
    std::memcpy(m_ring.get(), source + first, fits - first);
    commit(fits);
}

void WaveSpool::pushSilence(size_t bytes)
{
    if (!m_open || bytes == 0)
        return;
    const size_t fits = reserve(bytes);
    const int silence = m_format.bits == 8 ? 0x80 : 0;
    const size_t at = size_t(m_head.load(std::memory_order_relaxed) % m_capacity);
    const size_t first = std::min(fits, m_capacity - at);
    std::memset(m_ring.get() + at, silence, first);
    std::memset(m_ring.get(), silence, fits - first);
    commit(fits);
}

void WaveSpool::failed(int error)
{
    int none = 0;
    if (!m_writeError.compare_exchange_strong(none, error))
        return;
    std::function<void(int)> callback;
    {
        std::lock_guard lock(m_mutex);
        callback = m_failureCallback;
    }
    if (callback)
        callback(error);
}

int WaveSpool::writeHeader(uint64_t dataBytes, bool complete)
{
    uint8_t header[headerBytes];
    fillHeader(header, m_format, dataBytes, complete);
    iovec part{header, sizeof header};
    uint64_t done = 0;
    return writeAt(m_fd, &part, 1, 0, &done);
}

uint64_t WaveSpool::append(iovec* parts, int count)
{
    // The audio goes behind what the file holds, and the header counts what the file holds: the two
    // cannot disagree, whatever a write left behind.
    struct stat status {};
    if (::fstat(m_fd, &status) != 0) {
        failed(errno);
        return 0;
    }
    const uint64_t end = std::max(uint64_t(status.st_size), headerBytes);
    uint64_t done = 0;
    const int error = writeAt(m_fd, parts, count, end, &done);
    // A write cut short still put audio in the file: the header says so before anybody is told.
    const int headed = done > 0 ? writeHeader(end - headerBytes + done, false) : 0;
    if (error != 0)
        failed(error);
    if (headed != 0)
        failed(headed);
    return done;
}

void WaveSpool::finish()
{
    // After a failure nothing more is written: the header already tells what reached the file.
    if (m_writeError.load() == 0) {
        struct stat status {};
        if (::fstat(m_fd, &status) != 0) {
            failed(errno);
        } else {
            const uint64_t dataBytes = std::max(uint64_t(status.st_size), headerBytes) - headerBytes;
            // The pad byte of an odd data chunk comes only now, and only after the header that counts
            // it: one written with every batch would be overwritten by the next, and a program killed
            // between the audio and the header would leave it looking like a sample.
            int error = writeHeader(dataBytes, true);
            if (error == 0 && (dataBytes & 1)) {
                uint8_t pad = 0;
                iovec part{&pad, 1};
                uint64_t done = 0;
                error = writeAt(m_fd, &part, 1, headerBytes + dataBytes, &done);
            }
            if (error != 0)
                failed(error);
        }
    }
    if (::fdatasync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
        failed(errno);
}

void WaveSpool::syncSoon()
{
    {
        std::lock_guard lock(m_mutex);
        m_syncWanted = true;
    }
    m_wake.notify_one();
}

void WaveSpool::writerLoop()
{
    using Clock = std::chrono::steady_clock;
    auto lastSync = Clock::now();
    bool unsynced = false;
    for (;;) {
        {
            // Writing in batches keeps the header rewrites and wake-ups few; a killed program loses
            // at most one batch.
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, writeInterval, [this] {
                return m_stopping.load() || m_syncWanted.load() ||
                       m_head.load(std::memory_order_acquire) - m_tail.load(std::memory_order_relaxed) > m_capacity / 2;
            });
        }
        const bool stopping = m_stopping.load();
        for (;;) {
            const uint64_t tail = m_tail.load(std::memory_order_relaxed);
            const uint64_t head = m_head.load(std::memory_order_acquire);
            if (head == tail)
                break;
            const size_t at = size_t(tail % m_capacity);
            const size_t length = size_t(head - tail);
            const size_t first = std::min(length, m_capacity - at);
            // A wrapped batch is still one write.
            iovec parts[2] = {{m_ring.get() + at, first}, {m_ring.get(), length - first}};
            // Nothing is written after a failed write, also when the disk has room again: the audio
            // lost in between would be missing from the take without a trace, its two sides joined.
            const uint64_t done = m_writeError.load() == 0 ? append(parts, 2) : 0;
            // A failed write still frees the ring, so the producer keeps its constant memory.
            m_tail.store(head, std::memory_order_release);
            // Counted once the ring has the room again, so bytesPushed() - bytesWritten() never shows
            // less than the ring holds.
            if (done > 0) {
                m_written += done;
                unsynced = true;
            }
        }
        if (stopping)
            break;
        // The page cache may hold what was written for half a minute; a power cut would take all of
        // it. Forced out every few seconds, and only when there is something new.
        const auto now = Clock::now();
        const bool wanted = m_syncWanted.exchange(false);
        if (unsynced && (wanted || now - lastSync >= syncInterval)) {
            if (::fdatasync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
                failed(errno);
            lastSync = now;
            unsynced = false;
        }
    }
    // The last header is written here too, so a failure of it is reported like any other write.
    finish();
}

bool WaveSpool::close()
{
    if (!m_open)
        return false;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_writer.joinable())
        m_writer.join();
    m_open = false;
    m_ring.reset();
    m_capacity = 0;
    return m_writeError.load() == 0;
}

bool WaveSpool::namesOwnFile(const std::string& path) const
{
    struct stat own {};
    struct stat named {};
    return m_fd >= 0 && ::fstat(m_fd, &own) == 0 && ::lstat(path.c_str(), &named) == 0 && own.st_dev == named.st_dev &&
           own.st_ino == named.st_ino;
}

int WaveSpool::copyTo(const std::string& path)
{
    struct stat own {};
    if (::fstat(m_fd, &own) != 0)
        return errno;
    // The copy grows under a name of its own beside the destination and gets the destination's name
    // only when it is complete, so no half-written take ever shows under that name.
    std::string partial = path + ".XXXXXX.partial";
    int result = 0;
    bool direct = false;
    int to = ::mkostemps(partial.data(), 8, O_CLOEXEC);
    if (to < 0) {
        // A destination name close to the longest allowed leaves no room for the partial one's.
        if (errno != ENAMETOOLONG)
            return errno;
        direct = true;
    } else {
        result = copyContent(m_fd, to);
        if (result == 0 && ::fchmod(to, own.st_mode & 07777) != 0)
            result = errno;
        // A placed copy is what remains of the take once the spool is gone: on the disk first.
        if (result == 0 && ::fsync(to) != 0 && errno != EINVAL)
            result = errno;
        ::close(to);
        if (result == 0) {
            result = renameNoReplace(partial, path);
            // Neither a no-replace rename nor a hard link on that file system: the copy is made
            // under the destination's name itself, created exclusively so it still replaces nothing.
            direct = result != 0 && unsupported(result);
        }
        if (result != 0)
            ::unlink(partial.c_str());
    }
    if (direct) {
        to = openFile(path, O_WRONLY | O_CREAT | O_EXCL, own.st_mode & 07777);
        if (to < 0)
            return errno;
        result = copyContent(m_fd, to);
        if (result == 0 && ::fsync(to) != 0 && errno != EINVAL)
            result = errno;
        ::close(to);
        if (result != 0)
            ::unlink(path.c_str());
    }
    // The new name is made to last too, before the spool's name goes. Too late to fail here: the
    // take is in place.
    if (result == 0)
        syncFolder(folderOf(path));
    return result;
}

bool WaveSpool::moveTo(const std::string& path, std::string* error)
{
    auto fail = [&](int code, const std::string& why) {
        if (error)
            *error = why;
        errno = code;
        return false;
    };
    if (m_open)
        return fail(EBUSY, "the recording in " + m_path + " is still being written");
    if (m_fd < 0)
        return fail(EBADF, "no take is held");
    if (path.empty())
        return fail(ENOENT, "no destination given");

    // The spool's name may be gone (its folder was deleted while recording) or, after that, name
    // another file: then the content is taken from the open file, and that name is left alone.
    const bool named = namesOwnFile(m_path);
    int result = EXDEV;
    if (named) {
        result = renameNoReplace(m_path, path);
        if (result == ENOENT && !namesOwnFile(m_path))
            result = EXDEV;
    }
    if (result == EXDEV || (result != 0 && unsupported(result))) {
        result = copyTo(path);
        // Only the spool's own file is removed, and only once its copy is in place.
        if (result == 0 && named && namesOwnFile(m_path))
            ::unlink(m_path.c_str());
    }
    if (result != 0)
        return fail(result, "cannot move " + m_path + " to " + path + ": " + std::strerror(result));

    ::close(m_fd);
    m_fd = -1;
    m_path = path;
    return true;
}

void WaveSpool::release()
{
    if (m_open)
        close();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool WaveSpool::discard()
{
    if (m_open)
        close();
    if (m_fd < 0)
        return false;
    // Unlinked while still locked: nobody can take an empty start for a take to recover.
    const bool removed = namesOwnFile(m_path) && ::unlink(m_path.c_str()) == 0;
    ::close(m_fd);
    m_fd = -1;
    return removed;
}
