#include "platform/desktop.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/ui/standin.h"
#include "ui/aboutme.h"
#include "ui/form3.h"
#include "ui/icon.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

// A control drawn at its twips position: left, top and height as drawn, never narrower than drawn,
// and wide enough for its whole text in the serif font found here.
void checkPlaced(const QWidget* control, const QRect& drawn)
{
    const QRect actual = control->geometry();
    QCOMPARE(actual.topLeft(), drawn.topLeft());
    QCOMPARE(actual.height(), drawn.height());
    QVERIFY(actual.width() >= drawn.width());
    QVERIFY2(control->sizeHint().width() <= actual.width(), qPrintable(control->objectName()));
    QVERIFY(control->parentWidget()->rect().contains(actual));
}

QColor colourOf(const QLabel* label)
{
    return label->palette().color(QPalette::WindowText);
}

// Restores an environment variable when the test ends.
class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, const QByteArray& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name))
    {
        m_old = qgetenv(name);
        qputenv(name, value);
    }
    ~EnvironmentVariable() { m_had ? qputenv(m_name, m_old) : qunsetenv(m_name); }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};
} // namespace

class TestLocationAbout : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv(Form3::kPlayerVariable); }

    void locationWindowLayout()
    {
        FakeDesktop desktop;
        Form3 form(desktop);
        QCOMPARE(form.windowTitle(), QStringLiteral("Location"));
        QCOMPARE(form.font().family(), QStringLiteral("Times New Roman"));
        QCOMPARE(form.Label1->text(), QStringLiteral("Enter an Internet location to open here:"));
        QVERIFY(form.Label2->text().startsWith(QStringLiteral("For Example: http://www.example.com/")));
        QVERIFY(form.Label2->text().endsWith(QStringLiteral(".mp3")));
        QVERIFY(form.Text1->text().isEmpty());
        QCOMPARE(form.Command1->text(), QStringLiteral("Open"));
        QCOMPARE(form.Command2->text(), QStringLiteral("Cancel"));
        // Twips at 15 a pixel.
        checkPlaced(form.Label1, QRect(16, 8, 257, 17));
        checkPlaced(form.Label2, QRect(16, 32, 273, 17));
        QCOMPARE(form.Text1->geometry(), QRect(16, 56, 265, 19));
        QCOMPARE(form.Command1->geometry(), QRect(16, 80, 65, 25));
        QCOMPARE(form.Command2->geometry(), QRect(96, 80, 65, 25));
        QVERIFY(form.rect().contains(form.Command2->geometry()));
        // Tab order follows the controls from top to bottom; neither button answers Enter or Escape.
        QCOMPARE(form.Text1->nextInFocusChain(), form.Command1);
        QCOMPARE(form.Command1->nextInFocusChain(), form.Command2);
        QVERIFY(!form.Command1->isDefault() && !form.Command1->autoDefault());
        QVERIFY(!form.Command2->isDefault() && !form.Command2->autoDefault());
    }

    void openHandsTheTextToTheDesktop_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("calls");
        // Without a player of the user's choice, the desktop's opener gets the text as an unquoted
        // command line would give it: unchanged, blanks separating arguments.
        QTest::newRow("address") << QStringLiteral("http://www.example.com/radio/live.mp3")
                                 << QStringList{QStringLiteral("start|xdg-open|http://www.example.com/radio/live.mp3")};
        QTest::newRow("address without scheme") << QStringLiteral("www.example.com/a.mp3")
                                                << QStringList{QStringLiteral("start|xdg-open|www.example.com/a.mp3")};
        QTest::newRow("blanks inside") << QStringLiteral(" http://www.example.com/my song.mp3  --loop")
                                       << QStringList{QStringLiteral("start|xdg-open|http://www.example.com/my|"
                                                                     "song.mp3|--loop")};
        QTest::newRow("empty box") << QString() << QStringList{};
        // Blanks count as text: the opener is started, and gets them as no arguments at all.
        QTest::newRow("only blanks") << QStringLiteral("   ") << QStringList{QStringLiteral("start|xdg-open")};
    }
    void openHandsTheTextToTheDesktop()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, calls);
        FakeDesktop desktop;
        Form3 form(desktop);
        QSignalSpy unload(&form, &Form3::unloadRequested);
        QTest::keyClicks(form.Text1, typed);
        QTest::mouseClick(form.Command1, Qt::LeftButton);
        QCOMPARE(desktop.calls, calls);
        QCOMPARE(unload.count(), 1);
    }

    void openHandsTheTextToANamedPlayer_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("address") << QStringLiteral("http://www.example.com/a.mp3")
                                 << QStringList{QStringLiteral("http://www.example.com/a.mp3")};
        // Unquoted, as a command line: blanks separate arguments.
        QTest::newRow("blanks inside") << QStringLiteral("  http://www.example.com/my song.mp3   --loop")
                                       << QStringList{QStringLiteral("http://www.example.com/my"),
                                                      QStringLiteral("song.mp3"), QStringLiteral("--loop")};
        QTest::newRow("only blanks") << QStringLiteral("   ") << QStringList{};
    }
    void openHandsTheTextToANamedPlayer()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, arguments);
        QTemporaryDir dir;
        const StandIn player(dir.path() + QStringLiteral("/players"), QStringLiteral("player"));
        EnvironmentVariable variable(Form3::kPlayerVariable, player.program().toLocal8Bit());
        SystemDesktop desktop;
        Form3 form(desktop);
        QSignalSpy unload(&form, &Form3::unloadRequested);
        form.Text1->setText(typed);
        form.Command1_Click();
        QCOMPARE(unload.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(player.called(), 20000);
        QCOMPARE(player.arguments(), arguments);
    }

    void missingPlayerAndCancelStaySilent()
    {
        EnvironmentVariable variable(Form3::kPlayerVariable, "/nonexistent/player");
        SystemDesktop desktop;
        {
            Form3 form(desktop);
            QSignalSpy unload(&form, &Form3::unloadRequested);
            form.Text1->setText(QStringLiteral("http://www.example.com/a.mp3"));
            form.Command1_Click();
            QCOMPARE(unload.count(), 1);
        }
        FakeDesktop fake;
        Form3 form(fake);
        QSignalSpy unload(&form, &Form3::unloadRequested);
        form.Text1->setText(QStringLiteral("http://www.example.com/a.mp3"));
        QTest::mouseClick(form.Command2, Qt::LeftButton);
        QCOMPARE(unload.count(), 1);
        QVERIFY(fake.calls.isEmpty());
        // The close box unloads too.
        Form3 other(fake);
        QSignalSpy otherUnload(&other, &Form3::unloadRequested);
        other.show();
        QVERIFY(other.close());
        QCOMPARE(otherUnload.count(), 1);
        QVERIFY(fake.calls.isEmpty());
    }

    void aboutWindowLayout()
    {
        FakeDesktop desktop;
        aboutme about(desktop);
        QCOMPARE(about.windowTitle(), QStringLiteral("About Trelvik"));
        QCOMPARE(about.Label1->text(), QStringLiteral("Trelvik Ver 1. 70"));
        QVERIFY(about.Label2->text().contains(QStringLiteral("Copyright")));
        QCOMPARE(about.Label3->text(), QStringLiteral("Support Email:"));
        QCOMPARE(about.Label4->text(), QStringLiteral("help@trelvik.example"));
        QCOMPARE(about.Label5->text(), QStringLiteral("Homepage:"));
        QCOMPARE(about.Label6->text(), QStringLiteral("http://www.trelvik.example/"));
        QCOMPARE(about.Image1->geometry(), QRect(8, 16, 32, 32));
        checkPlaced(about.Label1, QRect(56, 16, 241, 17));
        checkPlaced(about.Label2, QRect(56, 40, 305, 25));
        checkPlaced(about.Label3, QRect(56, 64, 89, 17));
        checkPlaced(about.Label4, QRect(144, 64, 153, 17));
        checkPlaced(about.Label5, QRect(56, 96, 65, 17));
        checkPlaced(about.Label6, QRect(144, 96, 289, 17));
        for (const QLabel* label :
             {about.Label1, about.Label2, about.Label3, about.Label4, about.Label5, about.Label6}) {
            QCOMPARE(label->font().family(), QStringLiteral("Times New Roman"));
            QVERIFY(label->font().bold());
            const bool link = label == about.Label4 || label == about.Label6;
            QCOMPARE(label->font().pointSizeF(), link ? 11.25 : 9.75);
        }
        QVERIFY(!about.Image1->pixmap().isNull());
        QVERIFY(!trelvikIcon().isNull());
        // Every window's icon holds the small sizes only, each drawn from the same picture.
        const QIcon windowIcon = trelvikWindowIcon();
        const QImage picture = trelvikIcon().pixmap(QSize(256, 256)).toImage();
        QCOMPARE(windowIcon.availableSizes(), (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {64, 64}}));
        for (const QSize& size : windowIcon.availableSizes()) {
            const QImage image = windowIcon.pixmap(size).toImage();
            QCOMPARE(image.size(), size);
            // Each is the large picture made smaller: its opaque pixels are where the large one's are.
            const QImage large = picture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            int differing = 0;
            for (int y = 0; y < size.height(); ++y)
                for (int x = 0; x < size.width(); ++x)
                    differing += qAbs(qAlpha(image.pixel(x, y)) - qAlpha(large.pixel(x, y))) > 96;
            QVERIFY2(differing * 10 < size.width() * size.height(), qPrintable(QString::number(differing)));
        }
        // The home page is read from its link, also from a window that was never shown.
        QCOMPARE(about.homePage(), about.Label6->text());
        QVERIFY(!about.isVisible());
    }

    void linksLightUpUnderTheMouse()
    {
        FakeDesktop desktop;
        aboutme about(desktop);
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QCOMPARE(colourOf(about.Label4), kBlue);
        QCOMPARE(colourOf(about.Label6), kBlue);

        QTest::mouseMove(about.Label4);
        QTRY_COMPARE(colourOf(about.Label4), kRed);
        QCOMPARE(colourOf(about.Label6), kBlue);
        // Straight onto the other link: both red.
        QTest::mouseMove(about.Label6);
        QCOMPARE(colourOf(about.Label4), kRed);
        QCOMPARE(colourOf(about.Label6), kRed);
        // Other labels and the picture are not the background.
        for (QWidget* other :
             std::initializer_list<QWidget*>{about.Label1, about.Label2, about.Label3, about.Label5, about.Image1}) {
            QTest::mouseMove(other);
            QCOMPARE(colourOf(about.Label4), kRed);
            QCOMPARE(colourOf(about.Label6), kRed);
        }
        // The window's own background puts both to rest.
        const QPoint background(about.width() - 4, about.height() - 4);
        QCOMPARE(about.childAt(background), nullptr);
        QTest::mouseMove(&about, background);
        QCOMPARE(colourOf(about.Label4), kBlue);
        QCOMPARE(colourOf(about.Label6), kBlue);
        // Leaving the window does not put a link to rest.
        QTest::mouseMove(about.Label4);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(about.Label4, &leave);
        QCoreApplication::sendEvent(&about, &leave);
        QCOMPARE(colourOf(about.Label4), kRed);
        QVERIFY(desktop.calls.isEmpty());
    }

    void linksOpenByMouseAndKeyboard()
    {
        FakeDesktop desktop;
        aboutme about(desktop);
        QSignalSpy unload(&about, &aboutme::unloadRequested);
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QTest::mouseClick(about.Label4, Qt::LeftButton);
        QTest::mouseClick(about.Label6, Qt::LeftButton);
        QCOMPARE(desktop.urls, (QList<QUrl>{QUrl(QStringLiteral("mailto:help@trelvik.example")),
                                            QUrl(QStringLiteral("http://www.trelvik.example/"))}));
        // A right click opens nothing.
        QTest::mouseClick(about.Label6, Qt::RightButton);
        QCOMPARE(desktop.urls.size(), 2);

        desktop.urls.clear();
        // Tab goes from one link to the other.
        about.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&about));
        about.Label4->setFocus(Qt::TabFocusReason);
        QTest::keyClick(&about, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), about.Label6);
        QTest::keyClick(about.Label4, Qt::Key_Return);
        QTest::keyClick(about.Label6, Qt::Key_Space);
        QTest::keyClick(about.Label6, Qt::Key_A);
        QCOMPARE(desktop.urls, (QList<QUrl>{QUrl(QStringLiteral("mailto:help@trelvik.example")),
                                            QUrl(QStringLiteral("http://www.trelvik.example/"))}));
        QCOMPARE(unload.count(), 0);
        QVERIFY(about.close());
        QCOMPARE(unload.count(), 1);
    }
};

QTEST_MAIN(TestLocationAbout)
#include "test_location_about.moc"
