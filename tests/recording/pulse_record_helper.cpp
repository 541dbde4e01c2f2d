// Starts a recording (44100 Hz, 16 bits, stereo) with its spool file in the folder given, prints
// the spool file's path and then records until it is killed.

#include "platform/pulse_context.h"
#include "recording/pulse_capture.h"

#include <QString>

#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    auto pulse = std::make_shared<PulseContext>();
    PulseCapture capture(pulse);
    capture.setSpoolFolder(QString::fromLocal8Bit(argv[1]));
    if (capture.start(2, 44100, 16) != 0)
        return 1;
    std::printf("%s\n", capture.spoolPath().toLocal8Bit().constData());
    std::fflush(stdout);
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}
