#include "library/mail.h"
#include "platform/app_paths.h"
#include "platform/desktop.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/fakes/test_support.h"
#include "tests/ui/standin.h"
#include "ui/aboutme.h"
#include "ui/help.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QString builtManual()
{
    return qEnvironmentVariable("TRELVIK_BIN_DIR") + QStringLiteral("/Trelvik help.html");
}

QStringList expectedMail(const QString& attachment)
{
    QStringList args{QStringLiteral("--subject"), QStringLiteral("Recording from Trelvik"), QStringLiteral("--body"),
                     QStringLiteral("Why not visit http://www.trelvik.example/ to know more ? :)")};
    if (!attachment.isEmpty())
        args << QStringLiteral("--attach") << attachment;
    return args;
}
} // namespace

class TestHandoffs : public QObject {
    Q_OBJECT
private slots:
    void mailStartsTheMailProgramWithTheRecording()
    {
        QTemporaryDir dir;
        const QString tools = dir.path() + QStringLiteral("/tools");
        const StandIn xdgEmail(tools, QStringLiteral("xdg-email"));
        PathFirst path(tools);
        // Characters that a shell or a keystroke syntax would take for commands.
        const QString folder = dir.path() + QStringLiteral("/My Recordings (2026) {new}");
        QVERIFY(QDir().mkpath(folder));
        const QString file = folder + QStringLiteral("/take 100% +^~ (1) {a}.wav");
        writeTextFile(file, "RIFF");
        SystemDesktop desktop;

        mailRecording(desktop, QLatin1String(aboutme::kHomePage), file);
        QTRY_VERIFY_WITH_TIMEOUT(xdgEmail.called(), 20000);
        QCOMPARE(xdgEmail.arguments(), expectedMail(file));

        // A file deleted since it was listed: the message opens without an attachment.
        xdgEmail.forget();
        QVERIFY(QFile::remove(file));
        mailRecording(desktop, QLatin1String(aboutme::kHomePage), file);
        QTRY_VERIFY_WITH_TIMEOUT(xdgEmail.called(), 20000);
        QCOMPARE(xdgEmail.arguments(), expectedMail(QString()));

        // A folder is not a recording.
        QCOMPARE(mailArguments(QLatin1String(aboutme::kHomePage), folder), expectedMail(QString()));
        QCOMPARE(mailArguments(QLatin1String(aboutme::kHomePage), QString()), expectedMail(QString()));
    }

    void helpOpensFromAFolderWithBlanks()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/Program Files/Trelvik 1.70");
        QVERIFY(QDir().mkpath(folder));
        const AppPaths paths = AppPaths::inFolder(folder);
        FakeDesktop desktop;

        QVERIFY(!openHelp(desktop, paths));
        QVERIFY(desktop.calls.isEmpty());

        const QString manual = folder + QStringLiteral("/Trelvik help.html");
        QVERIFY(QFile::copy(builtManual(), manual));
        QVERIFY(openHelp(desktop, paths));
        QCOMPARE(desktop.urls.size(), 1);
        QVERIFY(desktop.urls[0].isLocalFile());
        QCOMPARE(desktop.urls[0].toLocalFile(), manual);

        // A desktop that cannot show it is reported to the caller.
        desktop.result = false;
        QVERIFY(!openHelp(desktop, paths));
    }

    void manualAnswersTheUsualQuestions()
    {
        const QString text = QString::fromUtf8(readTextFile(builtManual()));
        QVERIFY2(!text.isEmpty(), "the manual is not beside the executable");
        const QStringList topics{
            // Windows and menus.
            "Sound Card Setting", "Record F9", "Pause F10", "Stop F11", "Output File", "Input&nbsp; File",
            "Location...", "Exit", "Preferences...", "Clear list", "Skin", "MP3 Options", "Wav to Mp3", "Help Topics",
            "Support Homepage", "About Trelvik", "Remove selected item", "Delete output file", "Convert wav to mp3",
            "Mail to friends", "Stop playing",
            // Hot keys, files and settings.
            "other programs no longer receive them", "lesson_1.wav", "lesson_2.wav", "never replaced", "Config.ini",
            "~/.config/Trelvik", "--home DIR", "Recording Source", "Recording Volume", "Channels", "BitsPerSample",
            "SamplesPerSec", "Save Position",
            // Troubleshooting.
            "delete\n<code>Config.ini</code>", "monitor", "Wayland", "XWayland", "Another program holds the key"};
        for (const QString& topic : topics)
            QVERIFY2(text.contains(topic), qPrintable(QStringLiteral("the manual lacks: ") + topic));
    }
};

QTEST_MAIN(TestHandoffs)
#include "test_handoffs.moc"
