#include "convert/dos_outputs.h"

#include "platform/dialogs.h"

#include <QByteArray>
#include <QPointer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// Reads are at most this many bytes, and each one is handed on at once.
constexpr size_t kReadSize = 256;

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

// Closes the descriptor when the run leaves, whichever way it leaves.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

    // The child's standard descriptors are set up by number; a pipe end that happens to be 0, 1 or 2
    // (a parent started with one of them closed) would be overwritten or keep its close-on-exec flag.
    bool moveAboveStandard()
    {
        if (m_fd > STDERR_FILENO)
            return true;
        const int moved = ::fcntl(m_fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0)
            return false;
        reset(moved);
        return true;
    }

private:
    int m_fd;
};

class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// Collects the exit status so that no zombie is left behind. The end of the output is the end of
// the run, so a child that closed its output but keeps running is waited for on a thread of its own.
void reap(pid_t pid)
{
    pid_t done;
    do {
        done = ::waitpid(pid, nullptr, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done != 0)
        return;
    std::thread([pid] {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

} // namespace

QStringList splitWindowsCommandLine(const QString& commandLine)
{
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool inQuotes = false;
    const qsizetype length = commandLine.size();
    qsizetype i = 0;
    while (i < length) {
        const QChar c = commandLine[i];
        if (c == u'\\') {
            qsizetype backslashes = 0;
            while (i < length && commandLine[i] == u'\\') {
                ++backslashes;
                ++i;
            }
            if (i < length && commandLine[i] == u'"') {
                current += QString(backslashes / 2, u'\\');
                if (backslashes % 2 == 1) {
                    current += u'"';
                    ++i;
                }
                // With an even count the quote is left for the next round: it groups.
            } else {
                current += QString(backslashes, u'\\');
            }
            inArgument = true;
        } else if (c == u'"') {
            inArgument = true;
            if (inQuotes && i + 1 < length && commandLine[i + 1] == u'"') {
                current += u'"';
                i += 2;
            } else {
                inQuotes = !inQuotes;
                ++i;
            }
        } else if (isBlank(c) && !inQuotes) {
            if (inArgument) {
                arguments.append(current);
                current.clear();
                inArgument = false;
            }
            ++i;
        } else {
            current += c;
            inArgument = true;
            ++i;
        }
    }
    if (inArgument)
        arguments.append(current);
    return arguments;
}

QString quoteWindowsArgument(const QString& argument)
{
    const bool needsQuotes = argument.isEmpty() || argument.contains(u' ') || argument.contains(u'\t') ||
                             argument.contains(u'\n') || argument.contains(u'\v') || argument.contains(u'"');
    if (!needsQuotes)
        return argument;

    QString quoted(u'"');
    const qsizetype length = argument.size();
    for (qsizetype i = 0;; ++i) {
        qsizetype backslashes = 0;
        while (i < length && argument[i] == u'\\') {
            ++backslashes;
            ++i;
        }
        if (i == length) {
            // Doubled, so that the closing quote still closes.
            quoted += QString(backslashes * 2, u'\\');
            break;
        }
        if (argument[i] == u'"')
            quoted += QString(backslashes * 2 + 1, u'\\');
        else
            quoted += QString(backslashes, u'\\');
        quoted += argument[i];
    }
    quoted += u'"';
    return quoted;
}

DOSOutputs::DOSOutputs(Dialogs& dialogs, QObject* parent) : QObject(parent), m_dialogs(dialogs) {}

void DOSOutputs::showMessage(const QString& text)
{
    m_dialogs.critical(nullptr, text);
}

QString DOSOutputs::ExecuteCommand(const QString& Commandline, bool* started)
{
    if (started)
        *started = false;
    if (!Commandline.isEmpty())
        m_commandLine = Commandline;
    if (m_commandLine.isEmpty()) {
        showMessage(QStringLiteral("Command Line empty"));
        return {};
    }

    // Everything below belongs to this run alone: a handler may start another run on this instance.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        const int error = errno;
        showMessage(QStringLiteral("CreatePipe failed. Error: ") + QString::number(error));
        return {};
    }
    Fd readEnd(ends[0]);
    Fd writeEnd(ends[1]);
    if (!readEnd.moveAboveStandard() || !writeEnd.moveAboveStandard()) {
        const int error = errno;
        showMessage(QStringLiteral("CreatePipe failed. Error: ") + QString::number(error));
        return {};
    }

    const QStringList arguments = splitWindowsCommandLine(m_commandLine);
    std::vector<QByteArray> encoded;
    encoded.reserve(arguments.size());
    for (const QString& argument : arguments)
        encoded.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t child = -1;
    int spawnError = ENOENT;
    if (!encoded.empty()) {
        SpawnSetup setup;
        // Standard input is empty; standard output and standard error share the pipe. Our own pipe
        // ends are close-on-exec, so the child keeps only the two copies made here.
        posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDERR_FILENO);
        // Signals this program ignores or blocks are not passed on to the child.
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD})
            sigaddset(&defaults, signal);
        sigset_t noMask;
        sigemptyset(&noMask);
        posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
        posix_spawnattr_setsigmask(&setup.attributes, &noMask);
        posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        // posix_spawn, not posix_spawnp: the program is used as named, never looked up on PATH.
        spawnError = ::posix_spawn(&child, argv.front(), &setup.actions, &setup.attributes, argv.data(), environ);
    }
    if (spawnError != 0) {
        showMessage(QStringLiteral("File or command not found"));
        return {};
    }

    if (started)
        *started = true;
    // Only the child (and whatever it hands its output on to) can write now, so the read end reports
    // the end once every one of them has closed it.
    writeEnd.reset();
    m_outputs.clear();

    QPointer<DOSOutputs> alive(this);
    QString runText;
    char buffer[kReadSize];
    for (;;) {
        ssize_t count;
        do {
            count = ::read(readEnd.get(), buffer, sizeof buffer);
        } while (count < 0 && errno == EINTR);
        // Any other read error ends the output just as the end of data does.
        const QString chunk = count > 0 ? QString::fromLocal8Bit(buffer, count) : QString();
        runText += chunk;
        if (alive) {
            m_outputs += chunk;
            Q_EMIT ReceiveOutputs(chunk);
        }
        if (count <= 0)
            break;
    }
    readEnd.reset();
    reap(child);
    return runText;
}
