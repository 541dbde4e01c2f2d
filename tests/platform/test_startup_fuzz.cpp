// The program's start-up over the generated settings files: the main window loads each one (over
// fakes for sound and desktop) and is closed again. Loading never crashes and never hangs, and
// leaves Config.ini byte for byte as it was; the only key the program writes, when the window
// closes, is the recording level, and then every other line of the file stays.

#include "app/form1.h"
#include "tests/fakes/window_fixture.h"
#include "tests/platform/ini_fuzz_cases.h"

#include <QElapsedTimer>
#include <QScrollBar>
#include <QtTest>

using namespace ini_fuzz;

namespace {

QtMessageHandler g_previousHandler = nullptr;

// The offscreen platform warns once for every window it shows; thousands of those say nothing.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QLatin1String("does not support propagateSizeHints")))
        return;
    g_previousHandler(type, context, message);
}

} // namespace

class TestStartupFuzz : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { g_previousHandler = qInstallMessageHandler(quietHandler); }

    void startingLeavesTheFileAloneUntilTheProgramWritesAKey()
    {
        const std::vector<Generated> files = generate();
        QVERIFY(files.size() > 2000);
        int unchanged = 0, levelWritten = 0;
        qint64 slowest = 0;
        QString slowestWhat;
        for (size_t i = 0; i < files.size(); ++i) {
            const Generated& file = files[i];
            const QString what = describe(file, i);
            WindowFixture f;
            const QString path = f.paths.configFile();
            QVERIFY2(writeBytes(path, file.data), qPrintable(what));

            QElapsedTimer timer;
            timer.start();
            Form1& w = f.load();
            QCoreApplication::processEvents();
            const qint64 took = timer.elapsed();
            QVERIFY2(took < kHangGuardMs, qPrintable(QStringLiteral("%1: start-up took %2 ms").arg(what).arg(took)));
            if (took > slowest) {
                slowest = took;
                slowestWhat = what;
            }
            QVERIFY2(w.isVisible() && !w.wizard(), qPrintable(what + QStringLiteral(": no main window")));
            QVERIFY2(readBytes(path) == file.data, qPrintable(what + QStringLiteral(": starting changed the file")));

            const QByteArray level = QByteArray::number(f.slider()->value());
            timer.restart();
            w.close();
            QCoreApplication::processEvents();
            QVERIFY2(timer.elapsed() < kHangGuardMs,
                     qPrintable(QStringLiteral("%1: closing took %2 ms").arg(what).arg(timer.elapsed())));
            const QByteArray after = readBytes(path);
            if (after == file.data) {
                ++unchanged;
                continue;
            }
            // The level's line replaced or added, with the section when there was none.
            const QByteArray keyText = "Recording Volume=" + level;
            QString how;
            const int at =
                oneEndingThroughout(file.data)
                    ? onlyKeyLineChanged(linesWithEndings(file.data), linesWithEndings(after),
                                         keyText + (file.data.contains("\r\n") ? "\r\n" : "\n"),
                                         "[Config]" + QByteArray(file.data.contains("\r\n") ? "\r\n" : "\n"), &how)
                    : onlyKeyLineChanged(lineTexts(file.data), lineTexts(after), keyText, "[Config]", &how);
            QVERIFY2(at >= 0, qPrintable(what + QStringLiteral(": closing changed more than the level's line")));
            ++levelWritten;
        }
        qInfo("slowest start-up: %s, %lld ms", qPrintable(slowestWhat), slowest);
        // Both ways occur: a level the file held already, and one the program wrote.
        QVERIFY2(unchanged > 10 && levelWritten > 1000,
                 qPrintable(QStringLiteral("unchanged %1, level written %2").arg(unchanged).arg(levelWritten)));
    }
};

QTEST_MAIN(TestStartupFuzz)
#include "test_startup_fuzz.moc"
