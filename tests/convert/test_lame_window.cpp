#include "convert/encoder_options.h"
#include "convert/lame_window.h"
#include "tests/fakes/test_support.h"

#include <QAccessible>
#include <QComboBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Fixture {
    QTemporaryDir dir;
    AppPaths paths;
    QString lameOptions = QString::fromLatin1(encoder_options::kDefault);
    Fixture() : paths(AppPaths::inFolder(makeProgramFolder(dir.path()))) {}
};

// Picks an item with the keyboard, as a user who tabbed to the box does: every arrow press is a pick.
void pick(QComboBox* combo, const QString& item)
{
    const int index = combo->findText(item);
    QVERIFY2(index >= 0, qPrintable(item));
    combo->setFocus();
    while (combo->currentIndex() < index)
        QTest::keyClick(combo, Qt::Key_Down);
    while (combo->currentIndex() > index)
        QTest::keyClick(combo, Qt::Key_Up);
}

void press(QAbstractButton* button)
{
    QTest::keyClick(button, Qt::Key_Space);
}

// The next control that Tab reaches.
QWidget* nextByTab(QWidget* widget)
{
    QWidget* next = widget->nextInFocusChain();
    while (next != widget && !(next->focusPolicy() & Qt::TabFocus))
        next = next->nextInFocusChain();
    return next;
}

QStringList items(const QComboBox* combo)
{
    QStringList list;
    for (int i = 0; i < combo->count(); ++i)
        list.append(combo->itemText(i));
    return list;
}

} // namespace

class TestLameWindow : public QObject {
    Q_OBJECT
private slots:
    void opensWithTheDesignedControlsAndGreenSkin()
    {
        Fixture f;
        lame window(f.paths, f.lameOptions);
        QCOMPARE(window.windowTitle(), QStringLiteral("MP3 Options"));
        QCOMPARE(window.SkinLabel1->text(), QStringLiteral("Bitrate (Kbit):"));
        QCOMPARE(window.SkinLabel2->text(), QStringLiteral("Mode:"));
        QCOMPARE(window.SkinLabel5->text(), QStringLiteral("Optimization:"));
        QCOMPARE(window.SkinLabel3->text(), QStringLiteral("Current Lame Options:"));
        QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 128 -m j"));
        QCOMPARE(window.SkinButton1->text(), QStringLiteral("Ok"));
        QCOMPARE(window.SkinButton2->text(), QStringLiteral("Cancel"));
        QCOMPARE(items(window.Combo1), (QStringList{"32", "40", "48", "56", "64", "80", "96", "112", "128", "160",
                                                    "192", "224", "256", "320"}));
        QCOMPARE(items(window.Combo2), (QStringList{"stereo", "joint stereo", "mono"}));
        QCOMPARE(items(window.Combo3), (QStringList{"None", "Speed", "Quality"}));
        QCOMPARE(window.Combo1->currentText(), QStringLiteral("128"));
        QCOMPARE(window.Combo2->currentText(), QStringLiteral("joint stereo"));
        QCOMPARE(window.Combo3->currentText(), QStringLiteral("None"));
        QVERIFY(!window.Combo1->isEditable() && !window.Combo2->isEditable() && !window.Combo3->isEditable());

        // Always the green skin, on the window and its seven skinned controls.
        const QString green = QString::fromUtf8(readTextFile(f.paths.programFile(QStringLiteral("skin/green.skn"))));
        QVERIFY(!green.isEmpty());
        QCOMPARE(window.SkinForm1.skinFile(), f.paths.programFile(QStringLiteral("skin/green.skn")));
        QCOMPARE(window.styleSheet(), green);
        for (QWidget* control : {static_cast<QWidget*>(window.SkinLabel1), static_cast<QWidget*>(window.SkinLabel2),
                                 static_cast<QWidget*>(window.SkinLabel3), static_cast<QWidget*>(window.SkinLabel4),
                                 static_cast<QWidget*>(window.SkinLabel5), static_cast<QWidget*>(window.SkinButton1),
                                 static_cast<QWidget*>(window.SkinButton2)})
            QCOMPARE(control->styleSheet(), green);

        // The captions name their boxes, for the keyboard and for screen readers.
        QCOMPARE(window.SkinLabel1->buddy(), window.Combo1);
        QCOMPARE(window.Combo2->accessibleName(), QStringLiteral("Mode"));
        // A screen reader reads the options shown; what they are is the label's description.
        QCOMPARE(window.SkinLabel4->accessibleDescription(), QStringLiteral("Current Lame Options"));
        QAccessibleInterface* options = QAccessible::queryAccessibleInterface(window.SkinLabel4);
        QVERIFY(options);
        QCOMPARE(options->text(QAccessible::Name), QStringLiteral(" -b 128 -m j"));
        // Tab goes through the boxes to the buttons.
        QCOMPARE(nextByTab(window.Combo1), window.Combo2);
        QCOMPARE(nextByTab(window.Combo2), window.Combo3);
        QCOMPARE(nextByTab(window.Combo3), window.SkinButton1);
        QCOMPARE(nextByTab(window.SkinButton1), window.SkinButton2);
    }

    void okTakesTheLabelsString()
    {
        Fixture f;
        {
            // Ok at once: unchanged.
            lame window(f.paths, f.lameOptions);
            QSignalSpy unload(&window, &lame::unloadRequested);
            press(window.SkinButton1);
            QCOMPARE(unload.count(), 1);
            QCOMPARE(f.lameOptions, QStringLiteral(" -b 128 -m j"));
        }
        {
            lame window(f.paths, f.lameOptions);
            pick(window.Combo3, QStringLiteral("Quality"));
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 128 -m j -h"));
            QCOMPARE(f.lameOptions, QStringLiteral(" -b 128 -m j"));
            press(window.SkinButton1);
            QCOMPARE(f.lameOptions, QStringLiteral(" -b 128 -m j -h"));
        }
        {
            // Each pick updates the label at once; "None" after "Speed" drops the suffix.
            lame window(f.paths, f.lameOptions);
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 128 -m j -h"));
            pick(window.Combo1, QStringLiteral("320"));
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 320 -m j"));
            pick(window.Combo2, QStringLiteral("mono"));
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 320 -m m"));
            pick(window.Combo3, QStringLiteral("Speed"));
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 320 -m m -f"));
            pick(window.Combo2, QStringLiteral("stereo"));
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 320 -m s -f"));
            pick(window.Combo3, QStringLiteral("None"));
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 320 -m s"));
            pick(window.Combo2, QStringLiteral("mono"));
            press(window.SkinButton1);
            QCOMPARE(f.lameOptions, QStringLiteral(" -b 320 -m m"));
        }
        {
            // Reopened: the label shows the stored string while the boxes are at their designed
            // texts; the first pick builds the string from all three boxes.
            lame window(f.paths, f.lameOptions);
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 320 -m m"));
            QCOMPARE(window.Combo1->currentText(), QStringLiteral("128"));
            QCOMPARE(window.Combo2->currentText(), QStringLiteral("joint stereo"));
            QCOMPARE(window.Combo3->currentText(), QStringLiteral("None"));
            pick(window.Combo3, QStringLiteral("Speed"));
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 128 -m j -f"));
        }
    }

    void cancelAndCloseBoxKeepTheOptions()
    {
        Fixture f;
        {
            lame window(f.paths, f.lameOptions);
            QSignalSpy unload(&window, &lame::unloadRequested);
            pick(window.Combo1, QStringLiteral("64"));
            pick(window.Combo3, QStringLiteral("Quality"));
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 64 -m j -h"));
            press(window.SkinButton2);
            QCOMPARE(unload.count(), 1);
            QCOMPARE(f.lameOptions, QStringLiteral(" -b 128 -m j"));
        }
        {
            lame window(f.paths, f.lameOptions);
            QCOMPARE(window.SkinLabel4->text(), QStringLiteral(" -b 128 -m j"));
            QCOMPARE(window.Combo1->currentText(), QStringLiteral("128"));
            QCOMPARE(window.Combo3->currentText(), QStringLiteral("None"));
            QSignalSpy unload(&window, &lame::unloadRequested);
            window.show();
            pick(window.Combo2, QStringLiteral("mono"));
            window.close();
            QCOMPARE(unload.count(), 1);
            QCOMPARE(f.lameOptions, QStringLiteral(" -b 128 -m j"));
        }
    }
};

QTEST_MAIN(TestLameWindow)
#include "test_lame_window.moc"
