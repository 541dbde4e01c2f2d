#include "platform/desktop.h"
#include "tests/fakes/test_support.h"
#include "tests/ui/standin.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

// The desktop's opener is reached through the window system's services, which the offscreen
// platform lacks: this test needs an X display.
class TestSystemDesktop : public QObject {
    Q_OBJECT
private slots:
    void systemDesktopUsesTheDesktopOpener()
    {
        QTemporaryDir dir;
        const QString tools = dir.path() + QStringLiteral("/tools");
        const StandIn xdgOpen(tools, QStringLiteral("xdg-open"));
        PathFirst path(tools);
        const QString file = dir.path() + QStringLiteral("/my music/song #1 100%.mp3");
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        writeTextFile(file, "ID3");
        SystemDesktop desktop;

        QVERIFY(desktop.openFile(file));
        QTRY_VERIFY_WITH_TIMEOUT(xdgOpen.called(), 20000);
        QStringList args = xdgOpen.arguments();
        QCOMPARE(args.size(), 1);
        QCOMPARE(QUrl(args[0]).toLocalFile(), file);

        xdgOpen.forget();
        QVERIFY(desktop.openUrl(QUrl(QStringLiteral("mailto:help@trelvik.example"))));
        QTRY_VERIFY_WITH_TIMEOUT(xdgOpen.called(), 20000);
        QCOMPARE(xdgOpen.arguments(), QStringList{QStringLiteral("mailto:help@trelvik.example")});

        QVERIFY(!desktop.startDetached(dir.path() + QStringLiteral("/no such program"), {}));
    }
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::puts("SKIP: no X display");
        return 77;
    }
    QApplication app(argc, argv);
    TestSystemDesktop test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_system_desktop.moc"
