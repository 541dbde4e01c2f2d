// A console program for the runner's tests. It carries out its arguments in order:
//
//   --out N             writes N bytes (a repeating alphabet) to standard output in one write
//   --echo TEXT         writes TEXT to standard output
//   --err TEXT          writes TEXT to standard error
//   --pid               writes "pid <its process id>\n" to standard output
//   --wait FIFO         opens FIFO for reading and reads it to its end
//   --grandchild FIFO   starts a process that keeps the output open, waits for FIFO to end, writes
//                       "grandchild done\n" and exits; this process goes on at once
//   --signal-parent N   sends SIGUSR1 to its parent N times, 20 ms apart
//   --print-args ...    writes every following argument as "[ARG]\n" and stops reading options
//
// Writes are unbuffered, so what reaches the pipe is exactly what was asked for, in order.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <time.h>
#include <unistd.h>

namespace {

void writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            std::exit(3);
        done += static_cast<size_t>(n);
    }
}

void waitForEnd(const char* fifo)
{
    const int fd = ::open(fifo, O_RDONLY);
    if (fd < 0)
        std::exit(4);
    char buffer[64];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR))
            break;
    }
    ::close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--out" && hasValue) {
            const long count = std::strtol(argv[++i], nullptr, 10);
            std::string text;
            for (long k = 0; k < count; ++k)
                text += static_cast<char>('a' + k % 26);
            writeAll(STDOUT_FILENO, text);
        } else if (option == "--echo" && hasValue) {
            writeAll(STDOUT_FILENO, argv[++i]);
        } else if (option == "--err" && hasValue) {
            writeAll(STDERR_FILENO, argv[++i]);
        } else if (option == "--pid") {
            writeAll(STDOUT_FILENO, "pid " + std::to_string(::getpid()) + "\n");
        } else if (option == "--wait" && hasValue) {
            waitForEnd(argv[++i]);
        } else if (option == "--grandchild" && hasValue) {
            const char* fifo = argv[++i];
            const pid_t pid = ::fork();
            if (pid < 0)
                return 5;
            if (pid == 0) {
                waitForEnd(fifo);
                writeAll(STDOUT_FILENO, "grandchild done\n");
                ::_exit(0);
            }
        } else if (option == "--signal-parent" && hasValue) {
            const long count = std::strtol(argv[++i], nullptr, 10);
            for (long k = 0; k < count; ++k) {
                ::kill(::getppid(), SIGUSR1);
                const timespec pause{0, 20 * 1000 * 1000};
                ::nanosleep(&pause, nullptr);
            }
        } else if (option == "--print-args") {
            for (++i; i < argc; ++i)
                writeAll(STDOUT_FILENO, std::string("[") + argv[i] + "]\n");
        } else {
            writeAll(STDERR_FILENO, "echo_child: unknown option " + option + "\n");
            return 2;
        }
    }
    return 0;
}
