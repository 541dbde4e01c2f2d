// SPDX-License-Identifier: GPL-3.0-or-later
//
// What one wake of an idle thread costs on this machine: a thread that sleeps on a timer 30 times
// a second and does nothing else, for a number of seconds. Every thread of the program and of
// parecord pays this at each wake before doing any work, so it is the floor under their per-minute
// figures; on a virtual machine it can be ten times what it is on the bare machine.
//
//   wake_floor [SECONDS]     (default 5)
//
// Prints "wakes=N" and "us_per_wake=X" (processor time of the thread, all of it, per wake).
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int wakes = 30 * (seconds > 0 ? seconds : 5);
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (timer < 0) {
        std::perror("wake_floor: timerfd_create");
        return 1;
    }
    const itimerspec every{{0, 1000000000L / 30}, {0, 1000000000L / 30}};
    timerfd_settime(timer, 0, &every, nullptr);
    pollfd waiting{timer, POLLIN, 0};
    const double start = threadSeconds();
    for (int i = 0; i < wakes; ++i) {
        uint64_t expirations = 0;
        if (poll(&waiting, 1, -1) < 0 || read(timer, &expirations, sizeof expirations) < 0) {
            std::perror("wake_floor");
            return 1;
        }
    }
    std::printf("wakes=%d\nus_per_wake=%.1f\n", wakes, (threadSeconds() - start) / wakes * 1e6);
    return 0;
}
