#include "app/form1.h"
#include "library/recordings_list.h"
#include "tests/fakes/test_support.h"

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
    return QProcess::execute(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QString::number(rate),
                                                     QStringLiteral("-c"), QString::number(channels), QStringLiteral("-b"),
                                                     QString::number(bits), path, QStringLiteral("synth"),
                                                     QString::number(seconds), QStringLiteral("sine"),
                                                     QStringLiteral("440")}) == 0;
}

struct Fixture {
    QTemporaryDir dir;
    FakePlatform fakes;
    SharedState state;
    AppPaths paths;
    std::unique_ptr<Form1> form;
    QStringList statuses;

    Fixture() : paths(AppPaths::inFolder(makeProgramFolder(dir.filePath(QStringLiteral("program folder")))))
    {
        writeTextFile(paths.configFile(), "[Config]\nRecording Volume=1\nSave Position=" +
                                              dir.filePath(QStringLiteral("my recordings/take one.wav")).toUtf8() + "\n");
        QDir().mkpath(dir.filePath(QStringLiteral("my recordings")));
        form = std::make_unique<Form1>(paths, fakes.platform, state);
        form->Form_Load();
        QObject::connect(form->Text1, &QLineEdit::textChanged, [this](const QString& text) { statuses.append(text); });
    }
    Form1& w() { return *form; }
    QString path(const QString& name) const { return QFileInfo(dir.filePath(name)).absoluteFilePath(); }
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
        return QString::fromUtf8(readTextFile(paths.programFile(QStringLiteral("arguments")))).split(u'\n', Qt::SkipEmptyParts);
    }
};

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
             {std::tuple{QStringLiteral("low.wav"), 8000, 1, 8}, std::tuple{QStringLiteral("my recordings/high take.WAV"), 44100, 2, 16}}) {
            const QString wave = f.path(name);
            QVERIFY(makeWave(wave, rate, channels, bits, 7.3));
            f.w().List1->clear();
            f.w().NextItemNumber = 2;
            recordings_list::append(*f.w().List1, 1, QStringLiteral("00:07"), wave);
            f.w().List1->setCurrentRow(0);
            f.statuses.clear();
            f.w().Convert_Click();

            const QString mp3 = wave.left(wave.size() - 3) + QStringLiteral("mp3");
            QVERIFY2(QFileInfo::exists(mp3), qPrintable(mp3));
            // Same length within one MP3 frame (1152 samples).
            QVERIFY2(std::abs(duration(mp3) - duration(wave)) <= 1152.0 / rate + 0.001,
                     qPrintable(QStringLiteral("%1 vs %2").arg(duration(mp3)).arg(duration(wave))));
            QCOMPARE(f.w().List1->count(), 2);
            QCOMPARE(f.w().List1->item(1)->text(), QStringLiteral("02     00:07     ") + mp3);
            QCOMPARE(f.w().NextItemNumber, int16_t(3));
            const QRegularExpression progress(QStringLiteral("^Encoding in progress\\.\\.\\.  Status=(  \\d| \\d\\d|\\d\\d\\d?)%$"));
            QVERIFY2(!f.statuses.filter(progress).isEmpty(), qPrintable(f.statuses.join(u'|')));
            QCOMPARE(f.w().Text1->text(), QStringLiteral("Finish Converting"));
            QCOMPARE(f.w().statusColour(), kRed);
            QVERIFY(f.w().SkinButton1->isEnabled());
        }
    }

    void commandLineProgressAndOptions()
    {
        Fixture f;
        f.standInEncoder();
        const QString wave = f.path(QStringLiteral("a.wav"));
        writeTextFile(wave, "RIFF");
        recordings_list::append(*f.w().List1, 1, QStringLiteral("00:07"), wave);
        f.w().List1->setCurrentRow(0);
        f.w().Convert_Click();
        const QString encoder = f.paths.programFile(QStringLiteral("lame"));
        QCOMPARE(f.w().objDOS->Commandline(),
                 u'"' + encoder + QStringLiteral("\" -b 128 -m j ") + wave + u' ' + f.path(QStringLiteral("a.mp3")));
        QCOMPARE(f.standInArguments(), QStringList({"-b", "128", "-m", "j", wave, f.path(QStringLiteral("a.mp3"))}));
        QVERIFY(f.statuses.contains(QStringLiteral("Encoding in progress...  Status= 9%")));
        QVERIFY(f.statuses.contains(QStringLiteral("Encoding in progress...  Status=42%")));
        QVERIFY(f.statuses.contains(QStringLiteral("Encoding in progress...  Status=100%")));

        // Options chosen in "MP3 Options" take effect with Ok, for the next conversion.
        f.w().mp3otion_Click();
        QVERIFY(f.w().mp3Options());
        f.w().mp3Options()->Combo1->setCurrentIndex(13); // 320
        f.w().mp3Options()->Combo1_Click();
        f.w().mp3Options()->Combo2->setCurrentIndex(2); // mono
        f.w().mp3Options()->Combo2_Click();
        f.w().mp3Options()->Combo3->setCurrentIndex(2); // Quality
        f.w().mp3Options()->Combo3_Click();
        f.w().mp3Options()->SkinButton1_Click();
        QVERIFY(!f.w().mp3Options());
        QCOMPARE(f.state.LameOptions, QStringLiteral(" -b 320 -m m -h"));
        f.w().List1->setCurrentRow(0);
        f.w().Convert_Click();
        QCOMPARE(f.standInArguments(), QStringList({"-b", "320", "-m", "m", "-h", wave, f.path(QStringLiteral("a.mp3"))}));
    }

    void anMp3ItemIsNotConvertedOntoItself()
    {
        Fixture f;
        f.standInEncoder();
        const QString mp3 = f.path(QStringLiteral("song.mp3"));
        writeTextFile(mp3, "ID3 original");
        recordings_list::append(*f.w().List1, 1, QStringLiteral("00:07"), mp3);
        f.w().List1->setCurrentRow(0);
        f.w().Convert_Click();
        QCOMPARE(readTextFile(mp3), QByteArray("ID3 original"));
        QVERIFY(f.standInArguments().isEmpty());
        QCOMPARE(f.w().List1->count(), 1);
        QVERIFY(f.w().Text1->text().contains(QStringLiteral("already an MP3")));
        QCOMPARE(f.w().statusColour(), kRed);
        QVERIFY(f.w().SkinButton1->isEnabled());
    }

    void wavToMp3ThroughTheDialog()
    {
        Fixture f;
        f.standInEncoder();
        const QString wave = f.path(QStringLiteral("my recordings/chosen one.wav"));
        writeTextFile(wave, "RIFF");
        f.fakes.dialogs->answers = QStringList({wave});
        f.w().Wavtomp3_Click();
        QCOMPARE(f.fakes.dialogs->asked, QStringList({"open|Wave Files(*.wav)|*.wav"}));
        QCOMPARE(f.standInArguments(), QStringList({"-b", "128", "-m", "j", wave, wave.left(wave.size() - 3) + "mp3"}));
        QCOMPARE(f.w().List1->count(), 0);
        QCOMPARE(f.w().Text1->text(), QStringLiteral("Finish Converting"));

        // Cancelled: status, list and Record stay as they were.
        QFile::remove(f.paths.programFile(QStringLiteral("arguments")));
        f.w().setStatus(QStringLiteral("before"));
        f.w().Wavtomp3_Click();
        QCOMPARE(f.w().Text1->text(), QStringLiteral("before"));
        QVERIFY(f.standInArguments().isEmpty());
        QVERIFY(f.w().SkinButton1->isEnabled());

        // A file that no longer exists has no canonical path: nothing runs, the status line is empty.
        f.fakes.dialogs->answers = QStringList({f.path(QStringLiteral("gone.wav"))});
        f.w().Wavtomp3_Click();
        QCOMPARE(f.w().Text1->text(), QString());
        QVERIFY(f.standInArguments().isEmpty());
    }

    void convertOnCompletionListsBothFiles()
    {
        Fixture f;
        const QString recording = f.path(QStringLiteral("source.wav"));
        QVERIFY(makeWave(recording, 22050, 2, 16, 3.0));
        f.fakes.capture->recordingOnStop = recording;
        f.state.ConvertOnCompletion = 1;
        f.w().SkinButton1_Click();
        for (int i = 0; i < 4; ++i)
            f.w().Timer2_Timer();
        f.w().SkinButton2_Click();
        const QString wave = QFileInfo(f.path(QStringLiteral("my recordings/take one.wav"))).canonicalFilePath();
        const QString mp3 = wave.left(wave.size() - 3) + QStringLiteral("mp3");
        QCOMPARE(f.w().List1->count(), 2);
        QCOMPARE(f.w().List1->item(0)->text(), QStringLiteral("01     00:03     ") + wave);
        QCOMPARE(f.w().List1->item(1)->text(), QStringLiteral("02     00:03     ") + mp3);
        QVERIFY(QFileInfo::exists(mp3));
        QVERIFY(std::abs(duration(mp3) - 3.0) <= 1152.0 / 22050 + 0.001);
        QCOMPARE(f.w().Text1->text(), QStringLiteral("Recording is over,Wave file has saved in appointed path"));
        QVERIFY(f.w().SkinButton1->isEnabled());
    }

    void noEncoderAnywhere()
    {
        Fixture f;
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", f.dir.path().toUtf8());
        const QString wave = f.path(QStringLiteral("a.wav"));
        writeTextFile(wave, "RIFF");
        recordings_list::append(*f.w().List1, 1, QStringLiteral("00:01"), wave);
        f.w().List1->setCurrentRow(0);
        f.w().Convert_Click();
        f.w().List1->setCurrentRow(0);
        f.w().Convert_Click();
        qputenv("PATH", path);
        QCOMPARE(f.fakes.dialogs->messages, QStringList({"File or command not found", "File or command not found"}));
        QVERIFY(f.w().SkinButton1->isEnabled());
        QCOMPARE(f.w().statusColour(), kRed);
        QCOMPARE(f.w().List1->count(), 3); // the MP3 items are listed all the same
    }
};

QTEST_MAIN(TestConversion)
#include "test_conversion.moc"
