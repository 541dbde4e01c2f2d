// The other program in the recovery tests, so that locks meet across real processes and spools are
// cut short by a real SIGKILL:
//   lock PATH          holds flock(LOCK_EX) on PATH, prints "locked", and keeps it until stdin closes
//   trylock PATH       exit 0 when PATH can be locked, 1 when another process holds it
//   find FOLDER...     prints "ready", waits for a line on stdin, prints what OrphanTake::find() got,
//                      then "done", and keeps those spools until stdin closes
//   spool PATH CHANNELS RATE BITS rf64|wav BATCH HEADED kill|close
//                      reads audio from stdin; writes the first HEADED bytes through libsndfile in
//                      batches of BATCH bytes (the header follows each one), puts the rest behind
//                      them without telling libsndfile (audio written just before a crash, which the
//                      header never learned of), then kills itself or closes the file normally

#include "recording/recovery.h"

#include <sndfile.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

void waitForStdinToClose()
{
    char buffer[256];
    while (::read(0, buffer, sizeof buffer) > 0) {
    }
}

std::vector<unsigned char> readStdin()
{
    std::vector<unsigned char> all;
    unsigned char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(0, buffer, sizeof buffer);
        if (got <= 0)
            return all;
        all.insert(all.end(), buffer, buffer + got);
    }
}

int writeSpool(char** argv)
{
    const char* path = argv[0];
    SF_INFO info{};
    info.channels = std::atoi(argv[1]);
    info.samplerate = std::atoi(argv[2]);
    const int bits = std::atoi(argv[3]);
    const bool rf64 = std::strcmp(argv[4], "rf64") == 0;
    const size_t batch = size_t(std::atol(argv[5]));
    const size_t headed = size_t(std::atol(argv[6]));
    const bool kill = std::strcmp(argv[7], "kill") == 0;
    const std::vector<unsigned char> audio = readStdin();

    info.format = (rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | (bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return 2;
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (!file)
        return 2;
    // As the recorder writes its spools.
    if (rf64)
        sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    for (size_t at = 0; at < headed;) {
        const size_t length = std::min(batch, headed - at);
        if (sf_write_raw(file, audio.data() + at, sf_count_t(length)) != sf_count_t(length))
            return 2;
        at += length;
    }
    struct stat st {};
    ::fstat(fd, &st);
    const size_t rest = audio.size() - std::min(audio.size(), headed);
    if (rest > 0 && ::pwrite(fd, audio.data() + headed, rest, st.st_size) != ssize_t(rest))
        return 2;
    if (kill)
        ::raise(SIGKILL);
    sf_close(file);
    return ::close(fd) == 0 ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if ((mode == "lock" || mode == "trylock") && argc == 3) {
        const int fd = ::open(argv[2], O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return 2;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
            return errno == EWOULDBLOCK ? 1 : 2;
        if (mode == "trylock")
            return 0;
        std::printf("locked\n");
        std::fflush(stdout);
        waitForStdinToClose();
        return 0;
    }
    if (mode == "find" && argc >= 3) {
        std::printf("ready\n");
        std::fflush(stdout);
        char go[16];
        if (!std::fgets(go, sizeof go, stdin))
            return 2;
        const std::vector<OrphanTake> found = OrphanTake::find(std::vector<std::string>(argv + 2, argv + argc));
        for (const OrphanTake& take : found)
            std::printf("%s\n", take.path().c_str());
        std::printf("done\n");
        std::fflush(stdout);
        waitForStdinToClose();
        return 0;
    }
    if (mode == "spool" && argc == 10)
        return writeSpool(argv + 2);
    std::fprintf(stderr,
                 "usage: %s lock|trylock PATH | find FOLDER... | spool PATH CHANNELS RATE BITS rf64|wav "
                 "BATCH HEADED kill|close\n",
                 argv[0]);
    return 2;
}
