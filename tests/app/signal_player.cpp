// Plays the tests' signal (signal_code.h) into a sink until it is killed or the sink goes, and
// writes down which frame is heard when: after each write, a line with the wall-clock time and the
// number of the frame the sink plays at that moment (written less the stream's latency). A test
// reads the log to tell which frame of the signal was heard at the moment it pressed a key.
//
// usage: signal_player --device SINK --rate R --channels C --bits 8|16 --log FILE
//                      [--first-frame N] [--latency-ms MS] [--bursts ON_MS:OFF_MS]
//                      [--gain-db DB] [--dc FRACTION]
// --latency-ms asks for that much buffer; without it the server chooses (2 s, as paplay's).
// --bursts plays the signal in bursts: ON_MS of it, then OFF_MS of silence, over again (the frames
// of the silence are the signal's numbers too, so a burst holds the same frames as without it).
// --gain-db scales the signal (16 bits only), and --dc adds an offset of that fraction of full scale
// to every sample, silence included: a take of either no longer matches the signal, but its level is
// known.

#include "tests/app/signal_code.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

double wallClock()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

int usage()
{
    std::fprintf(stderr, "usage: signal_player --device SINK --rate R --channels C --bits 8|16 --log FILE "
                         "[--first-frame N] [--latency-ms MS] [--bursts ON_MS:OFF_MS] [--gain-db DB] "
                         "[--dc FRACTION]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string device;
    std::string logPath;
    int rate = 44100;
    int channels = 2;
    int bits = 16;
    long latencyMs = -1;
    uint64_t frame = 0;
    long onMs = 0;
    long offMs = 0;
    double gain = 1;
    double dc = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--device")
            device = value;
        else if (option == "--log")
            logPath = value;
        else if (option == "--rate")
            rate = std::atoi(value);
        else if (option == "--channels")
            channels = std::atoi(value);
        else if (option == "--bits")
            bits = std::atoi(value);
        else if (option == "--latency-ms")
            latencyMs = std::atol(value);
        else if (option == "--first-frame")
            frame = std::strtoull(value, nullptr, 10);
        else if (option == "--bursts" && std::sscanf(value, "%ld:%ld", &onMs, &offMs) == 2 && onMs > 0 && offMs > 0)
            continue;
        else if (option == "--gain-db")
            gain = std::pow(10.0, std::atof(value) / 20);
        else if (option == "--dc")
            dc = std::atof(value);
        else
            return usage();
    }
    if (device.empty() || logPath.empty() || rate <= 0 || (channels != 1 && channels != 2) || (bits != 8 && bits != 16))
        return usage();

    FILE* log = std::fopen(logPath.c_str(), "w");
    if (!log) {
        std::fprintf(stderr, "signal_player: %s: %s\n", logPath.c_str(), std::strerror(errno));
        return 1;
    }
    pa_sample_spec sampleSpec{};
    sampleSpec.format = bits == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    sampleSpec.rate = uint32_t(rate);
    sampleSpec.channels = uint8_t(channels);
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.tlength = latencyMs < 0 ? uint32_t(-1) : uint32_t(pa_usec_to_bytes(pa_usec_t(latencyMs) * 1000, &sampleSpec));
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "signal_player", PA_STREAM_PLAYBACK, device.c_str(), "The test signal",
                                      &sampleSpec, nullptr, &attr, &error);
    if (!stream) {
        std::fprintf(stderr, "signal_player: %s\n", pa_strerror(error));
        return 1;
    }
    // Writes of 10 ms: the log places each moment within that.
    const size_t blockFrames = size_t(rate) / 100;
    const size_t sampleBytes = bits == 8 ? 1 : 2;
    std::vector<uint8_t> block(blockFrames * size_t(channels) * sampleBytes);
    const uint64_t firstFrame = frame;
    const uint64_t onFrames = uint64_t(onMs) * uint64_t(rate) / 1000;
    const uint64_t period = onFrames + uint64_t(offMs) * uint64_t(rate) / 1000;
    for (;;) {
        for (size_t f = 0; f < blockFrames; ++f)
            for (int c = 0; c < channels; ++c) {
                const bool quiet = period > 0 && (frame + f - firstFrame) % period >= onFrames;
                int32_t value = quiet ? (bits == 8 ? 128 : 0) : signal_code::sample(frame + f, c, bits);
                if (bits == 16 && (gain != 1 || dc != 0))
                    value = int32_t(std::lround(std::clamp(value * gain + dc * 32767, -32768.0, 32767.0)));
                uint8_t* at = block.data() + (f * size_t(channels) + size_t(c)) * sampleBytes;
                if (bits == 8) {
                    at[0] = uint8_t(value);
                } else {
                    at[0] = uint8_t(uint16_t(value) & 0xff);
                    at[1] = uint8_t(uint16_t(value) >> 8);
                }
            }
        if (pa_simple_write(stream, block.data(), block.size(), &error) < 0) {
            std::fprintf(stderr, "signal_player: %s\n", pa_strerror(error));
            break;
        }
        frame += blockFrames;
        const pa_usec_t latency = pa_simple_get_latency(stream, &error);
        if (latency == pa_usec_t(-1))
            continue;
        const double heard = double(frame) - double(latency) * rate / 1e6;
        std::fprintf(log, "%.6f %.1f\n", wallClock(), heard);
        std::fflush(log);
    }
    pa_simple_free(stream);
    std::fclose(log);
    return 1;
}
