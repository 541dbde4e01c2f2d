#include "app/form1.h"
#include "convert/conversion.h"
#include "recording/recorder.h"
#include "tests/fakes/window_fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <sndfile.h>

namespace {

const QColor kRed(255, 0, 0);

double waveDuration(const QString& path);

// Seconds of audio a file holds; an MP3 is decoded by the encoder itself, which removes its start
// delay and end padding.
double duration(const QString& path)
{
    if (!path.endsWith(QStringLiteral(".mp3")))
        return waveDuration(path);
    const QString decoded = path + QStringLiteral(".decoded.wav");
    QProcess::execute(QStringLiteral("lame"), {QStringLiteral("--quiet"), QStringLiteral("--decode"), path, decoded});
    const double seconds = waveDuration(decoded);
    QFile::remove(decoded);
    return seconds;
}

// Seconds of audio in a wave file, counted frame by frame.
double waveDuration(const QString& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return -1;
    std::vector<short> buffer(4096 * std::max(info.channels, 1));
    sf_count_t frames = 0;
    for (sf_count_t got; (got = sf_readf_short(file, buffer.data(), 4096)) > 0;)
        frames += got;
    sf_close(file);
    return double(frames) / info.samplerate;
}

bool makeWave(const QString& path, int rate, int channels, int bits, double seconds)
{
    return QProcess::execute(QStringLiteral("sox"),
                             {QStringLiteral("-n"), QStringLiteral("-r"), QString::number(rate), QStringLiteral("-c"),
                              QString::number(channels), QStringLiteral("-b"), QString::number(bits), path,
                              QStringLiteral("synth"), QString::number(seconds), QStringLiteral("sine"),
                              QStringLiteral("440")}) == 0;
}

// A program folder and a recordings folder whose names hold blanks.
struct Fixture : WindowFixture {
    QStringList statuses;

    Fixture() : WindowFixture(QStringLiteral("program folder"))
    {
        config("[Config]\nRecording Volume=1\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=" +
               dir.filePath(QStringLiteral("my recordings/take one.wav")).toUtf8() + "\n");
        QDir().mkpath(dir.filePath(QStringLiteral("my recordings")));
        load();
        QObject::connect(statusLine(), &QLineEdit::textChanged, [this](const QString& text) { statuses.append(text); });
    }
    QString path(const QString& name) const { return QFileInfo(dir.filePath(name)).absoluteFilePath(); }
    // A take of `seconds` on the clock whose file, chosen with "Output File", holds a copy of content.
    QString take(const QString& name, int seconds, const QString& content)
    {
        fakes.dialogs->answers = QStringList({path(name)});
        item("position")->trigger();
        fakes.capture->recordingOnStop = content;
        recordFor(seconds);
        fakes.capture->recordingOnStop.clear();
        return QFileInfo(path(name)).canonicalFilePath();
    }
    // The last item selected, and "Convert wav to mp3" from its context menu.
    void convertLast()
    {
        select(list()->count() - 1);
        item("Convert")->trigger();
        converted();
    }
    // Until the encoder has ended; the window answers meanwhile.
    void converted() { QTRY_VERIFY_WITH_TIMEOUT(!form->conversion().holdsRecord(), 20000); }
    // A stand-in encoder in the program folder that records its arguments and reports progress.
    void standInEncoder()
    {
        const QString script = paths.programFile(QStringLiteral("lame"));
        writeTextFile(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/arguments\"\n"
                              "printf 'LAME stand-in\\n    1/10   ( 9%%)|\\r' >&2; sleep 0.2\n"
                              "printf '    5/10   (42%%)|\\r' >&2; sleep 0.2\n"
                              "printf '   10/10   (100%%)|\\r' >&2\n");
        QFile::setPermissions(script, QFile::permissions(script) | QFileDevice::ExeOwner);
    }
    QStringList standInArguments() const
    {
        return QString::fromUtf8(readTextFile(paths.programFile(QStringLiteral("arguments"))))
            .split(u'\n', Qt::SkipEmptyParts);
    }
};

// Picks an entry of a combo box from the keyboard, as a user does.
void choose(QComboBox* combo, int index)
{
    QTest::keyClick(combo, Qt::Key_Home);
    for (int i = 0; i < index; ++i)
        QTest::keyClick(combo, Qt::Key_Down);
}

} // namespace

class TestConversion : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("lame")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("sox")).isEmpty())
            QFAIL("lame and sox are needed (./test.sh installs them)");
    }

    void contextMenuConvertsTheSelectedItemWithTheRealEncoder()
    {
        Fixture f;
        for (const auto& [name, rate, channels, bits] :
             {std::tuple{QStringLiteral("low.wav"), 8000, 1, 8},
              std::tuple{QStringLiteral("my recordings/high take.WAV"), 44100, 2, 16}}) {
            const QString source = f.path(QStringLiteral("source.wav"));
            QVERIFY(makeWave(source, rate, channels, bits, 7.3));
            f.item("Clear")->trigger();
            const QString wave = f.take(name, 7, source);
            QCOMPARE(f.items(), QStringList({QStringLiteral("01     00:07     ") + wave}));
            f.statuses.clear();
            f.convertLast();

            const QString mp3 = wave.left(wave.size() - 3) + QStringLiteral("mp3");
            QVERIFY2(QFileInfo::exists(mp3), qPrintable(mp3));
            // Same length within one MP3 frame (1152 samples).
            QVERIFY2(std::abs(duration(mp3) - duration(wave)) <= 1152.0 / rate + 0.001,
                     qPrintable(QStringLiteral("%1 vs %2").arg(duration(mp3)).arg(duration(wave))));
            QCOMPARE(f.list()->count(), 2);
            QCOMPARE(f.list()->item(1)->text(), QStringLiteral("02     00:07     ") + mp3);
            QCOMPARE(f.nextItemNumber(), int16_t(3));
            // However fast the encoder, every progress shown is a number with its sign (a short file
            // may give no progress at all), and the end is always shown.
            const QRegularExpression progress(
                QStringLiteral("^Encoding in progress\\.\\.\\.  Status=( \\d|\\d\\d|\\d\\d\\d)%$"));
            for (const QString& shown : f.statuses.filter(QStringLiteral("Encoding in progress")))
                QVERIFY2(progress.match(shown).hasMatch(), qPrintable(shown));
            QCOMPARE(f.statusLine()->text(), QStringLiteral("Finish Converting"));
            QCOMPARE(f.w().statusColour(), kRed);
            QVERIFY(f.recordButton()->isEnabled());
        }
    }

    void progressIsTheNumberBeforeTheFirstPercentSign()
    {
        QCOMPARE(Conversion::progressIn(QStringLiteral("    1/10   ( 9%)|")), QStringLiteral(" 9%"));
        QCOMPARE(Conversion::progressIn(QStringLiteral("  5/10 (42%)| 6/10 (55%)|")), QStringLiteral("42%"));
        QCOMPARE(Conversion::progressIn(QStringLiteral("10/10 (100%)|")), QStringLiteral("100%"));
        // lame's closing statistics: text, not a number, before the sign.
        QVERIFY(Conversion::progressIn(QStringLiteral("  mono %   long switch/short")).isNull());
        QVERIFY(Conversion::progressIn(QStringLiteral("%%% 42%")).isNull());
        QVERIFY(Conversion::progressIn(QStringLiteral("7%")).isNull());
        QVERIFY(Conversion::progressIn(QStringLiteral("no progress")).isNull());
        QVERIFY(Conversion::progressIn(QString()).isNull());
    }

    void commandLineProgressAndOptions()
    {
        Fixture f;
        f.standInEncoder();
        const QString original = f.path(QStringLiteral("original"));
        writeTextFile(original, "RIFF");
        const QString wave = f.take(QStringLiteral("a.wav"), 7, original);
        f.convertLast();
        const QString encoder = f.paths.programFile(QStringLiteral("lame"));
        QCOMPARE(f.w().conversion().encoderPath(), encoder);
        QCOMPARE(f.standInArguments(), QStringList({"-b", "128", "-m", "j", wave, f.path(QStringLiteral("a.mp3"))}));
        QVERIFY(f.statuses.contains(QStringLiteral("Encoding in progress...  Status= 9%")));
        QVERIFY(f.statuses.contains(QStringLiteral("Encoding in progress...  Status=42%")));
        QVERIFY(f.statuses.contains(QStringLiteral("Encoding in progress...  Status=100%")));

        // Options chosen in "MP3 Options" take effect with Ok, for the next conversion.
        f.item("mp3otion")->trigger();
        QVERIFY(f.w().mp3Options());
        choose(f.w().mp3Options()->Combo1, 13); // 320
        choose(f.w().mp3Options()->Combo2, 2);  // mono
        choose(f.w().mp3Options()->Combo3, 2);  // Quality
        f.w().mp3Options()->SkinButton1->click();
        QVERIFY(!f.w().mp3Options());
        QCOMPARE(f.state.LameOptions, QStringLiteral(" -b 320 -m m -h"));
        f.select(0);
        f.item("Convert")->trigger();
        f.converted();
        QCOMPARE(f.standInArguments(),
                 QStringList({"-b", "320", "-m", "m", "-h", wave, f.path(QStringLiteral("a.mp3"))}));
    }

    void closingDuringAConversionSaysItWaits()
    {
        Fixture f;
        f.standInEncoder();
        const QString original = f.path(QStringLiteral("original"));
        writeTextFile(original, "RIFF");
        f.take(QStringLiteral("a.wav"), 2, original);
        f.select(0);
        f.item("Convert")->trigger();
        QVERIFY(f.w().conversion().holdsRecord());
        f.statuses.clear();
        f.w().close();
        QVERIFY(!f.state.ExitPump);
        const QString shown = f.statusLine()->text();
        QVERIFY2(shown.endsWith(QStringLiteral(" Trelvik closes when this is done.")), qPrintable(shown));
        // The progress says it too, and the window closes once the encoder has ended.
        QTRY_VERIFY_WITH_TIMEOUT(f.state.ExitPump, 20000);
        QVERIFY(f.statuses.contains(
            QStringLiteral("Encoding in progress...  Status=100% Trelvik closes when this is done.")));
        QVERIFY(!f.standInArguments().isEmpty());
    }

    void anMp3ItemIsNotConvertedOntoItself()
    {
        Fixture f;
        f.standInEncoder();
        const QString original = f.path(QStringLiteral("original"));
        writeTextFile(original, "ID3 original");
        const QString mp3 = f.take(QStringLiteral("song.mp3"), 7, original);
        f.convertLast();
        QCOMPARE(readTextFile(mp3), QByteArray("ID3 original"));
        QVERIFY(f.standInArguments().isEmpty());
        QCOMPARE(f.list()->count(), 1);
        QVERIFY(f.statusLine()->text().contains(QStringLiteral("already an MP3")));
        QCOMPARE(f.w().statusColour(), kRed);
        QVERIFY(f.recordButton()->isEnabled());

        // Nor is a take saved compressed: no "take.fmp3" beside it.
        const QString flac = f.take(QStringLiteral("take.flac"), 2, original);
        f.convertLast();
        QVERIFY(f.standInArguments().isEmpty());
        QCOMPARE(f.list()->count(), 2);
        QCOMPARE(f.statusLine()->text(),
                 flac + QStringLiteral(" is saved compressed already; only wave files are converted to MP3."));
        QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("take.fmp3"))));
    }

    void wavToMp3ThroughTheDialog()
    {
        Fixture f;
        f.standInEncoder();
        const QString wave = f.path(QStringLiteral("my recordings/chosen one.wav"));
        writeTextFile(wave, "RIFF");
        f.fakes.dialogs->answers = QStringList({wave});
        f.item("Wavtomp3")->trigger();
        f.converted();
        QCOMPARE(f.fakes.dialogs->asked, QStringList({"open|Wave Files(*.wav)|*.wav"}));
        QCOMPARE(f.standInArguments(), QStringList({"-b", "128", "-m", "j", wave, wave.left(wave.size() - 3) + "mp3"}));
        QCOMPARE(f.list()->count(), 0);
        QCOMPARE(f.statusLine()->text(), QStringLiteral("Finish Converting"));

        // Cancelled: status, list and Record stay as they were.
        QFile::remove(f.paths.programFile(QStringLiteral("arguments")));
        f.item("Clear")->trigger();
        f.item("Wavtomp3")->trigger();
        QCOMPARE(f.statusLine()->text(), QStringLiteral("All lists were cleared."));
        QVERIFY(f.standInArguments().isEmpty());
        QVERIFY(f.recordButton()->isEnabled());

        // A file that no longer exists has no canonical path: nothing runs, the status line is empty.
        f.fakes.dialogs->answers = QStringList({f.path(QStringLiteral("gone.wav"))});
        f.item("Wavtomp3")->trigger();
        QCOMPARE(f.statusLine()->text(), QString());
        QVERIFY(f.standInArguments().isEmpty());
    }

    void aConversionDuringARecordingLeavesItRunning()
    {
        Fixture f;
        f.standInEncoder();
        const QString wave = f.path(QStringLiteral("my recordings/chosen one.wav"));
        writeTextFile(wave, "RIFF");
        f.fakes.capture->writeFileOnStop = true;
        f.press(f.kF9);
        f.fakes.dialogs->answers = QStringList({wave});
        f.item("Wavtomp3")->trigger();
        f.converted();
        QCOMPARE(f.statusLine()->text(), QStringLiteral("Finish Converting"));
        // The end of the conversion does not offer Record while the recording runs, so F9 cannot
        // start a second capture over it.
        QCOMPARE(f.w().recorder().state(), Recorder::State::Recording);
        QVERIFY(!f.recordButton()->isEnabled());
        f.press(f.kF9);
        f.recordButton()->click();
        QCOMPARE(f.fakes.log.calls().filter(QStringLiteral("start(")).size(), 1);
        f.tick(3);
        f.press(f.kF11);
        QCOMPARE(f.items(),
                 QStringList({QStringLiteral("01     00:02     ") +
                              QFileInfo(f.path(QStringLiteral("my recordings/take one.wav"))).canonicalFilePath()}));
        QVERIFY(f.recordButton()->isEnabled());
    }

    void convertOnCompletionListsBothFiles()
    {
        Fixture f;
        const QString recording = f.path(QStringLiteral("source.wav"));
        QVERIFY(makeWave(recording, 22050, 2, 16, 3.0));
        f.fakes.capture->recordingOnStop = recording;
        f.item("mPreferences")->trigger();
        f.w().preferences()->Check1->click();
        f.w().preferences()->SkinButton1->click(); // Ok
        QCOMPARE(f.state.ConvertOnCompletion, int16_t(1));
        f.recordFor(3);
        f.converted();
        const QString wave = QFileInfo(f.path(QStringLiteral("my recordings/take one.wav"))).canonicalFilePath();
        const QString mp3 = wave.left(wave.size() - 3) + QStringLiteral("mp3");
        QCOMPARE(f.list()->count(), 2);
        QCOMPARE(f.list()->item(0)->text(), QStringLiteral("01     00:03     ") + wave);
        QCOMPARE(f.list()->item(1)->text(), QStringLiteral("02     00:03     ") + mp3);
        QVERIFY(QFileInfo::exists(mp3));
        QVERIFY(std::abs(duration(mp3) - 3.0) <= 1152.0 / 22050 + 0.001);
        QCOMPARE(f.statusLine()->text(), QStringLiteral("Recording is over,Wave file has saved in appointed path"));
        QVERIFY(f.recordButton()->isEnabled());
    }

    void anEarlierMp3IsNeverReplaced()
    {
        Fixture f;
        const QString recording = f.path(QStringLiteral("source.wav"));
        QVERIFY(makeWave(recording, 22050, 2, 16, 2.0));
        // The first take of an earlier run, converted, its big wave deleted.
        const QString earlier = f.path(QStringLiteral("my recordings/take one.mp3"));
        writeTextFile(earlier, "ID3 the earlier take");
        f.fakes.capture->recordingOnStop = recording;
        f.item("mPreferences")->trigger();
        f.w().preferences()->Check1->click();
        f.w().preferences()->SkinButton1->click();
        f.recordFor(2);
        f.converted();
        const QString wave = QFileInfo(f.path(QStringLiteral("my recordings/take one_1.wav"))).canonicalFilePath();
        QCOMPARE(f.items(), QStringList({QStringLiteral("01     00:02     ") + wave,
                                         QStringLiteral("02     00:02     ") + wave.left(wave.size() - 3) + "mp3"}));
        QCOMPARE(readTextFile(earlier), QByteArray("ID3 the earlier take"));
        QVERIFY(std::abs(duration(wave.left(wave.size() - 3) + "mp3") - 2.0) <= 1152.0 / 22050 + 0.001);
    }

    void noEncoderAnywhere()
    {
        Fixture f;
        const QString original = f.path(QStringLiteral("original"));
        writeTextFile(original, "RIFF");
        f.take(QStringLiteral("a.wav"), 1, original);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", f.dir.path().toUtf8());
        f.convertLast();
        f.select(0);
        f.item("Convert")->trigger();
        f.converted();
        qputenv("PATH", path);
        QCOMPARE(f.fakes.dialogs->messages, QStringList({"File or command not found", "File or command not found"}));
        QVERIFY(f.recordButton()->isEnabled());
        QCOMPARE(f.w().statusColour(), kRed);
        QCOMPARE(f.list()->count(), 3); // the MP3 items are listed all the same
    }
};

QTEST_MAIN(TestConversion)
#include "test_conversion.moc"
