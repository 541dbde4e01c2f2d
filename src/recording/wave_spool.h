#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

typedef struct sf_private_tag SNDFILE;

// A wave file that grows while audio arrives. One producer (the sound server's callback thread)
// hands over PCM bytes with push(), which never blocks and never touches the disk; a writer thread
// of the spool moves them from a fixed ring buffer to the file. The header is rewritten after every
// write, so the file is playable at any moment, and the file turns into RF64 only if it passes
// 4 GiB. Memory stays the same however long the recording.
class WaveSpool {
public:
    // How often the writer moves audio to the file.
    static constexpr std::chrono::milliseconds writeInterval{250};

    struct Format {
        int channels = 2;
        int rate = 22050;
        int bits = 16; // 8: unsigned bytes; 16: signed little-endian
        int frameBytes() const { return channels * (bits / 8); }
        int bytesPerSecond() const { return rate * frameBytes(); }
    };

    WaveSpool() = default;
    ~WaveSpool();
    WaveSpool(const WaveSpool&) = delete;
    WaveSpool& operator=(const WaveSpool&) = delete;

    // Creates a new file with a unique name in folder and starts the writer. bufferSeconds is how
    // long the disk may stall before audio is lost. On failure error says why.
    bool open(const std::string& folder, const Format& format, int bufferSeconds, std::string* error);
    bool isOpen() const { return m_file != nullptr; }
    const std::string& path() const { return m_path; }
    const Format& format() const { return m_format; }

    // Producer side: whole frames only; bytes that do not fit are counted as lost.
    void push(const void* data, size_t bytes);
    // A gap the server reported: silence of that many bytes keeps the timeline.
    void pushSilence(size_t bytes);

    // Writes what is still buffered, stops the writer and completes the file. True when every byte
    // that fitted the ring reached the file (bytesLost() tells what did not fit).
    bool close();

    uint64_t bytesPushed() const { return m_pushed.load(); }
    uint64_t bytesLost() const { return m_lost.load(); }
    uint64_t bytesWritten() const { return m_written.load(); }

private:
    size_t reserve(size_t bytes);
    void commit(size_t bytes);
    void writerLoop();

    Format m_format;
    std::string m_path;
    SNDFILE* m_file = nullptr;

    std::unique_ptr<uint8_t[]> m_ring;
    size_t m_capacity = 0;
    // Monotonic byte counters; the ring position is the counter modulo the capacity.
    std::atomic<uint64_t> m_head{0}; // written by the producer
    std::atomic<uint64_t> m_tail{0}; // written by the writer

    std::thread m_writer;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_writeFailed{false};

    std::atomic<uint64_t> m_pushed{0};
    std::atomic<uint64_t> m_lost{0};
    std::atomic<uint64_t> m_written{0};
};
