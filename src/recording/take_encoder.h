// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "recording/wave_spool.h"

#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Writes a compressed copy of a take while it is being recorded: a thread of its own follows the
// spool file (a wave file another thread keeps appending to) through a read-only descriptor of its
// own and encodes what the spool's header already counts, a few times a second. When the recording
// stops only the last fraction of a second is left to encode, whatever the length of the take.
//
// FLAC, Ogg Vorbis and Ogg Opus are written with libsndfile; Opus takes 8 kHz as it is and every
// other rate resampled to 48 kHz. MP3 is written by lame, run as a child process with raw PCM on
// its standard input and the same options the conversion after recording passes, so that lame puts
// its own Info header, with the exact length, into the file.
//
// The spool is never written to. The output is created new (an existing file is never replaced) and
// removed again on any failure or when the copy is abandoned.
class TakeEncoder {
public:
    enum class Kind { Flac, Vorbis, Opus, Mp3 };

    struct Mp3Options {
        // lame's path, or a name looked up on PATH.
        std::string program = "lame";
        // The user's options as the conversion passes them ("-b", "128", "-m", "j", "-h"). Only the
        // mode is adapted to raw input, to the same effect: a mono take is given "-m m", and "-m m"
        // for a stereo take becomes "-a", which mixes the two channels down as lame does for a
        // stereo wave file.
        QStringList arguments;
    };

    struct Result {
        bool ok = false;
        // Frames the checked output holds, at outputRate.
        uint64_t frames = 0;
        int outputRate = 0;
        // Why it failed, in plain words; empty on success.
        std::string error;
    };

    TakeEncoder();
    // Abandons a copy still being made.
    ~TakeEncoder();
    TakeEncoder(const TakeEncoder&) = delete;
    TakeEncoder& operator=(const TakeEncoder&) = delete;

    // Opens spoolPath for reading, creates outputPath (which must not exist), starts lame for MP3 and
    // starts the thread that follows the spool. format is the spool's; its header must say the same.
    // False, with the reason in error, when any of it fails; nothing is left behind then.
    bool start(const std::string& spoolPath, const WaveSpool::Format& format, Kind kind, const std::string& outputPath,
               const Mp3Options& mp3, std::string* error);
    bool start(const std::string& spoolPath, const WaveSpool::Format& format, Kind kind, const std::string& outputPath,
               std::string* error)
    {
        return start(spoolPath, format, kind, outputPath, Mp3Options{}, error);
    }

    // The spool is complete and holds totalFrames frames (WaveSpool::bytesWritten() / frameBytes()
    // after its close()): the rest is encoded, the output closed and checked. Returns at once; done,
    // when given, is called with the result on the encoder's thread (at once, on the caller's, when
    // the copy failed already), and wait() returns it too.
    void finish(uint64_t totalFrames, std::function<void(const Result&)> done = {});
    // After finish(), or once the copy failed by itself: waits for the result. Otherwise (and after
    // abandon()) a failed result.
    Result wait();
    // Stops at once and removes the partial output; the spool is left alone.
    void abandon();

    // Before finish(): whether the copy has failed by itself while the take goes on (a full disk,
    // lame gone), with the reason in why. The take itself is not affected.
    bool failedWhileRecording(std::string* why);

    // From start() until the result is in (or the copy abandoned) and taken by wait().
    bool isRunning() const { return m_thread.joinable(); }
    // Spool frames encoded so far: how far the copy has followed the recording.
    uint64_t framesEncoded() const { return m_encoded.load(); }
    const std::string& outputPath() const { return m_outputPath; }

    // Whether this system's libsndfile writes the kind (for MP3: reads it, which checking lame's
    // output needs), asked through its lists of formats.
    static bool supported(Kind kind);
    // The sample rate of the output for a take of that rate. lame may choose a lower rate still for
    // a low bit rate, as it does in the conversion after recording.
    static int outputRate(Kind kind, int rate);
    // The file name extension of the kind, without the dot.
    static const char* extension(Kind kind);

    // How long a take may be behind: how often the spool's header is looked at.
    static constexpr std::chrono::milliseconds pollInterval{250};

    // Where the encoded audio goes: libsndfile's file or lame's input.
    class Sink;

private:
    void run();
    // How many whole frames the spool's header counts and the file holds; false on a failure. Before
    // the end a header not written yet is no failure.
    bool probe(uint64_t* available, bool final);
    // Encodes what the spool holds up to limit frames; at the end the spool must hold them all.
    bool catchUp(uint64_t limit, bool final);
    bool finishOutput();
    // why, said more plainly where the system can tell more.
    std::string plainReason(const std::string& why) const;
    bool verify();
    void fail(const std::string& why);
    void removeOutput();
    void cleanUp();

    Kind m_kind = Kind::Flac;
    WaveSpool::Format m_format;
    std::string m_spoolPath;
    std::string m_outputPath;
    int m_spoolFd = -1;
    int m_outputFd = -1; // FLAC, Vorbis, Opus: libsndfile writes through it
    // Which file the output is: only that file is ever removed.
    uint64_t m_outputDevice = 0;
    uint64_t m_outputInode = 0;
    std::unique_ptr<Sink> m_sink;
    std::unique_ptr<uint8_t[]> m_raw;
    std::unique_ptr<int16_t[]> m_samples;
    uint64_t m_dataOffset = 0;
    uint64_t m_readFrames = 0;

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_finishing = false;                  // guarded by m_mutex
    bool m_abandoning = false;                 // guarded by m_mutex
    bool m_ended = false;                      // guarded by m_mutex: the thread has its result
    uint64_t m_totalFrames = 0;                // guarded by m_mutex
    std::function<void(const Result&)> m_done; // guarded by m_mutex
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_encoded{0};
    std::string m_error;
    Result m_result{false, 0, 0, "no copy was started"};
};
