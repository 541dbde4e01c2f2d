#pragma once

// Helpers for the tests that run against a real sound server: the private PulseAudio that test.sh
// starts (a null sink whose monitor hears what is played into it), pactl and paplay to drive it,
// and libsndfile to read recordings back.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTest>

#include <sndfile.h>

#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace pulse_test {

inline QString testSink()
{
    const QByteArray sink = qgetenv("TRELVIK_TEST_SINK");
    return sink.isEmpty() ? QStringLiteral("trelvik_sink") : QString::fromLocal8Bit(sink);
}

inline QString testMonitor()
{
    return testSink() + QStringLiteral(".monitor");
}

struct Result {
    int exitCode = -1;
    QByteArray out;
};

inline Result run(const QString& program, const QStringList& args, int timeoutMs = 30000,
                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    Result result;
    if (!process.waitForStarted(5000))
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(2000);
        return result;
    }
    result.out = process.readAllStandardOutput();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

inline bool serverAnswers()
{
    return run(QStringLiteral("pactl"), {QStringLiteral("info")}, 5000).exitCode == 0;
}

// To be called first in main: 0 to go on; 77 (skipped) without a test server configured; 1 when one
// is configured but does not answer.
inline int gate(const char* testName)
{
    if (serverAnswers())
        return 0;
    if (qEnvironmentVariableIsEmpty("TRELVIK_TEST_SINK")) {
        std::fprintf(stderr, "%s: no sound server and TRELVIK_TEST_SINK unset: skipped\n", testName);
        return 77;
    }
    std::fprintf(stderr, "%s: TRELVIK_TEST_SINK is set but no sound server answers\n", testName);
    return 1;
}

inline QString pactl(const QStringList& args)
{
    const Result result = run(QStringLiteral("pactl"), args, 10000);
    return result.exitCode == 0 ? QString::fromUtf8(result.out).trimmed() : QString();
}

// Loads a module and returns its index, or -1.
inline int loadModule(const QString& name, const QStringList& args)
{
    bool ok = false;
    const int index = pactl(QStringList{QStringLiteral("load-module"), name} + args).toInt(&ok);
    return ok ? index : -1;
}

inline void unloadModule(int index)
{
    if (index >= 0)
        pactl({QStringLiteral("unload-module"), QString::number(index)});
}

inline QString defaultSource()
{
    return pactl({QStringLiteral("get-default-source")});
}

// The server's index of the first source output with that media name, or empty.
inline QString sourceOutputNamed(const QString& mediaName)
{
    const QStringList lines = pactl({QStringLiteral("list"), QStringLiteral("source-outputs")}).split(u'\n');
    QString index;
    for (const QString& line : lines) {
        const QString text = line.trimmed();
        if (text.startsWith(QStringLiteral("Source Output #")))
            index = text.mid(15);
        else if (text == QStringLiteral("media.name = \"%1\"").arg(mediaName) && !index.isEmpty())
            return index;
    }
    return {};
}

// Polls a condition for up to five seconds; whether it came true.
template <typename Condition> bool eventually(Condition condition)
{
    for (int i = 0; i < 100; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// Polls a running capture's level readings until its source has handed over audio whose peak
// reaches atLeast (0: any audio at all); whether it did within five seconds. A monitor or a source
// that was idle may take a moment to deliver, longer on a busy machine.
template <typename Capture> bool capturesSound(Capture& capture, float atLeast = 0.0f)
{
    // A reading not taken during the capture before may still be waiting: it is dropped.
    capture.readLevels();
    return eventually([&] {
        const auto levels = capture.readLevels();
        return levels.hasRms && levels.channels > 0 && levels.peak[0] >= atLeast;
    });
}

// Sets the default source and returns once the server reports it (PipeWire's policy applies it a
// moment after the request).
inline bool setDefaultSource(const QString& name)
{
    pactl({QStringLiteral("set-default-source"), name});
    return eventually([&] { return pactl({QStringLiteral("get-default-source")}) == name; });
}

// Whether the server lists a source of that name.
inline bool sourceListed(const QString& name)
{
    const QStringList lines =
        pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")}).split(u'\n');
    for (const QString& line : lines)
        if (line.section(u'\t', 1, 1) == name)
            return true;
    return false;
}

// The raw volume of every channel of a source.
inline std::vector<uint32_t> sourceVolume(const QString& name)
{
    std::vector<uint32_t> volumes;
    const QString text = pactl({QStringLiteral("get-source-volume"), name});
    static const QRegularExpression channel(QStringLiteral(":\\s*(\\d+)\\s*/"));
    for (auto it = channel.globalMatch(text); it.hasNext();)
        volumes.push_back(it.next().captured(1).toUInt());
    return volumes;
}

// Whether the server is PipeWire's Pulse server, which lacks some of PulseAudio's modules.
inline bool onPipeWire()
{
    return pactl({QStringLiteral("info")}).contains(QStringLiteral("on PipeWire"));
}

// A mono input source of the test's own (not a monitor) under the given name, delivering a 440 Hz
// tone or silence. On PulseAudio it is module-sine-source or module-null-source. PipeWire's Pulse
// server has neither: a one-channel remap of a null sink's monitor, with sox playing the tone into
// that sink, stands in for the first, and a null sink of the virtual source class for the second.
class TestSource {
public:
    enum class Kind { Tone, Silent };

    TestSource(QString name, Kind kind) : m_name(std::move(name)), m_kind(kind) {}
    TestSource(const TestSource&) = delete;
    TestSource& operator=(const TestSource&) = delete;
    ~TestSource() { unload(); }

    const QString& name() const { return m_name; }

    // Returns once the server lists the source.
    bool load()
    {
        unload();
        if (!loadModules())
            return false;
        return eventually([this] { return sourceListed(m_name); });
    }

    // Returns once the server no longer lists the source.
    void unload()
    {
        if (m_tone) {
            m_tone->kill();
            m_tone->waitForFinished(3000);
            m_tone.reset();
        }
        for (auto it = m_modules.rbegin(); it != m_modules.rend(); ++it)
            unloadModule(*it);
        if (!m_modules.empty())
            eventually([this] { return !sourceListed(m_name); });
        m_modules.clear();
    }

private:
    bool loadModules()
    {
        if (!onPipeWire()) {
            m_modules.push_back(
                m_kind == Kind::Tone
                    ? loadModule(QStringLiteral("module-sine-source"),
                                 {QStringLiteral("source_name=") + m_name, QStringLiteral("rate=44100"),
                                  QStringLiteral("frequency=440")})
                    : loadModule(QStringLiteral("module-null-source"),
                                 {QStringLiteral("source_name=") + m_name, QStringLiteral("channels=1")}));
            return m_modules.back() >= 0;
        }
        if (m_kind == Kind::Silent) {
            m_modules.push_back(loadModule(QStringLiteral("module-null-sink"),
                                           {QStringLiteral("sink_name=") + m_name, QStringLiteral("channels=1"),
                                            QStringLiteral("media.class=Audio/Source/Virtual")}));
            return m_modules.back() >= 0;
        }
        const QString feed = m_name + QStringLiteral("_feed");
        m_modules.push_back(loadModule(QStringLiteral("module-null-sink"),
                                       {QStringLiteral("sink_name=") + feed, QStringLiteral("rate=44100")}));
        if (m_modules.back() < 0)
            return false;
        m_modules.push_back(loadModule(QStringLiteral("module-remap-source"),
                                       {QStringLiteral("source_name=") + m_name,
                                        QStringLiteral("master=") + feed + QStringLiteral(".monitor"),
                                        QStringLiteral("channels=1"), QStringLiteral("channel_map=mono")}));
        if (m_modules.back() < 0)
            return false;
        m_tone = std::make_unique<QProcess>();
        m_tone->start(QStringLiteral("sox"),
                      {QStringLiteral("-q"), QStringLiteral("-n"), QStringLiteral("-t"), QStringLiteral("pulseaudio"),
                       feed, QStringLiteral("synth"), QStringLiteral("3600"), QStringLiteral("sine"),
                       QStringLiteral("440"), QStringLiteral("vol"), QStringLiteral("0.5")});
        return m_tone->waitForStarted(5000);
    }

    QString m_name;
    Kind m_kind;
    std::vector<int> m_modules;
    std::unique_ptr<QProcess> m_tone;
};

// Plays a file into the test sink and returns when it has been played.
inline bool play(const QString& file, const QString& sink = testSink())
{
    return run(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, file}, 60000).exitCode == 0;
}

struct Wave {
    bool ok = false;
    SF_INFO info{};
    std::vector<short> samples; // interleaved
    std::vector<double> values; // interleaved, -1..1
};

inline Wave readWave(const QString& path)
{
    Wave wave;
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &wave.info);
    if (!file)
        return wave;
    const size_t count = size_t(wave.info.frames) * size_t(wave.info.channels);
    wave.samples.resize(count);
    wave.values.resize(count);
    sf_count_t read = sf_readf_short(file, wave.samples.data(), wave.info.frames);
    sf_seek(file, 0, SEEK_SET);
    read = std::min(read, sf_readf_double(file, wave.values.data(), wave.info.frames));
    sf_close(file);
    wave.ok = read == wave.info.frames;
    return wave;
}

inline bool writeWave(const QString& path, int rate, int channels, const std::vector<short>& samples)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    const sf_count_t frames = sf_count_t(samples.size()) / channels;
    const bool ok = sf_writef_short(file, samples.data(), frames) == frames;
    sf_close(file);
    return ok;
}

// A stereo sine at 44100 Hz, amplitude 0.5.
inline std::vector<short> sine(double seconds, double frequency = 440.0)
{
    const size_t frames = size_t(seconds * 44100);
    std::vector<short> samples(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const auto value = short(std::lround(16383.0 * std::sin(2 * M_PI * frequency * double(i) / 44100.0)));
        samples[2 * i] = value;
        samples[2 * i + 1] = value;
    }
    return samples;
}

// First and last frame whose first channel exceeds the threshold (0..1); -1 when none.
inline std::pair<long, long> loudSpan(const Wave& wave, double threshold)
{
    long first = -1;
    long last = -1;
    const int channels = wave.info.channels;
    for (long frame = 0; frame < long(wave.info.frames); ++frame) {
        if (std::fabs(wave.values[size_t(frame) * size_t(channels)]) > threshold) {
            if (first < 0)
                first = frame;
            last = frame;
        }
    }
    return {first, last};
}

// A sound server of a test's own, with a runtime folder of its own, for faults that must not reach
// the server the other tests share: stopped, killed, started again on the same socket. It logs at
// debug level to a file that outlives restarts, so a test can see which requests reached it.
class PrivateServer {
public:
    // modules: arguments of --load besides the native protocol, such as "module-null-sink sink_name=x".
    PrivateServer(const QString& runtime, const QStringList& modules) : m_runtime(runtime), m_modules(modules) {}
    ~PrivateServer() { kill(); }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    QString server() const { return QStringLiteral("unix:") + m_runtime + QStringLiteral("/pulse/native"); }
    QString logPath() const { return m_runtime + QStringLiteral(".log"); }
    qint64 pid() const { return m_process ? m_process->processId() : 0; }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime);
        env.insert(QStringLiteral("PULSE_SERVER"), server());
        env.remove(QStringLiteral("PULSE_SOURCE"));
        env.remove(QStringLiteral("PULSE_SINK"));
        return env;
    }

    // Starts the server (again, after kill()) and returns once it answers.
    bool start()
    {
        kill();
        if (!QDir().mkpath(m_runtime) ||
            !QFile::setPermissions(m_runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return false;
        m_process = std::make_unique<QProcess>();
        m_process->setProcessEnvironment(environment());
        m_process->setStandardOutputFile(logPath(), QIODevice::Append);
        m_process->setStandardErrorFile(logPath(), QIODevice::Append);
        // A test that crashes takes its server along instead of leaving it running.
        m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QStringList args{QStringLiteral("--daemonize=no"),
                         QStringLiteral("--exit-idle-time=-1"),
                         QStringLiteral("-n"),
                         QStringLiteral("--use-pid-file=no"),
                         QStringLiteral("--log-level=debug"),
                         QStringLiteral("--log-target=stderr"),
                         QStringLiteral("--load=module-native-protocol-unix")};
        for (const QString& module : m_modules)
            args << QStringLiteral("--load=") + module;
        m_process->start(QStringLiteral("pulseaudio"), args);
        if (!m_process->waitForStarted(5000))
            return false;
        for (int i = 0; i < 200; ++i) {
            if (m_process->state() != QProcess::Running)
                return false;
            if (run(QStringLiteral("pactl"), {QStringLiteral("info")}, 2000, environment()).exitCode == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // SIGKILL: the server gets no chance to say goodbye to its clients.
    void kill()
    {
        if (!m_process)
            return;
        if (m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
        m_process.reset();
    }

    bool stop() { return pid() > 0 && ::kill(pid_t(pid()), SIGSTOP) == 0; }
    bool resume() { return pid() > 0 && ::kill(pid_t(pid()), SIGCONT) == 0; }

    QString pactl(const QStringList& args) const
    {
        const Result result = run(QStringLiteral("pactl"), args, 10000, environment());
        return result.exitCode == 0 ? QString::fromUtf8(result.out).trimmed() : QString();
    }

    int loadModule(const QString& name, const QStringList& args) const
    {
        bool ok = false;
        const int index = pactl(QStringList{QStringLiteral("load-module"), name} + args).toInt(&ok);
        return ok ? index : -1;
    }

    std::vector<uint32_t> sourceVolume(const QString& name) const
    {
        std::vector<uint32_t> volumes;
        const QString text = pactl({QStringLiteral("get-source-volume"), name});
        static const QRegularExpression channel(QStringLiteral(":\\s*(\\d+)\\s*/"));
        for (auto it = channel.globalMatch(text); it.hasNext();)
            volumes.push_back(it.next().captured(1).toUInt());
        return volumes;
    }

    // How often text appears in the log so far.
    int logCount(const QString& text) const
    {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        return int(QString::fromUtf8(file.readAll()).count(text));
    }

private:
    QString m_runtime;
    QStringList m_modules;
    std::unique_ptr<QProcess> m_process;
};

} // namespace pulse_test
