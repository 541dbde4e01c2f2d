#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct iovec;

// Gives a spool's ring memory back: mapped pages (mappedBytes > 0) or an allocation.
struct SpoolRingRelease {
    size_t mappedBytes = 0;
    void operator()(uint8_t* ring) const noexcept;
};

// A wave file that grows while audio arrives. One producer (the sound server's callback thread)
// hands over PCM bytes with push(), which never blocks and never touches the disk; a writer thread
// of the spool moves them from a fixed ring buffer to the file. The header is rewritten after every
// write, so the file is playable at any moment. It is a plain PCM wave file (format tag 1), which
// every reader takes, and turns into RF64 in place only if it passes 4 GiB. Memory stays the same
// however long the recording.
//
// The file is named after the take it is going to become, "<folder>/<name>.recording" (or
// "<name>.1.recording", ... when that exists), and holds an exclusive flock() from open() until it
// has been moved into place or given up. A ".recording" file that can be locked therefore belongs
// to no running program and is a take to recover.
class WaveSpool {
public:
    // How often the writer moves audio to the file, and with it the header: a program killed (or
    // crashed) loses at most this much, besides the fragment the sound server had not handed over
    // yet. Once a second costs the writer a quarter of the wake-ups and system calls of four times a
    // second; the take's file is still playable at any moment, and complete to within a second.
    static constexpr std::chrono::milliseconds writeInterval{1000};
    // How much of a recording a power cut may take: what was written is forced to the disk this
    // often.
    static constexpr std::chrono::seconds syncInterval{5};
    static constexpr const char* suffix = ".recording";

    struct Format {
        int channels = 2;
        int rate = 22050;
        int bits = 16; // 8: unsigned bytes; 16: signed little-endian
        int frameBytes() const { return channels * (bits / 8); }
        int bytesPerSecond() const { return rate * frameBytes(); }
    };

    WaveSpool() = default;
    // A spool that was not moved into place stays on disk for a later recovery.
    ~WaveSpool();
    WaveSpool(const WaveSpool&) = delete;
    WaveSpool& operator=(const WaveSpool&) = delete;

    // Creates "<folder>/<targetName>.recording" (never replacing a file), locks it and starts the
    // writer. targetName is the file name the take is meant to get, without a folder; one too long
    // to carry the suffix is shortened, its extension kept.
    // bufferSeconds is how long the disk may stall before audio is lost. On failure error says why.
    bool open(const std::string& folder, const std::string& targetName, const Format& format, int bufferSeconds,
              std::string* error);
    // True from open() until close(): the writer runs.
    bool isOpen() const { return m_open; }
    // True from open() until moveTo(), release() or discard(): the file is locked by this spool.
    bool isHeld() const { return m_fd >= 0; }
    // Where the take is: the spool file, or after moveTo() its new place.
    const std::string& path() const { return m_path; }
    const Format& format() const { return m_format; }

    // Called once, on the writer thread, with the errno of the first write that failed (ENOSPC for
    // a full disk, EFBIG, EIO, ...), so the program can tell the user while the take goes on. May be
    // set at any time. It holds up the writer: it should only pass the news on, and never call
    // close(), moveTo(), release() or discard().
    void setFailureCallback(std::function<void(int error)> callback);
    // The errno of the first failed write; 0 while none failed.
    int writeError() const { return m_writeError.load(); }

    // Has the writer move what is buffered to the file and force it to the disk now, rather than
    // within syncInterval: the machine is about to sleep, and may not wake.
    void syncSoon();

    // Producer side: whole frames only; bytes that do not fit are counted as lost.
    void push(const void* data, size_t bytes);
    // A gap the server reported: silence of that many bytes keeps the timeline.
    void pushSilence(size_t bytes);

    // Writes what is still buffered, stops the writer, completes the file and forces it to the disk.
    // True when every byte that fitted the ring reached the file (bytesLost() tells what did not
    // fit). The file stays locked until moveTo(), release() or discard().
    bool close();

    // After close(): gives the take the name path, never replacing an existing file. A rename on the
    // same file system; otherwise, or when the spool's own name is gone (its folder was deleted),
    // a copy of the open file's content. On failure errno says why (EEXIST when path exists; pick
    // another name) and the spool is held as before.
    bool moveTo(const std::string& path, std::string* error);
    // Gives the take up: unlocked and left on disk, for a later recovery.
    void release();
    // Removes the spool file: for a start that failed before anything was recorded.
    bool discard();

    uint64_t bytesPushed() const { return m_pushed.load(); }
    uint64_t bytesLost() const { return m_lost.load(); }
    uint64_t bytesWritten() const { return m_written.load(); }

private:
    size_t reserve(size_t bytes);
    void commit(size_t bytes);
    void writerLoop();
    // Puts the audio in parts behind what the file holds and brings the header up to date; returns
    // how many bytes reached the file.
    uint64_t append(iovec* parts, int count);
    // Completes the file once the last audio is in.
    void finish();
    // 0 or an errno.
    int writeHeader(uint64_t dataBytes, bool complete);
    void failed(int error);
    // True while path names the file this spool holds.
    bool namesOwnFile(const std::string& path) const;
    // Puts a copy of the held file at path, never replacing a file; 0 or an errno.
    int copyTo(const std::string& path);

    Format m_format;
    std::string m_path;
    bool m_open = false;
    // The file's only descriptor: the writer writes through it, and it keeps the lock and the
    // content reachable from close() until the take is placed, also after the spool's name is gone.
    int m_fd = -1;

    using Ring = std::unique_ptr<uint8_t[], SpoolRingRelease>;
    static Ring ringOf(size_t bytes);
    Ring m_ring;
    size_t m_capacity = 0;
    // Monotonic byte counters; the ring position is the counter modulo the capacity.
    std::atomic<uint64_t> m_head{0}; // written by the producer
    std::atomic<uint64_t> m_tail{0}; // written by the writer

    std::thread m_writer;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_syncWanted{false};
    std::atomic<int> m_writeError{0};
    std::function<void(int)> m_failureCallback; // guarded by m_mutex

    std::atomic<uint64_t> m_pushed{0};
    std::atomic<uint64_t> m_lost{0};
    std::atomic<uint64_t> m_written{0};
};
