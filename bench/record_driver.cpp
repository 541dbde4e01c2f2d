// Records from the default source through the program's own capture component and reports what
// the recording cost: CPU time, memory at checkpoints, and how long the stop (op 0) took.
//
//   record_driver SECONDS OUT.wav [CHANNELS RATE BITS]
//
// Prints key=value lines: rss_kb_at_<n>s for every 10 s, stop_ms, peak_rss_kb, cpu_s, the processor
// seconds of each thread while recording (threads), missed_start_ms, frames.

#include "platform/pulse_context.h"
#include "recording/pulse_capture.h"

#include <QFileInfo>
#include <QString>

#include <sndfile.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <thread>

namespace {

long statusKb(const char* key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

// The processor time of each of the process's threads so far, by name: "name=seconds,...".
std::string threadSeconds()
{
    std::string out;
    const std::string tasks = "/proc/self/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks)) {
        std::ifstream comm(entry.path() / "comm");
        std::ifstream schedstat(entry.path() / "schedstat");
        std::string name;
        unsigned long long ns = 0;
        if (!std::getline(comm, name) || !(schedstat >> ns))
            continue;
        char part[128];
        std::snprintf(part, sizeof part, "%s%s=%.3f", out.empty() ? "" : ",", name.c_str(), double(ns) / 1e9);
        out += part;
    }
    return out;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SECONDS OUT.wav [CHANNELS RATE BITS]\n", argv[0]);
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[2]);
    const int channels = argc > 3 ? std::atoi(argv[3]) : 2;
    const int rate = argc > 4 ? std::atoi(argv[4]) : 44100;
    const int bits = argc > 5 ? std::atoi(argv[5]) : 16;

    auto pulse = std::make_shared<PulseContext>();
    if (!pulse->ensureConnected()) {
        std::fprintf(stderr, "record_driver: no sound server\n");
        return 1;
    }
    PulseCapture capture(pulse);
    capture.setSpoolFolder(QFileInfo(out).absolutePath());
    if (capture.start(channels, rate, bits) != 0) {
        std::fprintf(stderr, "record_driver: recording did not start\n");
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    for (int s = 1; s <= seconds; ++s) {
        std::this_thread::sleep_until(started + std::chrono::seconds(s));
        if (s % 10 == 0)
            std::printf("rss_kb_at_%ds=%ld\n", s, statusKb("VmRSS"));
    }
    // The threads' shares while recording, before the stop ends the spool's writer.
    const std::string threads = threadSeconds();
    const auto stopAt = std::chrono::steady_clock::now();
    const int result = capture.save(out);
    const auto stopped = std::chrono::steady_clock::now();
    std::printf("stop_result=%d\n", result);
    // What the source did not deliver after the start (a monitor whose sink had rendered ahead).
    std::printf("missed_start_ms=%d\n", capture.missedAtStartMs());
    std::printf("stop_ms=%.1f\n", std::chrono::duration<double, std::milli>(stopped - stopAt).count());
    std::printf("peak_rss_kb=%ld\n", statusKb("VmHWM"));
    std::printf("cpu_s=%.3f\n", cpuSeconds());
    std::printf("threads=%s\n", threads.c_str());

    SF_INFO info{};
    if (SNDFILE* file = sf_open(argv[2], SFM_READ, &info)) {
        std::printf("frames=%lld\n", static_cast<long long>(info.frames));
        sf_close(file);
    }
    std::fflush(stdout);
    return result == 0 ? 0 : 1;
}
