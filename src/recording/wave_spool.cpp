#include "recording/wave_spool.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

WaveSpool::~WaveSpool()
{
    close();
}

bool WaveSpool::open(const std::string& folder, const Format& format, int bufferSeconds, std::string* error)
{
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (m_file)
        return fail("already open");
    m_format = format;

    std::string pattern = folder;
    if (pattern.empty() || pattern.back() != '/')
        pattern += '/';
    pattern += "trelvik-recording-XXXXXX.wav";
    const int fd = mkstemps(pattern.data(), 4);
    if (fd < 0)
        return fail(std::string("cannot create a file in ") + folder + ": " + std::strerror(errno));
    // The spool becomes the recording: it gets the permissions of any new file of the user's, not
    // the private ones of a temporary file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);

    SF_INFO info{};
    info.samplerate = format.rate;
    info.channels = format.channels;
    info.format = SF_FORMAT_RF64 | (format.bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!file) {
        const std::string why = sf_strerror(nullptr);
        ::close(fd);
        ::unlink(pattern.c_str());
        return fail("cannot write a wave file: " + why);
    }
    // A plain RIFF wave file while it stays below 4 GiB; the header follows every write.
    sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);

    // Whole frames of every supported format fit a multiple of 4 bytes, so a frame never wraps.
    const size_t wanted = size_t(std::max(1, bufferSeconds)) * size_t(format.bytesPerSecond());
    m_capacity = std::max<size_t>(64 * 1024, (wanted + 3) / 4 * 4);
    m_ring.reset(new uint8_t[m_capacity]);
    // Touch every page now, so the memory in use does not creep up while the ring first fills.
    std::memset(m_ring.get(), 0, m_capacity);
    m_head = 0;
    m_tail = 0;
    m_pushed = 0;
    m_lost = 0;
    m_written = 0;
    m_stopping = false;
    m_writeFailed = false;

    m_path = pattern;
    m_file = file;
    m_writer = std::thread(&WaveSpool::writerLoop, this);
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
    if (!m_file || bytes == 0)
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
    if (!m_file || bytes == 0)
        return;
    const size_t fits = reserve(bytes);
    const int silence = m_format.bits == 8 ? 0x80 : 0;
    const size_t at = size_t(m_head.load(std::memory_order_relaxed) % m_capacity);
    const size_t first = std::min(fits, m_capacity - at);
    std::memset(m_ring.get() + at, silence, first);
    std::memset(m_ring.get(), silence, fits - first);
    commit(fits);
}

void WaveSpool::writerLoop()
{
    for (;;) {
        {
            // Writing in batches keeps the header rewrites and wake-ups few; a killed program loses
            // at most one batch.
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, writeInterval, [this] {
                return m_stopping.load() || m_head.load(std::memory_order_acquire) -
                                                    m_tail.load(std::memory_order_relaxed) > m_capacity / 2;
            });
        }
        const bool stopping = m_stopping.load();
        for (;;) {
            const uint64_t tail = m_tail.load(std::memory_order_relaxed);
            const uint64_t head = m_head.load(std::memory_order_acquire);
            if (head == tail)
                break;
            const size_t at = size_t(tail % m_capacity);
            const size_t length = std::min(size_t(head - tail), m_capacity - at);
            const sf_count_t done = sf_write_raw(m_file, m_ring.get() + at, sf_count_t(length));
            if (done != sf_count_t(length))
                m_writeFailed = true;
            if (done > 0)
                m_written += uint64_t(done);
            // A failed write still frees the ring, so the producer keeps its constant memory; the
            // failure is reported when the file is closed.
            m_tail.store(tail + length, std::memory_order_release);
        }
        if (stopping)
            return;
    }
}

bool WaveSpool::close()
{
    if (!m_file)
        return false;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_writer.joinable())
        m_writer.join();
    const bool closed = sf_close(m_file) == 0;
    m_file = nullptr;
    m_ring.reset();
    m_capacity = 0;
    return closed && !m_writeFailed.load();
}
