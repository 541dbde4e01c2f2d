#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <system_error>
#include <vector>

// A take that a recorder left behind when it was killed, crashed or lost power: the spool it was
// streaming into, found at the next start so the audio can go back to the user.
//
// A spool is `<name>.recording` or `<name>.N.recording` (`<name>` being the file the take was to
// become), or `trelvik-recording-XXXXXX.wav` from earlier versions. Its recorder holds flock(LOCK_EX)
// on it from before the name appears until after the final rename, so a spool nobody can lock is
// being recorded right now by a live program and is never touched.
//
// An OrphanTake keeps the lock it was found with until it is destroyed, so another program starting
// at the same moment cannot claim the same spool; repairing, moving and removing all happen under it.
class OrphanTake {
public:
    enum class Verdict {
        Unchecked, // repair() has not run yet
        Take,      // a wave file with audio, whose header now describes exactly that audio
        Empty,     // a wave file without one whole frame of audio
        NotATake,  // not a wave file this program writes; left exactly as it was found
        Failed,    // reading or writing the file failed; repair() gives the reason
    };

    // The unclaimed spools in folders, oldest modification first. The same folder may be named twice
    // (under any spelling); folders that do not exist are passed over. Symbolic links and anything but
    // regular files are ignored, and so are spools that cannot be opened for writing: they could be
    // neither repaired nor moved.
    static std::vector<OrphanTake> find(const std::vector<std::string>& folders);

    // Whether a file name (no folder) is one a spool can have.
    static bool isSpoolName(const std::string& name);
    // The name a spool's take was to be saved under: "take.wav" for "take.wav.recording" and for
    // "take.wav.2.recording"; empty for the old names, which do not carry it. A planned name that
    // itself ends in ".<digits>" cannot be told apart from the running number and loses it.
    static std::string plannedNameOf(const std::string& spoolName);

    OrphanTake(OrphanTake&& other) noexcept;
    OrphanTake& operator=(OrphanTake&& other) noexcept;
    OrphanTake(const OrphanTake&) = delete;
    OrphanTake& operator=(const OrphanTake&) = delete;
    ~OrphanTake();

    // Where the take is: the spool, or its destination once moveTo() succeeded.
    const std::string& path() const { return m_path; }
    std::string plannedName() const;
    // When the recorder last wrote to the spool; repair() keeps this time on the file.
    timespec modified() const { return m_modified; }

    // Makes the header match the audio the file really holds: its sizes are taken from the length of
    // the file, never from the header, which is behind the audio (or all 0 or all 0xFFFFFFFF) when
    // the recorder died between writing audio and rewriting the header. A partial frame at the end is
    // cut off. The result holds: running it again changes nothing. A file that is not a wave file of
    // ours is not written to.
    Verdict repair(std::string* error = nullptr);
    Verdict verdict() const { return m_verdict; }
    bool isEmpty() const { return m_verdict == Verdict::Empty; }

    // The format found by repair().
    uint64_t frames() const { return m_frames; }
    int sampleRate() const { return m_sampleRate; }
    int channels() const { return m_channels; }
    int bitsPerSample() const { return m_bits; }
    int formatTag() const { return m_formatTag; } // 1: plain PCM; 0xFFFE: WAVE_FORMAT_EXTENSIBLE
    bool isRf64() const { return m_rf64; }

    // Moves the take to destination without ever replacing a file there: a destination that exists
    // fails with EEXIST (std::errc::file_exists), and the caller tries the next free name. Across file
    // systems the take is copied, synced, and only then linked into place. Normally called after
    // repair() found a Take.
    bool moveTo(const std::string& destination, std::error_code* error = nullptr);
    // Deletes the spool, e.g. one that holds no audio.
    bool remove(std::error_code* error = nullptr);

private:
    OrphanTake(int fd, std::string path, timespec modified);
    void release();
    int checkStillOurs() const;
    int copyAcross(const std::string& destination, bool viaTemporary);

    int m_fd = -1;
    std::string m_path;
    timespec m_modified{};
    bool m_claimed = false;

    Verdict m_verdict = Verdict::Unchecked;
    uint64_t m_frames = 0;
    int m_sampleRate = 0;
    int m_channels = 0;
    int m_bits = 0;
    int m_formatTag = 0;
    bool m_rf64 = false;
};
