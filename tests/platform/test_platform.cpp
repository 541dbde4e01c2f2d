#include "platform/app_paths.h"
#include "platform/command_line.h"
#include "platform/dialogs.h"
#include "platform/ini_file.h"
#include "platform/number_format.h"
#include "tests/fakes/test_support.h"

#include <QDir>
#include <QLocale>
#include <QTemporaryDir>
#include <QtTest>

class TestPlatform : public QObject {
    Q_OBJECT
private slots:
    void iniReadsLikeTheProfileFunctions()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Config.ini"));
        writeTextFile(path, "; comment\r\n"
                            "Channels=7\r\n"
                            "[Other]\r\n"
                            "Channels=5\r\n"
                            "[config]\r\n"
                            "  recording SOURCE =  3  \r\n"
                            "Channels=12abc\r\n"
                            "channels=1\r\n"
                            "BitsPerSample=-16\r\n"
                            "SamplesPerSec=+22050 Hz\r\n"
                            "Empty=\r\n"
                            "Huge=99999999999999\r\n"
                            "Negative huge=-99999999999999\r\n"
                            "Save Position=  \"/tmp/a b.wav\"  \r\n"
                            "Plain=/music/x y.wav\r\n");
        const IniFile ini(path, QStringLiteral("Config"));
        QCOMPARE(ini.readInt(QStringLiteral("Recording Source"), -1), 3);
        QCOMPARE(ini.readInt(QStringLiteral("Channels"), 0), 12); // first of the duplicates, leading digits
        QCOMPARE(ini.readInt(QStringLiteral("BitsPerSample"), 0), -16);
        QCOMPARE(ini.readInt(QStringLiteral("SamplesPerSec"), 0), 22050);
        QCOMPARE(ini.readInt(QStringLiteral("Empty"), 42), 0); // present: no default
        QCOMPARE(ini.readInt(QStringLiteral("Missing"), 42), 42);
        QCOMPARE(ini.readInt(QStringLiteral("Huge"), 0), 2147483647);
        QCOMPARE(ini.readInt(QStringLiteral("Negative huge"), 0), -2147483647 - 1);
        QCOMPARE(ini.readString(QStringLiteral("save position"), QStringLiteral("Default")),
                 QStringLiteral("/tmp/a b.wav"));
        QCOMPARE(ini.readString(QStringLiteral("Plain"), QString()), QStringLiteral("/music/x y.wav"));
        QCOMPARE(ini.readString(QStringLiteral("Nothing"), QStringLiteral("Default")), QStringLiteral("Default"));
        QCOMPARE(IniFile(path, QStringLiteral("Missing")).readInt(QStringLiteral("Channels"), 9), 9);
    }

    void iniWritesOneKeyAndKeepsTheRest()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Config.ini"));
        const IniFile ini(path, QStringLiteral("Config"));

        // The first write creates file and section.
        QVERIFY(ini.write(QStringLiteral("Recording Volume"), QStringLiteral("-5")));
        QCOMPARE(readTextFile(path), QByteArray("[Config]\nRecording Volume=-5\n"));
        QVERIFY(ini.write(QStringLiteral("Channels"), QStringLiteral("2")));
        QVERIFY(ini.write(QStringLiteral("recording volume"), QStringLiteral("100")));
        QCOMPARE(readTextFile(path), QByteArray("[Config]\nrecording volume=100\nChannels=2\n"));

        // Other sections, comments and line endings survive; the key lands in our section.
        writeTextFile(path, "; mine\r\n[Config]\r\nChannels=1\r\nChannels=8\r\n\r\n[Other]\r\nChannels=3\r\n");
        QVERIFY(ini.write(QStringLiteral("CHANNELS"), QStringLiteral("2")));
        QVERIFY(ini.write(QStringLiteral("SamplesPerSec"), QStringLiteral("44100")));
        QCOMPARE(readTextFile(path),
                 QByteArray("; mine\r\n[Config]\r\nCHANNELS=2\r\nChannels=8\r\nSamplesPerSec=44100\r\n"
                            "\r\n[Other]\r\nChannels=3\r\n"));
        QCOMPARE(ini.readInt(QStringLiteral("channels"), 0), 2);

        // Keys before any section header belong to no section.
        writeTextFile(path, "Channels=1\n");
        QCOMPARE(ini.readInt(QStringLiteral("Channels"), -7), -7);
        QVERIFY(ini.write(QStringLiteral("Channels"), QStringLiteral("2")));
        QCOMPARE(readTextFile(path), QByteArray("Channels=1\n[Config]\nChannels=2\n"));

        // No temporary file is left behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"Config.ini"}));
    }

    void iniSurvivesBadFiles()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Config.ini"));
        const IniFile ini(path, QStringLiteral("Config"));

        writeTextFile(path, QByteArray());
        QCOMPARE(ini.readInt(QStringLiteral("Channels"), 4), 4);
        QCOMPARE(ini.readString(QStringLiteral("Save Position"), QStringLiteral("Default")), QStringLiteral("Default"));

        QByteArray binary;
        for (int i = 0; i < 4096; ++i)
            binary.append(char((i * 7919) & 0xff));
        binary.append("\n[Config]\nChannels=2\n");
        writeTextFile(path, binary);
        QCOMPARE(ini.readInt(QStringLiteral("Channels"), 0), 2);
        QVERIFY(ini.write(QStringLiteral("Recording Volume"), QStringLiteral("7")));
        QVERIFY(readTextFile(path).startsWith(binary.left(4096)));
        QCOMPARE(ini.readInt(QStringLiteral("Recording Volume"), 0), 7);

        QByteArray big(10 * 1024 * 1024, 'x');
        big.append("\n[Config]\nChannels=1\n");
        writeTextFile(path, big);
        QCOMPARE(ini.readInt(QStringLiteral("Channels"), 0), 1);

        // A folder that cannot hold the file: the write fails and nothing crashes.
        const IniFile nowhere(dir.filePath(QStringLiteral("no/such/folder/Config.ini")), QStringLiteral("Config"));
        QVERIFY(!nowhere.write(QStringLiteral("Channels"), QStringLiteral("2")));
        writeTextFile(dir.filePath(QStringLiteral("file")), "x");
        const IniFile underFile(dir.filePath(QStringLiteral("file/Config.ini")), QStringLiteral("Config"));
        QVERIFY(!underFile.write(QStringLiteral("Channels"), QStringLiteral("2")));
        QCOMPARE(underFile.readInt(QStringLiteral("Channels"), 3), 3);
        // A folder where the file should be.
        QDir().mkpath(dir.filePath(QStringLiteral("dirini")));
        const IniFile folder(dir.filePath(QStringLiteral("dirini")), QStringLiteral("Config"));
        QVERIFY(!folder.write(QStringLiteral("Channels"), QStringLiteral("2")));
        QCOMPARE(folder.readInt(QStringLiteral("Channels"), 3), 3);
    }

    void profileIntegers()
    {
        QCOMPARE(parseProfileInt(QStringLiteral("  42")), 42);
        QCOMPARE(parseProfileInt(QStringLiteral("-0")), 0);
        QCOMPARE(parseProfileInt(QStringLiteral("abc")), 0);
        QCOMPARE(parseProfileInt(QStringLiteral("- 5")), 0);
        QCOMPARE(parseProfileInt(QStringLiteral("2147483647")), 2147483647);
        QCOMPARE(parseProfileInt(QStringLiteral("2147483648")), 2147483647);
        QCOMPARE(parseProfileInt(QStringLiteral("-2147483648")), -2147483647 - 1);
        QCOMPARE(parseProfileInt(QStringLiteral("3.9")), 3);
    }

    void commandLine()
    {
        auto parse = [](QStringList args) {
            args.prepend(QStringLiteral("trelvik"));
            return parseCommandLine(args);
        };
        QCOMPARE(parse({}).action, CommandLine::Action::Run);
        QCOMPARE(parse({"--help"}).action, CommandLine::Action::Help);
        QCOMPARE(parse({"--home", "/x", "--version"}).action, CommandLine::Action::Version);
        QCOMPARE(parse({"--home", "/x y"}).home, QStringLiteral("/x y"));
        QCOMPARE(parse({"--home=/z"}).home, QStringLiteral("/z"));
        QCOMPARE(parse({"--home"}).action, CommandLine::Action::Error);
        QCOMPARE(parse({"--home="}).action, CommandLine::Action::Error);
        QCOMPARE(parse({"-platform", "offscreen"}).rest, QStringList({"-platform", "offscreen"}));
        // Commands for the running program, chained with "+"; anything else is an error.
        QCOMPARE(parse({"--command", "stop+show"}).action, CommandLine::Action::Command);
        QCOMPARE(parse({"--command", "stop+show"}).commands, QStringList({"stop", "show"}));
        QCOMPARE(parse({"--command=status"}).commands, QStringList({"status"}));
        QCOMPARE(parse({"--command"}).action, CommandLine::Action::Error);
        QCOMPARE(parse({"--command", "stop+"}).action, CommandLine::Action::Error);
        QCOMPARE(parse({"--command", "Record"}).action, CommandLine::Action::Error);
        QVERIFY(parse({"--command", "dance"}).message.contains(QStringLiteral("dance")));
        // The timer's words in a row travel as one command; a "+" before a digit is a time's offset.
        QCOMPARE(parse({"--command", "show+record-at:2026-12-24T21:30+01:00+stop-after:90m+status"}).commands,
                 QStringList({"show", "timer:record-at:2026-12-24T21:30+01:00+stop-after:90m", "status"}));
        QCOMPARE(parse({"--command", "cancel-timer"}).commands, QStringList({"timer:cancel-timer"}));
        QCOMPARE(parse({"--command", "record-at:"}).action, CommandLine::Action::Error);
        QCOMPARE(parse({"--command", "record-at:9+stop-soon:1m"}).action, CommandLine::Action::Error);

        QTemporaryDir dir;
        const QString nested = dir.filePath(QStringLiteral("a/b c/d"));
        QVERIFY(prepareHomeFolder(nested).isEmpty());
        QVERIFY(QFileInfo(nested).isDir());
        writeTextFile(dir.filePath(QStringLiteral("plain")), "x");
        QVERIFY(!prepareHomeFolder(dir.filePath(QStringLiteral("plain"))).isEmpty());
        QVERIFY(!prepareHomeFolder(dir.filePath(QStringLiteral("plain/sub"))).isEmpty());
    }

    void foldersOfPortableAndInstalledPrograms()
    {
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath(QStringLiteral("portable/skin")));
        const AppPaths portable = AppPaths::forExecutable(dir.filePath(QStringLiteral("portable")));
        QCOMPARE(portable.programFolder(), dir.filePath(QStringLiteral("portable")));
        QCOMPARE(portable.configFile(), dir.filePath(QStringLiteral("portable/Config.ini")));
        QCOMPARE(portable.defaultRecording(), dir.filePath(QStringLiteral("portable/Brel.wav")));
        QCOMPARE(portable.programFile(QStringLiteral("skin/green.skn")),
                 dir.filePath(QStringLiteral("portable/skin/green.skn")));

        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("cfg")).toUtf8());
        QDir().mkpath(dir.filePath(QStringLiteral("prefix/bin")));
        const AppPaths installed = AppPaths::forExecutable(dir.filePath(QStringLiteral("prefix/bin")));
        QCOMPARE(installed.programFolder(), dir.filePath(QStringLiteral("prefix/share/trelvik")));
        QCOMPARE(installed.configFile(), dir.filePath(QStringLiteral("cfg/Trelvik/Config.ini")));
        QVERIFY(!installed.defaultRecording().startsWith(dir.filePath(QStringLiteral("prefix"))));

        const AppPaths home =
            AppPaths::forExecutable(dir.filePath(QStringLiteral("prefix/bin")), dir.filePath(QStringLiteral("h")));
        QCOMPARE(home.programFolder(), dir.filePath(QStringLiteral("prefix/share/trelvik")));
        QCOMPARE(home.configFile(), dir.filePath(QStringLiteral("h/Config.ini")));
        QCOMPARE(home.defaultRecording(), dir.filePath(QStringLiteral("h/Brel.wav")));
    }

    void canonicalPathOfExistingFilesOnly()
    {
        QTemporaryDir dir;
        writeTextFile(dir.filePath(QStringLiteral("Take One.WAV")), "x");
        const QString through = dir.path() + QStringLiteral("/./sub/../Take One.WAV");
        QDir().mkpath(dir.filePath(QStringLiteral("sub")));
        QCOMPARE(canonicalPath(through), QFileInfo(dir.filePath(QStringLiteral("Take One.WAV"))).canonicalFilePath());
        QVERIFY(canonicalPath(through).endsWith(QStringLiteral("/Take One.WAV"))); // case kept
        QCOMPARE(canonicalPath(dir.filePath(QStringLiteral("missing.wav"))), QString());
        QCOMPARE(canonicalPath(QString()), QString());
    }

    void fileFiltersInQtForm()
    {
        QCOMPARE(qtFileFilter(QStringLiteral("Wave Files(*.wav)|*.wav")), QStringLiteral("Wave Files(*.wav) (*.wav)"));
        QCOMPARE(qtFileFilter(QStringLiteral("A|*.a;*.b|B|*.c")), QStringLiteral("A (*.a *.b);;B (*.c)"));
    }

    void numbersInTheUsersLocale()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(formatFixed3(5.0468), QStringLiteral("5,047"));
        QCOMPARE(formatFixed3(12345.5), QStringLiteral("12345,500"));
        QCOMPARE(parseLocaleNumber(QStringLiteral("5,047")), 5.047);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(formatFixed3(0.0), QStringLiteral("0.000"));
        QCOMPARE(formatFixed3(12345.5), QStringLiteral("12345.500"));
        QCOMPARE(parseLocaleNumber(QStringLiteral("0.084")), 0.084);
        QCOMPARE(parseLocaleNumber(QStringLiteral("nonsense")), 0.0);
        QCOMPARE(formatTwoDigits(1), QStringLiteral("01"));
        QCOMPARE(formatTwoDigits(100), QStringLiteral("100"));
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
