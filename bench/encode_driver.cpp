// SPDX-License-Identifier: GPL-3.0-or-later
// The compressed copy of a take as the program makes it while it records, for encode.sh: a
// WaveSpool is fed a music-like signal (chords of tones with overtones, each note fading, plus a
// little noise; 44100 Hz, stereo, 16 bits) and a TakeEncoder follows the spool into the output.
//
//   encode_driver signal MINUTES
//       Writes that signal, MINUTES long, as a wave file to standard output, so that a standard
//       encoder can be given the same audio through a pipe.
//   encode_driver take wav|flac|vorbis|opus|mp3 MINUTES OUT [--speed N] [--lame "OPTIONS"]
//       Records MINUTES of the signal into a spool beside OUT, N times faster than real time
//       (default 20) except for its last seconds, which arrive in real time as they would before a
//       Stop. Then the take ends as in the program (the spool is closed and the encoder told how
//       long the take is) and the driver waits for the checked copy. OPTIONS are lame's, split at
//       blanks (default "-b 128 -m j"). The spool is removed again; OUT stays. "wav" records the
//       take alone, as for a wave file, and writes no OUT: what the recording costs without a copy.
//
// "take" prints key=value lines (those of the encoder not for "wav"):
//   encoder_cpu_s  CPU time of the encoder's thread and of its children (lame for MP3), the sum of
//                  encoder_thread_cpu_s and children_cpu_s
//   driver_cpu_s   CPU time of the whole driver and its children (getrusage RUSAGE_SELF +
//                  RUSAGE_CHILDREN) from the start of the take to the checked copy: the encoder, the
//                  spool's writer and the feeding
//   lag_at_end_s   seconds of audio the spool held that the encoder had not yet encoded, when the
//                  last audio was handed over
//   close_s        seconds the spool took to close (its last write and its sync to the disk)
//   finish_s       seconds from finish() to the checked copy
//   stop_s         close_s + finish_s: from the end of the take to the checked copy
//   frames, output_rate, output_bytes, spool_bytes
// and exits with 1 when the copy failed or audio did not fit the spool.

#include "recording/take_encoder.h"
#include "recording/wave_spool.h"

#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int rate = 44100;
constexpr int channels = 2;
constexpr int frameBytes = 4;
// The signal repeats after this long; no encoder looks that far back.
constexpr int loopSeconds = 32;
// The end of a take arrives in real time, so that what is left at Stop is what a real recording
// leaves: longer than the encoder's poll interval and the spool's write interval together.
constexpr double realTimeTail = 2.0;

// 16-bit little-endian stereo frames, loopSeconds long: a chord every half second from a pentatonic
// scale, each note with two overtones, fading after its attack and placed left or right, over
// white noise at about -46 dB.
std::vector<uint8_t> makeSignal()
{
    const size_t frames = size_t(loopSeconds) * rate;
    std::vector<uint8_t> bytes(frames * frameBytes);
    const double scale[] = {0, 2, 4, 7, 9, 12, 14, 16};
    uint32_t random = 0x2545F491u;
    auto next = [&random] {
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        return random;
    };
    const size_t noteFrames = rate / 2;
    struct Note {
        double hz;
        double pan; // 0 left .. 1 right
    };
    std::vector<Note> chord(3);
    for (size_t i = 0; i < frames; ++i) {
        const size_t inNote = i % noteFrames;
        if (inNote == 0) {
            const double root = 220.0 * std::pow(2.0, double(next() % 5) / 12.0);
            for (Note& note : chord) {
                note.hz = root * std::pow(2.0, scale[next() % 8] / 12.0);
                note.pan = double(next() % 1000) / 999.0;
            }
        }
        const double t = double(inNote) / rate;
        const double envelope = std::min(1.0, t / 0.01) * std::exp(-3.0 * t);
        double left = 0;
        double right = 0;
        for (const Note& note : chord) {
            const double phase = 2 * M_PI * note.hz * double(i) / rate;
            const double tone =
                (std::sin(phase) + 0.4 * std::sin(2 * phase) + 0.2 * std::sin(3 * phase)) * envelope * 0.18;
            left += tone * (1 - note.pan * 0.7);
            right += tone * (0.3 + note.pan * 0.7);
        }
        const double noiseLeft = (double(next() % 65536) / 32768.0 - 1.0) * 0.005;
        const double noiseRight = (double(next() % 65536) / 32768.0 - 1.0) * 0.005;
        const auto sample = [](double value) {
            return uint16_t(int16_t(std::lround(std::clamp(value, -1.0, 1.0) * 32767)));
        };
        const uint16_t l = sample(left + noiseLeft);
        const uint16_t r = sample(right + noiseRight);
        uint8_t* at = bytes.data() + i * frameBytes;
        at[0] = uint8_t(l);
        at[1] = uint8_t(l >> 8);
        at[2] = uint8_t(r);
        at[3] = uint8_t(r >> 8);
    }
    return bytes;
}

void put32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = uint8_t(value >> (8 * i));
}

int writeSignal(double minutes)
{
    const std::vector<uint8_t> signal = makeSignal();
    const uint64_t frames = uint64_t(std::llround(minutes * 60 * rate));
    const uint64_t dataBytes = frames * frameBytes;
    if (dataBytes > 0xFFFFFFFFu - 36) {
        std::fprintf(stderr, "encode_driver: %g minutes do not fit a wave file\n", minutes);
        return 2;
    }
    uint8_t header[44] = {'R', 'I', 'F', 'F', 0,  0, 0, 0, 'W', 'A', 'V',      'E',
                          'f', 'm', 't', ' ', 16, 0, 0, 0, 1,   0,   channels, 0};
    put32(header + 4, uint32_t(36 + dataBytes));
    put32(header + 24, rate);
    put32(header + 28, rate * frameBytes);
    header[32] = frameBytes;
    header[34] = 16;
    std::memcpy(header + 36, "data", 4);
    put32(header + 40, uint32_t(dataBytes));
    if (std::fwrite(header, 1, sizeof header, stdout) != sizeof header)
        return 1;
    for (uint64_t written = 0; written < dataBytes;) {
        const size_t at = size_t(written % signal.size());
        const size_t piece = size_t(std::min<uint64_t>(signal.size() - at, dataBytes - written));
        if (std::fwrite(signal.data() + at, 1, piece, stdout) != piece)
            return 1;
        written += piece;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

double seconds(const timeval& value)
{
    return double(value.tv_sec) + double(value.tv_usec) / 1e6;
}

// CPU time of this process and of the children it has waited for.
double processCpu()
{
    rusage self{};
    rusage children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) + seconds(children.ru_stime);
}

double childrenCpu()
{
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    return seconds(children.ru_utime) + seconds(children.ru_stime);
}

double since(Clock::time_point start, Clock::time_point end = Clock::now())
{
    return std::chrono::duration<double>(end - start).count();
}

int recordTake(const std::string& kindName, double minutes, const std::string& output, double speed,
               const QStringList& lameOptions)
{
    // No kind: the take alone, as it is recorded for a wave file.
    std::optional<TakeEncoder::Kind> kind;
    if (kindName == "flac")
        kind = TakeEncoder::Kind::Flac;
    else if (kindName == "vorbis")
        kind = TakeEncoder::Kind::Vorbis;
    else if (kindName == "opus")
        kind = TakeEncoder::Kind::Opus;
    else if (kindName == "mp3")
        kind = TakeEncoder::Kind::Mp3;
    else if (kindName != "wav") {
        std::fprintf(stderr, "encode_driver: unknown kind %s\n", kindName.c_str());
        return 2;
    }
    const std::vector<uint8_t> signal = makeSignal();
    const size_t slash = output.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash);
    const std::string name = (slash == std::string::npos ? output : output.substr(slash + 1)) + ".wav";

    const double cpuAtStart = processCpu();
    const double childrenAtStart = childrenCpu();
    WaveSpool spool;
    WaveSpool::Format format;
    format.channels = channels;
    format.rate = rate;
    format.bits = 16;
    std::string error;
    // Room for what arrives at the speed-up while the writer waits its interval, twice over.
    const int bufferSeconds = 10 + int(std::ceil(speed));
    if (!spool.open(folder, name, format, bufferSeconds, &error)) {
        std::fprintf(stderr, "encode_driver: the spool does not open: %s\n", error.c_str());
        return 1;
    }
    TakeEncoder encoder;
    if (kind) {
        TakeEncoder::Mp3Options mp3;
        mp3.arguments = lameOptions;
        if (!encoder.start(spool.path(), format, *kind, output, mp3, &error)) {
            std::fprintf(stderr, "encode_driver: the encoder does not start: %s\n", error.c_str());
            spool.discard();
            return 1;
        }
    }

    // Pieces of 10 ms of wall time, as a sound server hands them over, on a fixed schedule.
    const uint64_t total = uint64_t(std::llround(minutes * 60 * rate));
    const uint64_t tail = std::min<uint64_t>(total, uint64_t(realTimeTail * rate));
    const uint64_t fast = total - tail;
    auto due = [&](uint64_t frame) {
        const double at = frame <= fast ? double(frame) / (rate * speed)
                                        : double(fast) / (rate * speed) + double(frame - fast) / rate;
        return std::chrono::duration<double>(at);
    };
    const auto feedStart = Clock::now();
    uint64_t fed = 0;
    while (fed < total) {
        const uint64_t piece =
            std::min<uint64_t>(total - fed, uint64_t(std::max(1.0, (fed < fast ? speed : 1.0) * rate / 100)));
        uint64_t left = piece;
        while (left > 0) {
            const size_t at = size_t((fed + (piece - left)) * frameBytes % signal.size());
            const size_t bytes = size_t(std::min<uint64_t>(left * frameBytes, signal.size() - at));
            spool.push(signal.data() + at, bytes);
            left -= bytes / frameBytes;
        }
        fed += piece;
        std::this_thread::sleep_until(feedStart + std::chrono::duration_cast<Clock::duration>(due(fed)));
    }
    const uint64_t encodedAtEnd = encoder.framesEncoded();

    // The end of the take, as at Stop: the spool completes its file, then the encoder is told how
    // long the take is.
    const auto end = Clock::now();
    const bool closed = spool.close();
    const auto closedAt = Clock::now();
    double threadCpu = 0;
    Clock::time_point doneAt = closedAt;
    TakeEncoder::Result result{true, spool.bytesWritten() / uint64_t(format.frameBytes()), rate, {}};
    if (kind) {
        encoder.finish(spool.bytesWritten() / uint64_t(format.frameBytes()), [&](const TakeEncoder::Result&) {
            // On the encoder's thread, as its last work.
            timespec cpu{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
            threadCpu = double(cpu.tv_sec) + double(cpu.tv_nsec) / 1e9;
            doneAt = Clock::now();
        });
        result = encoder.wait();
    }
    const double encoderChildrenCpu = childrenCpu() - childrenAtStart;
    const double driverCpu = processCpu() - cpuAtStart;

    struct stat spoolStatus {};
    struct stat outputStatus {};
    ::stat(spool.path().c_str(), &spoolStatus);
    if (kind)
        ::stat(output.c_str(), &outputStatus);
    spool.discard();
    if (!closed || spool.bytesLost() != 0) {
        std::fprintf(stderr, "encode_driver: the spool lost %llu bytes (write error %d)\n",
                     static_cast<unsigned long long>(spool.bytesLost()), spool.writeError());
        return 1;
    }
    if (!result.ok) {
        std::fprintf(stderr, "encode_driver: the copy failed: %s\n", result.error.c_str());
        return 1;
    }
    std::printf("driver_cpu_s=%.3f\n", driverCpu);
    if (kind) {
        std::printf("encoder_cpu_s=%.3f\n", threadCpu + encoderChildrenCpu);
        std::printf("encoder_thread_cpu_s=%.3f\n", threadCpu);
        std::printf("children_cpu_s=%.3f\n", encoderChildrenCpu);
        std::printf("lag_at_end_s=%.3f\n", double(fed - std::min(fed, encodedAtEnd)) / rate);
    }
    std::printf("close_s=%.3f\n", since(end, closedAt));
    std::printf("finish_s=%.3f\n", since(closedAt, doneAt));
    std::printf("stop_s=%.3f\n", since(end, doneAt));
    std::printf("frames=%llu\n", static_cast<unsigned long long>(result.frames));
    std::printf("output_rate=%d\n", result.outputRate);
    std::printf("output_bytes=%lld\n", static_cast<long long>(kind ? outputStatus.st_size : spoolStatus.st_size));
    std::printf("spool_bytes=%lld\n", static_cast<long long>(spoolStatus.st_size));
    return 0;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: encode_driver signal MINUTES\n"
                 "       encode_driver take wav|flac|vorbis|opus|mp3 MINUTES OUT [--speed N] [--lame \"OPTIONS\"]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 2 && arguments[0] == "signal") {
        const double minutes = std::atof(arguments[1].c_str());
        return minutes > 0 ? writeSignal(minutes) : usage();
    }
    if (arguments.size() < 4 || arguments[0] != "take")
        return usage();
    double speed = 20;
    QStringList lame{QStringLiteral("-b"), QStringLiteral("128"), QStringLiteral("-m"), QStringLiteral("j")};
    for (size_t i = 4; i < arguments.size(); i += 2) {
        if (i + 1 >= arguments.size())
            return usage();
        if (arguments[i] == "--speed")
            speed = std::atof(arguments[i + 1].c_str());
        else if (arguments[i] == "--lame")
            lame = QString::fromStdString(arguments[i + 1]).split(u' ', Qt::SkipEmptyParts);
        else
            return usage();
    }
    const double minutes = std::atof(arguments[2].c_str());
    if (minutes <= 0 || speed < 1)
        return usage();
    return recordTake(arguments[1], minutes, arguments[3], speed, lame);
}
