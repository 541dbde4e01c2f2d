// Writes the test chime, a 16-bit mono wave file at 44100 Hz, to the path given. Run by the build.
#include "library/chime.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_chime OUTPUT.wav\n");
        return 2;
    }
    if (!chime::writeWave(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "make_chime: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
