#include "convert/dos_outputs.h"
#include "tests/fakes/fake_dialogs.h"
#include "tests/fakes/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

QString childProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/echo_child");
}

// The test program followed by its arguments, each quoted as the command line needs it.
QString line(const QStringList& arguments, const QString& program = childProgram())
{
    QStringList parts{quoteWindowsArgument(program)};
    for (const QString& argument : arguments)
        parts.append(quoteWindowsArgument(argument));
    return parts.join(u' ');
}

QString alphabet(int count)
{
    QString text;
    for (int k = 0; k < count; ++k)
        text += QChar(u'a' + k % 26);
    return text;
}

// Every event the runner raised, in order.
struct Events {
    explicit Events(DOSOutputs& runner)
    {
        QObject::connect(&runner, &DOSOutputs::ReceiveOutputs, &runner,
                         [this](const QString& text) { texts.append(text); });
    }
    QStringList texts;
};

// The state letter of /proc/PID/stat ('Z' for a zombie), or 0 when there is no such process.
char processState(qint64 pid)
{
    const QByteArray stat = readTextFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

qint64 pidIn(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("pid (\\d+)"));
    const QRegularExpressionMatch match = pattern.match(text);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

QString makeFifo(const QTemporaryDir& dir, const QString& name)
{
    const QString path = dir.filePath(name);
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0 ? path : QString();
}

// Opening for writing waits for the reader; closing at once gives it the end of data.
void releaseFifo(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY);
    if (fd >= 0)
        ::close(fd);
}

volatile sig_atomic_t g_signals = 0;
void countSignal(int)
{
    g_signals = g_signals + 1;
}

} // namespace

class TestDosOutputs : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(QFileInfo(childProgram()).isExecutable(), qPrintable(childProgram())); }

    void splitsAndQuotesByWindowsRules()
    {
        using L = QStringList;
        const struct {
            const char* line;
            L arguments;
        } cases[] = {
            {"", L{}},
            {" \t ", L{}},
            {"a b  c", L{"a", "b", "c"}},
            {"\t a\tb ", L{"a", "b"}},
            {"\"abc\" d e", L{"abc", "d", "e"}},
            {"\"a b\" c", L{"a b", "c"}},
            {"a\"b c\"d", L{"ab cd"}},
            {"a \"\" b", L{"a", "", "b"}},
            {"\"\"", L{""}},
            {"a\\\\b d\"e f\"g h", L{"a\\\\b", "de fg", "h"}},
            {"a\\\\\\\"b c d", L{"a\\\"b", "c", "d"}},
            {"a\\\\\\\\\"b c\" d e", L{"a\\\\b c", "d", "e"}},
            {"a\"b\"\" c d", L{"ab\" c d"}},
            {"\"unterminated quote", L{"unterminated quote"}},
            {"c:\\app\\lame.EXE -b 128 -m j c:\\rec\\a.wav c:\\rec\\a.mp3",
             L{"c:\\app\\lame.EXE", "-b", "128", "-m", "j", "c:\\rec\\a.wav", "c:\\rec\\a.mp3"}},
        };
        for (const auto& c : cases)
            QCOMPARE(splitWindowsCommandLine(QString::fromLatin1(c.line)), c.arguments);

        // Arguments with no blank and no quote stay as they are, so plain paths keep their look.
        for (const char* plain : {"/tmp/rec/a.wav", "-b", "a;b$(rm)`y`'z'.wav", "back\\slash\\"})
            QCOMPARE(quoteWindowsArgument(QString::fromLatin1(plain)), QString::fromLatin1(plain));
        QCOMPARE(quoteWindowsArgument(QStringLiteral("/tmp/my rec/a.wav")), QStringLiteral("\"/tmp/my rec/a.wav\""));
        QCOMPARE(quoteWindowsArgument(QString()), QStringLiteral("\"\""));
        QCOMPARE(quoteWindowsArgument(QStringLiteral("it\"s")), QStringLiteral("\"it\\\"s\""));
        QCOMPARE(quoteWindowsArgument(QStringLiteral("dir \\")), QStringLiteral("\"dir \\\\\""));

        // Whatever the argument, quoting and splitting give it back as one argument.
        const L awkward{"plain",
                        "with blank",
                        "",
                        "quo\"te",
                        "\"",
                        "\\",
                        "trail\\",
                        "trail blank\\",
                        "back\\\"slash",
                        "a\\\\b c",
                        "tab\there",
                        "new\nline",
                        "\"\"",
                        "x \"\" y",
                        "$(touch x);y",
                        "ends with \\\\",
                        "ünïcödé name"};
        QStringList quoted;
        for (const QString& argument : awkward)
            quoted.append(quoteWindowsArgument(argument));
        QCOMPARE(splitWindowsCommandLine(quoted.join(u' ')), awkward);
    }

    void deliversReadsOfAtMost256Bytes()
    {
        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        Events events(runner);

        const QString result = runner.ExecuteCommand(line({"--out", "600"}));

        QVERIFY(events.texts.size() >= 4);
        QCOMPARE(events.texts.last(), QString());
        QCOMPARE(events.texts.count(QString()), 1);
        QString joined;
        for (const QString& text : events.texts.mid(0, events.texts.size() - 1)) {
            QVERIFY(!text.isEmpty());
            QVERIFY(text.size() <= 256);
            joined += text;
        }
        QCOMPARE(joined, alphabet(600));
        QCOMPARE(result, alphabet(600));
        QCOMPARE(runner.Outputs(), alphabet(600));
        QVERIFY(dialogs.messages.isEmpty());
    }

    void capturesBothStreamsAndSilence()
    {
        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        Events events(runner);

        // Standard error arrives in the same stream, in the order it was written.
        const QString result =
            runner.ExecuteCommand(line({"--echo", "one ", "--err", "two ", "--echo", "three", "--pid"}));
        const qint64 pid = pidIn(result);
        QCOMPARE(result, QStringLiteral("one two three") + QStringLiteral("pid %1\n").arg(pid));
        QCOMPARE(runner.Outputs(), result);
        QCOMPARE(events.texts.join(QString()), result);
        // The finished child is collected, not left as a zombie.
        QTRY_COMPARE(processState(pid), char(0));

        // A child that writes nothing: one empty event, and the previous run's text is cleared. It
        // was started all the same, which its caller can tell from a program that could not start.
        events.texts.clear();
        bool started = false;
        QCOMPARE(runner.ExecuteCommand(line({}), &started), QString());
        QVERIFY(started);
        QCOMPARE(events.texts, QStringList{QString()});
        QCOMPARE(runner.Outputs(), QString());
        QVERIFY(dialogs.messages.isEmpty());
    }

    void worksWhenStartedWithStandardDescriptorsClosed()
    {
        // A program started with standard input and output closed gets those numbers for its pipe.
        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        const QString command = line({"--echo", "out ", "--err", "err"});
        const int savedIn = ::dup(STDIN_FILENO);
        const int savedOut = ::dup(STDOUT_FILENO);
        ::close(STDIN_FILENO);
        ::close(STDOUT_FILENO);
        const QString result = runner.ExecuteCommand(command);
        ::dup2(savedIn, STDIN_FILENO);
        ::dup2(savedOut, STDOUT_FILENO);
        ::close(savedIn);
        ::close(savedOut);

        QCOMPARE(result, QStringLiteral("out err"));
        QVERIFY(dialogs.messages.isEmpty());
    }

    void keepsAndReplacesTheCommandLine()
    {
        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        Events events(runner);

        // Nothing stored and nothing given.
        QCOMPARE(runner.Commandline(), QString());
        QCOMPARE(runner.ExecuteCommand(QString()), QString());
        QCOMPARE(dialogs.messages, QStringList{QStringLiteral("Command Line empty")});
        QVERIFY(events.texts.isEmpty());

        // An empty argument runs the stored line, which stays stored.
        const QString stored = line({"--echo", "stored"});
        runner.setCommandline(stored);
        QCOMPARE(runner.ExecuteCommand(QString()), QStringLiteral("stored"));
        QCOMPARE(runner.Commandline(), stored);
        QCOMPARE(events.texts, (QStringList{QStringLiteral("stored"), QString()}));

        // A non-empty argument replaces the stored line, even when it cannot be started.
        events.texts.clear();
        const QString missing = QStringLiteral("/nonexistent/folder/encoder -b 128");
        QCOMPARE(runner.ExecuteCommand(missing), QString());
        QCOMPARE(runner.Commandline(), missing);
        QCOMPARE(dialogs.messages.last(), QStringLiteral("File or command not found"));
        QVERIFY(events.texts.isEmpty());
        QCOMPARE(runner.Outputs(), QStringLiteral("stored"));

        // With the stored line empty again, the message comes back and the output is untouched.
        runner.setCommandline(QString());
        QCOMPARE(runner.ExecuteCommand(QString()), QString());
        QCOMPARE(dialogs.messages.last(), QStringLiteral("Command Line empty"));
        QCOMPARE(runner.Outputs(), QStringLiteral("stored"));
        QCOMPARE(dialogs.messages.size(), 3);
    }

    void reportsProgramsThatCannotStart()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        Events events(runner);
        QCOMPARE(runner.ExecuteCommand(line({"--echo", "before"})), QStringLiteral("before"));
        events.texts.clear();

        // A folder on PATH is not searched: the program is used as named.
        const QString folder = QFileInfo(childProgram()).absolutePath();
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(folder) + ':' + oldPath);
        const QString oldCurrent = QDir::currentPath();
        QDir::setCurrent(dir.path());
        const QString byName = runner.ExecuteCommand(QStringLiteral("echo_child --echo found"));
        QDir::setCurrent(oldCurrent);
        qputenv("PATH", oldPath);
        QCOMPARE(byName, QString());

        // A file that is not a program, a missing one, and a line of blanks only.
        const QString text = dir.filePath(QStringLiteral("notes.txt"));
        writeTextFile(text, "just text\n");
        QFile::setPermissions(text, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(runner.ExecuteCommand(quoteWindowsArgument(text)), QString());
        bool started = true;
        QCOMPARE(runner.ExecuteCommand(dir.filePath(QStringLiteral("missing")), &started), QString());
        QVERIFY(!started);
        started = true;
        QCOMPARE(runner.ExecuteCommand(QStringLiteral("   "), &started), QString());
        QVERIFY(!started);

        QCOMPARE(dialogs.messages, QStringList(4, QStringLiteral("File or command not found")));
        QVERIFY(events.texts.isEmpty());
        QCOMPARE(runner.Outputs(), QStringLiteral("before"));
    }

    void reportsAPipeThatCannotBeMade()
    {
        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        Events events(runner);
        QCOMPARE(runner.ExecuteCommand(line({"--echo", "before"})), QStringLiteral("before"));
        events.texts.clear();

        // Use up every descriptor the process may have.
        rlimit old{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &old), 0);
        rlimit low = old;
        low.rlim_cur = 64;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        std::vector<int> taken;
        for (int fd; (fd = ::dup(STDIN_FILENO)) >= 0;)
            taken.push_back(fd);
        const int dupError = errno;
        const QString result = runner.ExecuteCommand(QString());
        for (int fd : taken)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &old);

        QCOMPARE(dupError, EMFILE);
        QCOMPARE(result, QString());
        QCOMPARE(dialogs.messages, QStringList{QStringLiteral("CreatePipe failed. Error: %1").arg(EMFILE)});
        QVERIFY(events.texts.isEmpty());
        QCOMPARE(runner.Outputs(), QStringLiteral("before"));
    }

    void runsANestedCommandToItsEndFirst()
    {
        QTemporaryDir dir;
        const QString fifo = makeFifo(dir, QStringLiteral("outer"));
        QVERIFY(!fifo.isEmpty());
        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        QStringList order;
        QString innerResult;
        const QString inner = line({"--echo", "inner"});
        connect(&runner, &DOSOutputs::ReceiveOutputs, &runner, [&](const QString& text) {
            order.append(text);
            if (text == u"outer-1") {
                // As a menu command handled between two reads would.
                innerResult = runner.ExecuteCommand(inner);
                releaseFifo(fifo);
            }
        });

        const QString outerResult =
            runner.ExecuteCommand(line({"--echo", "outer-1", "--wait", fifo, "--echo", "outer-2"}));

        QCOMPARE(order, (QStringList{"outer-1", "inner", "", "outer-2", ""}));
        QCOMPARE(innerResult, QStringLiteral("inner"));
        // Each run returns what its own child wrote; the collected output is shared, and the nested run
        // cleared it.
        QCOMPARE(outerResult, QStringLiteral("outer-1outer-2"));
        QCOMPARE(runner.Outputs(), QStringLiteral("innerouter-2"));
        QCOMPARE(runner.Commandline(), inner);
        QVERIFY(dialogs.messages.isEmpty());
    }

    void endsWhenTheLastWriterClosesThePipe()
    {
        QTemporaryDir dir;
        const QString fifo = makeFifo(dir, QStringLiteral("grandchild"));
        QVERIFY(!fifo.isEmpty());
        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        QStringList order;
        qint64 childPid = -1;
        bool childGoneBeforeRelease = false;
        connect(&runner, &DOSOutputs::ReceiveOutputs, &runner, [&](const QString& text) {
            order.append(text);
            if (childPid >= 0 || pidIn(text) < 0)
                return;
            childPid = pidIn(text);
            // The child has exited (and waits to be collected) while its child still holds the pipe.
            for (int tries = 0; tries < 10000 && processState(childPid) != 'Z'; ++tries)
                QThread::msleep(1);
            childGoneBeforeRelease = processState(childPid) == 'Z';
            releaseFifo(fifo);
        });

        const QString result = runner.ExecuteCommand(line({"--grandchild", fifo, "--pid"}));

        QVERIFY(childGoneBeforeRelease);
        QCOMPARE(order, (QStringList{QStringLiteral("pid %1\n").arg(childPid), "grandchild done\n", ""}));
        QCOMPARE(result, QStringLiteral("pid %1\ngrandchild done\n").arg(childPid));
        QCOMPARE(processState(childPid), char(0));
    }

    void passesAwkwardNamesAsOneArgument()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // The program itself in a folder whose name has a blank.
        const QString folder = dir.filePath(QStringLiteral("my programs"));
        QVERIFY(QDir().mkpath(folder));
        const QString program = folder + QStringLiteral("/echo child");
        QVERIFY(QFile::copy(childProgram(), program));

        const QString marker = dir.filePath(QStringLiteral("marker"));
        const QStringList names{dir.filePath(QStringLiteral("a;b.wav")),
                                dir.filePath(QStringLiteral("$(touch %1).wav").arg(marker)),
                                dir.filePath(QStringLiteral("it\"s a \"take\".wav")),
                                dir.filePath(QStringLiteral("`touch %1` & x | y > z.wav").arg(marker)),
                                dir.filePath(QStringLiteral("trailing\\"))};
        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        const QString result = runner.ExecuteCommand(line(QStringList{"--print-args"} + names, program));

        QString expected;
        for (const QString& name : names)
            expected += u'[' + name + QStringLiteral("]\n");
        QCOMPARE(result, expected);
        QVERIFY(!QFile::exists(marker));
        QVERIFY(dialogs.messages.isEmpty());
    }

    void retriesReadsInterruptedBySignals()
    {
        struct sigaction handler {};
        handler.sa_handler = countSignal;
        sigemptyset(&handler.sa_mask);
        handler.sa_flags = 0; // no restart: a blocked read returns EINTR
        struct sigaction old {};
        QCOMPARE(::sigaction(SIGUSR1, &handler, &old), 0);
        g_signals = 0;

        FakeDialogs dialogs;
        DOSOutputs runner(dialogs);
        Events events(runner);
        const QString result = runner.ExecuteCommand(line({"--signal-parent", "5", "--echo", "after"}));
        ::sigaction(SIGUSR1, &old, nullptr);

        QCOMPARE(result, QStringLiteral("after"));
        QCOMPARE(events.texts, (QStringList{QStringLiteral("after"), QString()}));
        QCOMPARE(g_signals, 5);
    }

    void survivesItsOwnerGoingAwayDuringARun()
    {
        FakeDialogs dialogs;
        auto* runner = new DOSOutputs(dialogs);
        QString result;
        int events = 0;
        connect(runner, &DOSOutputs::ReceiveOutputs, this, [&](const QString&) {
            ++events;
            delete runner;
        });
        result = runner->ExecuteCommand(line({"--out", "600"}));
        // No further events once it is gone, but the child's output is still read to its end.
        QCOMPARE(events, 1);
        QCOMPARE(result, alphabet(600));
    }
};

QTEST_GUILESS_MAIN(TestDosOutputs)
#include "test_dos_outputs.moc"
