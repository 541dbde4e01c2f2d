// The test chime the build makes, and finding it again in recordings: one made from the null sink's
// monitor while the chime plays, as the wizard records it, and files that hold something else.

#include "library/chime.h"
#include "library/pulse_player.h"
#include "platform/pulse_context.h"
#include "tests/recording/pulse_test_support.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <random>
#include <thread>

using namespace std::chrono_literals;

namespace {

bool writeSamples(const QString& path, int rate, int channels, int subformat, const std::vector<float>& mono)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | subformat;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<float> interleaved;
    for (float v : mono)
        for (int c = 0; c < channels; ++c)
            interleaved.push_back(v);
    const auto frames = sf_count_t(mono.size());
    const bool ok = sf_writef_float(file, interleaved.data(), frames) == frames;
    return sf_close(file) == 0 && ok;
}

std::vector<float> tones(int rate, const std::vector<std::pair<double, double>>& segments, double amplitude = 0.5)
{
    std::vector<float> out;
    for (const auto& [hz, seconds] : segments)
        for (long i = 0; i < long(seconds * rate); ++i)
            out.push_back(hz > 0 ? float(amplitude * std::sin(2 * M_PI * hz * double(i) / rate)) : 0.0f);
    return out;
}

void addNoise(std::vector<float>& samples, double amplitude, unsigned seed = 7)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(-amplitude, amplitude);
    for (float& v : samples)
        v = float(std::clamp(double(v) + uniform(random), -1.0, 1.0));
}

QString chimePath()
{
    return qEnvironmentVariable("TRELVIK_BIN_DIR") + QStringLiteral("/test.wav");
}

} // namespace

class TestChime : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // The file beside the executable: short, loud enough, and its own signature is found in it.
    void theBuiltChime()
    {
        SF_INFO info{};
        SNDFILE* file = sf_open(QFile::encodeName(chimePath()).constData(), SFM_READ, &info);
        QVERIFY2(file, qPrintable(chimePath()));
        sf_close(file);
        const double seconds = double(info.frames) / info.samplerate;
        QVERIFY2(seconds > 0.5 && seconds < 1.0, qPrintable(QString::number(seconds)));
        QCOMPARE(info.format & SF_FORMAT_TYPEMASK, int(SF_FORMAT_WAV));

        const ChimeCheck check = findChime(chimePath());
        QVERIFY2(check.found, qPrintable(check.detail));
        QVERIFY(check.readable);
        QVERIFY2(std::fabs(check.startSeconds - chime::leadSeconds) < 0.03, qPrintable(check.detail));
        QVERIFY2(check.peakLevel > 0.25, qPrintable(QString::number(check.peakLevel)));
    }

    // The chime in other formats and under noise still counts; other sounds do not.
    void findsOnlyTheChime()
    {
        struct Case {
            const char* name;
            int rate;
            int channels;
            int subformat;
            std::vector<float> samples;
            bool found;
        };
        std::vector<Case> cases;
        cases.push_back({"chime 8000 Hz 16-bit", 8000, 1, SF_FORMAT_PCM_16, chime::samples(8000), true});
        cases.push_back({"chime 44100 Hz stereo float", 44100, 2, SF_FORMAT_FLOAT, chime::samples(44100), true});
        std::vector<float> quiet = chime::samples(11025);
        for (float& v : quiet)
            v *= 0.05f; // -32 dB
        addNoise(quiet, 0.01);
        quiet.insert(quiet.begin(), 11025, 0.0f);
        addNoise(quiet, 0.005, 9);
        cases.push_back(
            {"quiet chime in noise, 8-bit 11025 Hz, after a second", 11025, 1, SF_FORMAT_PCM_U8, quiet, true});

        cases.push_back({"silence", 22050, 1, SF_FORMAT_PCM_U8, std::vector<float>(22050 * 2, 0.0f), false});
        std::vector<float> noise(22050 * 2, 0.0f);
        addNoise(noise, 0.7);
        cases.push_back({"white noise", 22050, 1, SF_FORMAT_PCM_U8, noise, false});
        cases.push_back({"one 880 Hz tone", 22050, 1, SF_FORMAT_PCM_U8, tones(22050, {{880, 1.5}}), false});
        cases.push_back({"the tones backwards", 22050, 1, SF_FORMAT_PCM_16,
                         tones(22050, {{1320, 0.25}, {880, 0.25}, {660, 0.25}}), false});
        cases.push_back({"two of the three", 22050, 1, SF_FORMAT_PCM_16,
                         tones(22050, {{660, 0.25}, {880, 0.25}, {0, 0.5}}), false});
        cases.push_back({"a long pause inside", 22050, 1, SF_FORMAT_PCM_16,
                         tones(22050, {{660, 0.25}, {880, 0.25}, {0, 0.5}, {1320, 0.25}}), false});
        cases.push_back(
            {"too short", 22050, 1, SF_FORMAT_PCM_16, tones(22050, {{660, 0.05}, {880, 0.05}, {1320, 0.05}}), false});
        std::vector<float> buried = chime::samples(22050);
        addNoise(buried, 0.9, 11); // the noise far louder than the chime
        cases.push_back({"chime buried in loud noise", 22050, 1, SF_FORMAT_PCM_16, buried, false});

        for (const Case& c : cases) {
            const QString path = m_dir.filePath(QString::fromLatin1(c.name) + QStringLiteral(".wav"));
            QVERIFY2(writeSamples(path, c.rate, c.channels, c.subformat, c.samples), c.name);
            const ChimeCheck check = findChime(path);
            qInfo("%s: %s", c.name, qPrintable(check.detail));
            QVERIFY2(check.readable, c.name);
            QVERIFY2(check.found == c.found,
                     qPrintable(QString::fromLatin1(c.name) + QStringLiteral(": ") + check.detail));
            QVERIFY2(!check.detail.isEmpty(), c.name);
        }

        const ChimeCheck missing = findChime(m_dir.filePath(QStringLiteral("no such file.wav")));
        QVERIFY(!missing.readable);
        QVERIFY(!missing.found);
        QVERIFY(!missing.detail.isEmpty());
    }

    // As the wizard does it: the chime played to the sink while its monitor records at 22050 Hz, one
    // channel, 8 bits; and the same recording without the chime.
    void foundInARecordingOfTheMonitor()
    {
        if (!pulse_test::serverAnswers())
            QSKIP("no sound server, and none configured"); // main has failed when one was
        pulse_test::pactl({QStringLiteral("set-default-sink"), pulse_test::testSink()});
        pulse_test::pactl({QStringLiteral("set-sink-volume"), pulse_test::testSink(), QStringLiteral("100%")});
        pulse_test::pactl({QStringLiteral("set-sink-mute"), pulse_test::testSink(), QStringLiteral("0")});
        pulse_test::pactl({QStringLiteral("set-source-volume"), pulse_test::testMonitor(), QStringLiteral("100%")});
        pulse_test::pactl({QStringLiteral("set-source-mute"), pulse_test::testMonitor(), QStringLiteral("0")});

        auto pulse = std::make_shared<PulseContext>();
        PulsePlayer player(pulse);
        for (const bool withChime : {true, false}) {
            const QString recording =
                m_dir.filePath(withChime ? QStringLiteral("with chime.wav") : QStringLiteral("without.wav"));
            QProcess recorder;
            recorder.start(QStringLiteral("parecord"),
                           {QStringLiteral("--device=") + pulse_test::testMonitor(), QStringLiteral("--rate=22050"),
                            QStringLiteral("--channels=1"), QStringLiteral("--format=u8"),
                            QStringLiteral("--latency-msec=50"), QStringLiteral("--file-format=wav"), recording});
            QVERIFY(recorder.waitForStarted(5000));
            // Recording before the chime starts.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(recording).size() > 5000, 5000);
            if (withChime) {
                QCOMPARE(player.play(chimePath()), QString());
                QTRY_VERIFY_WITH_TIMEOUT(player.state(chimePath()) == Player::State::PlayedOut, 10000);
            } else
                std::this_thread::sleep_for(1000ms);
            std::this_thread::sleep_for(300ms);
            recorder.terminate();
            QVERIFY(recorder.waitForFinished(5000));

            SF_INFO info{};
            SNDFILE* file = sf_open(QFile::encodeName(recording).constData(), SFM_READ, &info);
            QVERIFY(file);
            sf_close(file);
            QCOMPARE(info.samplerate, 22050);
            QCOMPARE(info.channels, 1);
            QCOMPARE(info.format & SF_FORMAT_SUBMASK, int(SF_FORMAT_PCM_U8));

            const ChimeCheck check = findChime(recording);
            qInfo("%s: %s", withChime ? "with the chime" : "without", qPrintable(check.detail));
            QVERIFY(check.readable);
            QVERIFY2(check.found == withChime, qPrintable(check.detail));
        }
    }

private:
    QTemporaryDir m_dir;
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The analysis needs no server; the recording does, and must not pass unheard when one is meant
    // to be there.
    if (pulse_test::gate("test_chime") == 1)
        return 1;
    TestChime test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_chime.moc"
