// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What PipeWire's Pulse server says about cycles of its graph a client's stream missed. Held up for
// longer than a cycle (a busy virtual machine stalls even real-time threads for 20 to 100 ms), a
// stream that was not ready in time loses that cycle's audio, and the server logs at level 3
// "(Trelvik-0) client missed 1 wakeups". The tests' world starts the server so and names the log in
// TRELVIK_TEST_SERVER_LOG; a client's own stretch of lost audio that no other client shares is the
// server's doing when the log says so at that moment. PulseAudio has no such log.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace server_log {

struct Missed {
    double at;  // wall-clock seconds (the log's monotonic clock, moved onto the wall clock)
    int cycles; // how many in a row
    bool used = false;
};

// Every missed cycle the log names for a client whose streams are called `client` (the server adds
// "-N" to each); none without a log.
inline std::vector<Missed> missedCycles(const std::string& client)
{
    std::vector<Missed> missed;
    const char* path = std::getenv("TRELVIK_TEST_SERVER_LOG");
    if (!path || !*path)
        return missed;
    FILE* file = std::fopen(path, "r");
    if (!file)
        return missed;
    timespec wall{};
    timespec mono{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    const double offset = double(wall.tv_sec - mono.tv_sec) + double(wall.tv_nsec - mono.tv_nsec) / 1e9;
    const std::string name = "(" + client + "-";
    char line[1024];
    while (std::fgets(line, sizeof line, file)) {
        const char* said = std::strstr(line, " client missed ");
        const char* who = std::strstr(line, name.c_str());
        if (!said || !who || who > said || line[0] != '[')
            continue;
        // "[I][63573.881260] ..."
        const char* stamp = std::strchr(line + 1, '[');
        if (!stamp)
            continue;
        const double at = std::atof(stamp + 1);
        const int cycles = std::atoi(said + std::strlen(" client missed "));
        if (at > 0 && cycles > 0)
            missed.push_back({at + offset, cycles});
    }
    std::fclose(file);
    return missed;
}

// Takes the first missed cycles, not taken yet, within `within` seconds of `at` that can stand for
// `seconds` of lost audio (each cycle at most 2048 frames at 44100 Hz); whether there were.
inline bool takeMissed(std::vector<Missed>& missed, double at, double seconds, double within = 0.5)
{
    for (Missed& m : missed) {
        if (m.used || std::abs(m.at - at) > within || seconds > m.cycles * 2048.0 / 44100 + 0.001)
            continue;
        m.used = true;
        return true;
    }
    return false;
}

} // namespace server_log
