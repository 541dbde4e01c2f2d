// The player against the private sound server of test.sh: files played into the null sink are heard
// on its monitor, and the three commands answer as the playback really goes.

#include "library/pulse_player.h"
#include "platform/pulse_context.h"
#include "recording/take_encoder.h"
#include "tests/library/monitor_listener.h"
#include "tests/recording/pulse_test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The listener's frequencies, by index.
constexpr double low = 440.0;   // 0
constexpr double mid = 1000.0;  // 1
constexpr double high = 1500.0; // 2
const std::vector<double> frequencies{low, mid, high};

struct Segment {
    double hz;
    double seconds;
};

// A wave file of tones one after the other, amplitude 0.5, in the given format.
bool writeTones(const QString& path, int rate, int channels, int subformat, const std::vector<Segment>& segments)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | subformat;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<float> frame(static_cast<size_t>(channels));
    bool ok = true;
    for (const Segment& segment : segments) {
        const auto frames = long(segment.seconds * rate);
        for (long i = 0; i < frames && ok; ++i) {
            std::fill(frame.begin(), frame.end(), float(0.5 * std::sin(2 * M_PI * segment.hz * double(i) / rate)));
            ok = sf_writef_float(file, frame.data(), 1) == 1;
        }
    }
    return sf_close(file) == 0 && ok;
}

bool makeMp3(const QString& wav, const QString& mp3)
{
    return pulse_test::run(QStringLiteral("lame"),
                           {QStringLiteral("--quiet"), QStringLiteral("-b"), QStringLiteral("128"), wav, mp3})
               .exitCode == 0;
}

// The compressed copy of a take as the program makes it from a finished wave file: FLAC, Ogg Vorbis
// or Opus, by TakeEncoder. Empty, or why it failed.
QString encodeTake(const QString& wav, int bits, TakeEncoder::Kind kind, const QString& out)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(wav).constData(), SFM_READ, &info);
    if (!file)
        return QStringLiteral("the wave file does not open");
    sf_close(file);
    WaveSpool::Format format;
    format.channels = info.channels;
    format.rate = info.samplerate;
    format.bits = bits;
    TakeEncoder encoder;
    std::string error;
    if (!encoder.start(QFile::encodeName(wav).toStdString(), format, kind, QFile::encodeName(out).toStdString(),
                       &error))
        return QString::fromStdString(error);
    encoder.finish(uint64_t(info.frames));
    const TakeEncoder::Result result = encoder.wait();
    return result.ok ? QString() : QString::fromStdString(result.error);
}

// libsndfile's major format and subtype of a file; 0 when it cannot read it.
int formatOf(const QString& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return 0;
    sf_close(file);
    return info.format;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The player's state in the words the program shows it by.
QString statusOf(Player& player, const QString& name)
{
    switch (player.state(name)) {
    case Player::State::Playing:
        return QStringLiteral("playing");
    case Player::State::PlayedOut:
        return QStringLiteral("stopped");
    case Player::State::Failed:
        return QStringLiteral("failed");
    case Player::State::Closed:
        break;
    }
    return {};
}

// Polls the mode until it is no longer "playing"; the time it turned, from start, or -1.
double waitUntilNotPlaying(Player& player, const QString& name, Clock::time_point start, double timeoutSeconds = 10)
{
    while (secondsSince(start) < timeoutSeconds) {
        if (statusOf(player, name) != QLatin1String("playing"))
            return secondsSince(start);
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

} // namespace

class TestPlayer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Other tests change these; what the monitor hears depends on them.
        pulse_test::pactl({QStringLiteral("set-default-sink"), pulse_test::testSink()});
        pulse_test::pactl({QStringLiteral("set-sink-volume"), pulse_test::testSink(), QStringLiteral("100%")});
        pulse_test::pactl({QStringLiteral("set-sink-mute"), pulse_test::testSink(), QStringLiteral("0")});
        pulse_test::pactl({QStringLiteral("set-source-volume"), pulse_test::testMonitor(), QStringLiteral("100%")});
        pulse_test::pactl({QStringLiteral("set-source-mute"), pulse_test::testMonitor(), QStringLiteral("0")});
        QVERIFY(m_dir.isValid());
        // Names with blanks: the device name is the whole rest of the command.
        m_folder = m_dir.filePath(QStringLiteral("my recordings"));
        QVERIFY(QDir().mkpath(m_folder));
        m_pulse = std::make_shared<PulseContext>();
        QVERIFY(m_pulse->ensureConnected());
    }

    void playsEveryRecordingAndSaveFormat_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("subformat");
        // What the wave file becomes: "" stays a wave file, "mp3" is made by lame as the conversion
        // does, the others are the program's own copies of a take.
        QTest::addColumn<QString>("saved");
        const int u8 = SF_FORMAT_PCM_U8;
        const int s16 = SF_FORMAT_PCM_16;
        QTest::newRow("8-bit mono 8000 Hz") << 8000 << 1 << u8 << QString();
        QTest::newRow("8-bit stereo 11025 Hz") << 11025 << 2 << u8 << QString();
        QTest::newRow("16-bit mono 22050 Hz") << 22050 << 1 << s16 << QString();
        QTest::newRow("16-bit stereo 44100 Hz") << 44100 << 2 << s16 << QString();
        QTest::newRow("MP3 from 16-bit stereo 44100 Hz") << 44100 << 2 << s16 << QStringLiteral("mp3");
        QTest::newRow("FLAC from 16-bit stereo 44100 Hz") << 44100 << 2 << s16 << QStringLiteral("flac");
        QTest::newRow("FLAC from 8-bit mono 11025 Hz") << 11025 << 1 << u8 << QStringLiteral("flac");
        QTest::newRow("Ogg Vorbis from 16-bit stereo 44100 Hz") << 44100 << 2 << s16 << QStringLiteral("vorbis");
        QTest::newRow("Ogg Vorbis from 16-bit mono 22050 Hz") << 22050 << 1 << s16 << QStringLiteral("vorbis");
        // Resampled to 48 kHz, and 8 kHz as it is.
        QTest::newRow("Opus from 16-bit stereo 44100 Hz") << 44100 << 2 << s16 << QStringLiteral("opus");
        QTest::newRow("Opus from 8-bit mono 8000 Hz") << 8000 << 1 << u8 << QStringLiteral("opus");
    }

    // The file is heard whole, at its own pitch; "playing" while it plays, "stopped" once it has been
    // played out and until it is closed, then nothing.
    void playsEveryRecordingAndSaveFormat()
    {
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(int, subformat);
        QFETCH(QString, saved);
        const double length = 1.0;
        QString path = m_folder + QStringLiteral("/tone %1 %2 %3.wav").arg(rate).arg(channels).arg(subformat);
        QVERIFY(writeTones(path, rate, channels, subformat, {{mid, length}}));
        const QString wav = path;
        if (saved == QLatin1String("mp3")) {
            path = m_folder + QStringLiteral("/tone one.mp3");
            QVERIFY(makeMp3(wav, path));
        } else if (!saved.isEmpty()) {
            const TakeEncoder::Kind kind = saved == QLatin1String("flac")     ? TakeEncoder::Kind::Flac
                                           : saved == QLatin1String("vorbis") ? TakeEncoder::Kind::Vorbis
                                                                              : TakeEncoder::Kind::Opus;
            path = m_folder + QStringLiteral("/tone %1 %2 %3 %4.%5")
                                  .arg(rate)
                                  .arg(channels)
                                  .arg(subformat)
                                  .arg(saved, QLatin1String(TakeEncoder::extension(kind)));
            const int bits = subformat == SF_FORMAT_PCM_U8 ? 8 : 16;
            const QString error = encodeTake(wav, bits, kind, path);
            QVERIFY2(error.isEmpty(), qPrintable(error));
            // The player gets the codec itself, not a wave file under another name.
            const int expected = kind == TakeEncoder::Kind::Flac     ? SF_FORMAT_FLAC
                                 : kind == TakeEncoder::Kind::Vorbis ? SF_FORMAT_OGG | SF_FORMAT_VORBIS
                                                                     : SF_FORMAT_OGG | SF_FORMAT_OPUS;
            const int mask =
                kind == TakeEncoder::Kind::Flac ? SF_FORMAT_TYPEMASK : SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK;
            QCOMPARE(formatOf(path) & mask, expected);
        }

        PulsePlayer player(m_pulse);
        MonitorListener monitor(pulse_test::testMonitor(), frequencies);
        QVERIFY(monitor.ok());
        const auto start = Clock::now();
        QCOMPARE(player.play(path), QString());
        QCOMPARE(statusOf(player, path), QStringLiteral("playing"));
        const double stoppedAt = waitUntilNotPlaying(player, path, start);
        QVERIFY(stoppedAt > 0);
        QCOMPARE(statusOf(player, path), QStringLiteral("stopped"));
        // Not before the sound could have been played out, and about a fragment after it. Counted
        // from when the monitor first heard it: a null sink that was idle starts late, after the
        // silence it had already rendered.
        const auto firstHeard = monitor.firstLoud();
        QVERIFY(firstHeard > start);
        const double sounded = stoppedAt - std::chrono::duration<double>(firstHeard - start).count();
        QVERIFY2(sounded >= length - 0.1 && sounded <= length + 0.5,
                 qPrintable(QStringLiteral("\"stopped\" %1 s after the sound began").arg(sounded)));

        // Everything was already heard when the mode said "stopped".
        const double heardWhenStopped = monitor.loudSeconds(0.05, 1);
        std::this_thread::sleep_for(400ms);
        monitor.stop();
        const double heard = monitor.loudSeconds(0.05, 1);
        QVERIFY2(heard - heardWhenStopped <= 0.05,
                 qPrintable(QStringLiteral("%1 s heard after \"stopped\", %2 s before")
                                .arg(heard - heardWhenStopped)
                                .arg(heardWhenStopped)));
        // Lossy codecs blur the tone's edges: MP3 pads its end, Vorbis and Opus spread a little
        // sound over their overlapping blocks.
        const double slack = saved.isEmpty() || saved == QLatin1String("flac") ? 0.06 : 0.15;
        const QString heardLine = QString::fromStdString(monitor.timeline());
        // A player that drops or repeats frames at every block would break the tone that often.
        QVERIFY2(monitor.glitches(1) <= 0.15 * length,
                 qPrintable(QStringLiteral("the tone breaks too often: %1").arg(heardLine)));
        QVERIFY2(heard >= length - 0.06 && heard <= length + slack,
                 qPrintable(QStringLiteral("%1 s of %2 Hz heard: %3").arg(heard).arg(mid).arg(heardLine)));
        QVERIFY2(monitor.loudSeconds(0.05) <= heard + 0.05,
                 qPrintable(QStringLiteral("not only the file's own tone was heard: %1").arg(heardLine)));

        QCOMPARE(statusOf(player, path), QStringLiteral("stopped"));
        player.close(path);
        QCOMPARE(statusOf(player, path), QString());
    }

    // "close" part-way: silence at once, and the device is gone.
    void closeStopsAtOnce()
    {
        const QString path = m_folder + QStringLiteral("/long tone.wav");
        QVERIFY(writeTones(path, 44100, 2, SF_FORMAT_PCM_16, {{low, 3.0}}));
        PulsePlayer player(m_pulse);
        MonitorListener monitor(pulse_test::testMonitor(), frequencies);
        QVERIFY(monitor.ok());
        QCOMPARE(player.play(path), QString());
        QVERIFY(monitor.waitForSound(0.5, 0));
        QCOMPARE(statusOf(player, path), QStringLiteral("playing"));
        const double heardAtClose = monitor.loudSeconds(0.05, 0);
        player.close(path);
        QCOMPARE(statusOf(player, path), QString());
        std::this_thread::sleep_for(700ms);
        monitor.stop();
        const double heard = monitor.loudSeconds(0.05);
        QVERIFY2(heard <= heardAtClose + double(PulsePlayer::bufferMs) / 1000 + 0.05,
                 qPrintable(QStringLiteral("%1 s heard at close, %2 s in all").arg(heardAtClose).arg(heard)));
        // Closing again, or a name never opened, does nothing.
        player.close(path);
        player.close(QString());
    }

    // "play" of the open name starts it again from its beginning, and it is then heard to its end.
    void playingTheSameNameAgainRestarts()
    {
        const QString path = m_folder + QStringLiteral("/two tones.wav");
        QVERIFY(writeTones(path, 22050, 1, SF_FORMAT_PCM_16, {{low, 0.5}, {mid, 1.0}}));
        PulsePlayer player(m_pulse);
        MonitorListener monitor(pulse_test::testMonitor(), frequencies);
        QVERIFY(monitor.ok());
        QCOMPARE(player.play(path), QString());
        QVERIFY(monitor.waitForSound(0.3, 1));
        const double midAtRestart = monitor.loudSeconds(0.05, 1);
        const auto restart = Clock::now();
        QCOMPARE(player.play(path), QString());
        QCOMPARE(statusOf(player, path), QStringLiteral("playing"));
        const double stoppedAt = waitUntilNotPlaying(player, path, restart);
        QVERIFY2(stoppedAt >= 1.5 - 0.15, qPrintable(QStringLiteral("stopped %1 s after the restart").arg(stoppedAt)));
        QCOMPARE(statusOf(player, path), QStringLiteral("stopped"));
        std::this_thread::sleep_for(300ms);
        monitor.stop();
        // The first tone twice, the second once in part and once whole.
        const double lowHeard = monitor.loudSeconds(0.05, 0);
        const double midHeard = monitor.loudSeconds(0.05, 1);
        QVERIFY2(lowHeard >= 0.92 && lowHeard <= 1.06,
                 qPrintable(QStringLiteral("%1 s of the first tone").arg(lowHeard)));
        QVERIFY2(
            midHeard >= midAtRestart + 0.95 &&
                midHeard <= midAtRestart + 1.0 + double(PulsePlayer::bufferMs) / 1000 + 0.05,
            qPrintable(QStringLiteral("%1 s of the second tone, %2 s at the restart").arg(midHeard).arg(midAtRestart)));
        player.close(path);
    }

    // Only one file plays: a second one closes the first at once.
    void aSecondFileReplacesTheFirst()
    {
        const QString first = m_folder + QStringLiteral("/first.wav");
        const QString second = m_folder + QStringLiteral("/second.wav");
        QVERIFY(writeTones(first, 44100, 2, SF_FORMAT_PCM_16, {{low, 3.0}}));
        QVERIFY(writeTones(second, 11025, 1, SF_FORMAT_PCM_U8, {{high, 1.0}}));
        PulsePlayer player(m_pulse);
        MonitorListener monitor(pulse_test::testMonitor(), frequencies);
        QVERIFY(monitor.ok());
        QCOMPARE(player.play(first), QString());
        QVERIFY(monitor.waitForSound(0.4, 0));
        const double firstAtSwitch = monitor.loudSeconds(0.05, 0);
        const auto switched = Clock::now();
        QCOMPARE(player.play(second), QString());
        QCOMPARE(statusOf(player, first), QString());
        QCOMPARE(statusOf(player, second), QStringLiteral("playing"));
        QVERIFY(waitUntilNotPlaying(player, second, switched) > 0);
        QCOMPARE(statusOf(player, second), QStringLiteral("stopped"));
        std::this_thread::sleep_for(300ms);
        monitor.stop();
        const double firstHeard = monitor.loudSeconds(0.05, 0);
        const double secondHeard = monitor.loudSeconds(0.05, 2);
        QVERIFY2(
            firstHeard <= firstAtSwitch + double(PulsePlayer::bufferMs) / 1000 + 0.05,
            qPrintable(
                QStringLiteral("%1 s of the first at the switch, %2 s in all").arg(firstAtSwitch).arg(firstHeard)));
        QVERIFY2(secondHeard >= 0.94 && secondHeard <= 1.06,
                 qPrintable(QStringLiteral("%1 s of the second").arg(secondHeard)));
        player.close(second);
    }

    // What cannot be played says so, and leaves no device open; names never opened have no mode.
    void failuresAndUnknownNames()
    {
        PulsePlayer player(m_pulse);
        QCOMPARE(statusOf(player, m_folder + QStringLiteral("/never played.wav")), QString());
        player.close(m_folder + QStringLiteral("/never played.wav"));

        const QString missing = m_folder + QStringLiteral("/missing file.wav");
        const QString reply = player.play(missing);
        QVERIFY2(reply.startsWith(QStringLiteral("error")), qPrintable(reply));
        QCOMPARE(statusOf(player, missing), QString());

        const QString text = m_folder + QStringLiteral("/not sound.wav");
        {
            QFile file(text);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray("This is a letter, not a recording.\n").repeated(200));
        }
        QVERIFY(player.play(text).startsWith(QStringLiteral("error")));
        QCOMPARE(statusOf(player, text), QString());
        QVERIFY(player.play(m_folder).startsWith(QStringLiteral("error")));
        QVERIFY(player.play(QString()).startsWith(QStringLiteral("error")));

        // An empty recording plays at once to its end.
        const QString empty = m_folder + QStringLiteral("/empty.wav");
        QVERIFY(writeTones(empty, 22050, 1, SF_FORMAT_PCM_U8, {}));
        const auto start = Clock::now();
        QCOMPARE(player.play(empty), QString());
        QVERIFY(waitUntilNotPlaying(player, empty, start) >= 0);
        QCOMPARE(statusOf(player, empty), QStringLiteral("stopped"));
        player.close(empty);
        QCOMPARE(statusOf(player, empty), QString());
    }

    // A file counts as played out once the sound has been heard to its end, and not much later.
    void playedOutWhenHeard()
    {
        const QString path = m_folder + QStringLiteral("/short tone.wav");
        QVERIFY(writeTones(path, 22050, 1, SF_FORMAT_PCM_U8, {{mid, 0.8}}));
        PulsePlayer player(m_pulse);
        MonitorListener monitor(pulse_test::testMonitor(), frequencies);
        QVERIFY(monitor.ok());
        const auto start = Clock::now();
        QCOMPARE(player.play(path), QString());
        const double returnedAfter = waitUntilNotPlaying(player, path, start);
        QCOMPARE(statusOf(player, path), QStringLiteral("stopped"));
        const double heardAtReturn = monitor.loudSeconds(0.05, 1);
        std::this_thread::sleep_for(400ms);
        monitor.stop();
        const double heard = monitor.loudSeconds(0.05, 1);
        QVERIFY2(heardAtReturn >= 0.8 - 0.06, qPrintable(QStringLiteral("%1 s heard at return").arg(heardAtReturn)));
        QVERIFY2(heard - heardAtReturn <= 0.05,
                 qPrintable(QStringLiteral("%1 s heard after return").arg(heard - heardAtReturn)));
        QVERIFY2(returnedAfter >= 0.8 - 0.15, qPrintable(QStringLiteral("returned after %1 s").arg(returnedAfter)));
    }

    // Without a server, or with one that does not answer, the play never waits for it and ends
    // failed instead of played: nothing claims to have been heard.
    void withoutAServer()
    {
        const QString path = m_folder + QStringLiteral("/short tone.wav");
        QVERIFY(QFile::exists(path));
        {
            PulsePlayer player(
                std::make_shared<PulseContext>("unix:" + m_dir.filePath(QStringLiteral("no-server")).toStdString()));
            const QString reply = player.play(path);
            if (reply.isEmpty()) {
                QVERIFY(waitUntilNotPlaying(player, path, Clock::now()) >= 0);
                QCOMPARE(statusOf(player, path), QStringLiteral("failed"));
            } else {
                QVERIFY(reply.startsWith(QStringLiteral("error")));
                QCOMPARE(statusOf(player, path), QString());
            }
        }

        // A socket that takes the connection and never answers, as a hung server does: the play
        // returns at once (a wait for the server would take the connection timeout of 2 s) and fails
        // once that timeout has passed. Closing it meanwhile is immediate too.
        const QString socketPath = m_dir.filePath(QStringLiteral("hung-server"));
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(listener >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray encoded = QFile::encodeName(socketPath);
        QVERIFY(size_t(encoded.size()) < sizeof address.sun_path);
        std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QCOMPARE(::listen(listener, 8), 0);
        for (const bool closeEarly : {false, true}) {
            PulsePlayer player(std::make_shared<PulseContext>("unix:" + socketPath.toStdString()));
            const auto start = Clock::now();
            QCOMPARE(player.play(path), QString());
            QVERIFY2(secondsSince(start) < 0.5, qPrintable(QStringLiteral("play took %1 s").arg(secondsSince(start))));
            if (closeEarly) {
                const auto closing = Clock::now();
                player.close(path);
                QVERIFY2(secondsSince(closing) < 0.5,
                         qPrintable(QStringLiteral("close took %1 s").arg(secondsSince(closing))));
                QCOMPARE(statusOf(player, path), QString());
                continue;
            }
            QCOMPARE(statusOf(player, path), QStringLiteral("playing"));
            const double endedAfter = waitUntilNotPlaying(player, path, start);
            QVERIFY2(endedAfter >= 1.5,
                     qPrintable(QStringLiteral("ended after %1 s as %2").arg(endedAfter).arg(statusOf(player, path))));
            QCOMPARE(statusOf(player, path), QStringLiteral("failed"));
        }
        ::close(listener);
    }

    // A player on a context that has not connected yet (as at program start) plays once the server
    // answers: the stream is made then, and the file is heard.
    void playsOnceTheServerAnswers()
    {
        const QString path = m_folder + QStringLiteral("/short tone.wav");
        PulsePlayer player(std::make_shared<PulseContext>());
        MonitorListener monitor(pulse_test::testMonitor(), frequencies);
        QVERIFY(monitor.ok());
        const auto start = Clock::now();
        QCOMPARE(player.play(path), QString());
        QVERIFY(waitUntilNotPlaying(player, path, start) > 0);
        QCOMPARE(statusOf(player, path), QStringLiteral("stopped"));
        monitor.stop();
        QVERIFY2(monitor.loudSeconds(0.05, 1) >= 0.8 - 0.06,
                 qPrintable(QStringLiteral("%1 s heard").arg(monitor.loudSeconds(0.05, 1))));
    }

private:
    QTemporaryDir m_dir;
    QString m_folder;
    std::shared_ptr<PulseContext> m_pulse;
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (const int gate = pulse_test::gate("test_player"))
        return gate;
    TestPlayer test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_player.moc"
