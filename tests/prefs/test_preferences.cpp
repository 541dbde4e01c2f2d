#include "platform/ini_file.h"
#include "platform/number_format.h"
#include "platform/recording_format.h"
#include "prefs/preferences.h"
#include "tests/fakes/test_support.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

namespace {
struct Fixture {
    QTemporaryDir dir;
    AppPaths paths;
    SharedState state;
    QLabel mainLabel{QStringLiteral("main label")};
    Settings settings;
    Fixture() : paths(AppPaths::inFolder(makeProgramFolder(dir.path()))), settings(paths.configFile()) {}
    void config(const QByteArray& text) { writeTextFile(paths.configFile(), text); }
    QByteArray configText() const { return readTextFile(paths.configFile()); }
};

// Presses a button or box from the keyboard, as a user who tabbed to it does.
void press(QAbstractButton* button)
{
    QTest::keyClick(button, Qt::Key_Space);
}

// Presses the key on whatever has the keyboard focus, as the user does.
void keyOnFocus(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus);
    QTest::keyClick(focus, key, modifiers);
}

// Moves the spin box from the keyboard until it shows the value.
void spinTo(QSpinBox* spin, int value)
{
    spin->setFocus();
    while (spin->value() < value)
        QTest::keyClick(spin, Qt::Key_Up);
    while (spin->value() > value)
        QTest::keyClick(spin, Qt::Key_Down);
}

void pickRate(QComboBox* combo, int index)
{
    // As a user does with the keyboard: each arrow press is a pick.
    combo->setFocus();
    while (combo->currentIndex() < index)
        QTest::keyClick(combo, Qt::Key_Down);
    while (combo->currentIndex() > index)
        QTest::keyClick(combo, Qt::Key_Up);
}
} // namespace

class TestPreferences : public QObject {
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void dataRateTable_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("bits");
        QTest::addColumn<QString>("shown");
        const int rates[] = {8000, 11025, 22050, 44100};
        const char* table[4][4] = {{"0.458", "0.916", "0.916", "1.831"},
                                   {"0.631", "1.262", "1.262", "2.523"},
                                   {"1.262", "2.523", "2.523", "5.047"},
                                   {"2.523", "5.047", "5.047", "10.094"}};
        for (int r = 0; r < 4; ++r) {
            const int formats[4][2] = {{1, 8}, {1, 16}, {2, 8}, {2, 16}};
            for (int c = 0; c < 4; ++c)
                QTest::addRow("%d/%d/%d", rates[r], formats[c][0], formats[c][1])
                    << rates[r] << formats[c][0] << formats[c][1] << QString::fromLatin1(table[r][c]);
        }
        // Nothing stored (0 reads as a missing key): the setup wizard's format, 22050 Hz stereo 16 bits.
        QTest::addRow("0/0/0") << 0 << 0 << 0 << QStringLiteral("5.047");
    }

    void dataRateTable()
    {
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(int, bits);
        QFETCH(QString, shown);
        Fixture f;
        f.config(QStringLiteral("[Config]\nChannels=%1\nBitsPerSample=%2\nSamplesPerSec=%3\n")
                     .arg(channels)
                     .arg(bits)
                     .arg(rate)
                     .toLatin1());
        Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
        QCOMPARE(window.SkinPanel1->text(), shown + QStringLiteral("  MB/min"));
        QCOMPARE(window.SkinPanel1->text().size() - shown.size(), 8);
    }

    void loadShowsTheStoredFormat()
    {
        Fixture f;
        f.config("[Config]\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        f.state.ConvertOnCompletion = 1;
        Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
        QCOMPARE(window.windowTitle(), QStringLiteral("Preferences"));
        QVERIFY(window.Option2->isChecked());
        QVERIFY(window.Option4->isChecked());
        QCOMPARE(window.Combo1->currentText(), QStringLiteral("22050 Hz"));
        QCOMPARE(window.SkinPanel1->text(), QStringLiteral("5.047  MB/min"));
        QVERIFY(window.Check1->isChecked());
        QCOMPARE(window.SkinForm1.skinFile(), f.paths.programFile(QStringLiteral("skin/green.skn")));
        QStringList entries;
        for (int i = 0; i < window.Combo1->count(); ++i)
            entries.append(window.Combo1->itemText(i));
        QCOMPARE(entries, QStringList({"8000  Hz", "11025 Hz", "22050 Hz", "44100 Hz"}));
        QCOMPARE(window.Option3->text(), QStringLiteral("8  Bit"));
        QCOMPARE(window.Check1->text(), QStringLiteral("Convert recording to MP3 on completion"));
    }

    void missingAndOddValuesAreKept()
    {
        // Nothing stored: the window shows the setup wizard's format, holds it, and saves it.
        Fixture f;
        f.state.Channels = 1; // replaced by the load
        Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
        QVERIFY(window.Option2->isChecked());
        QVERIFY(window.Option4->isChecked());
        QCOMPARE(window.Combo1->currentText(), QStringLiteral("22050 Hz"));
        QCOMPARE(window.SkinPanel1->text(), QStringLiteral("5.047  MB/min"));
        QCOMPARE(f.state.Channels, 2);
        QCOMPARE(f.state.BitsPerSample, 16);
        QCOMPARE(f.state.SamplesPerSec, 22050);

        Fixture g;
        g.config("[Config]\nChannels=3\nBitsPerSample=24\nSamplesPerSec=48000\n");
        Preferences odd(g.paths, g.settings, g.state, &g.mainLabel);
        QCOMPARE(g.state.Channels, 3);
        QCOMPARE(g.state.BitsPerSample, 24);
        QCOMPARE(g.state.SamplesPerSec, 48000);
        QCOMPARE(odd.SkinPanel1->text(), QStringLiteral("24.719  MB/min"));
    }

    void choicesTakeEffectAtOnceAndOkStoresThem()
    {
        Fixture f;
        f.config("[Config]\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
        window.show();
        QSignalSpy unload(&window, &Preferences::unloadRequested);

        press(window.Option1);
        QCOMPARE(f.state.Channels, 1);
        QCOMPARE(window.SkinPanel1->text(), QStringLiteral("2.523  MB/min"));

        pickRate(window.Combo1, 0);
        press(window.Option3);
        QCOMPARE(f.state.SamplesPerSec, 8000);
        QCOMPARE(f.state.BitsPerSample, 8);
        QCOMPARE(window.SkinPanel1->text(), QStringLiteral("0.458  MB/min"));

        pickRate(window.Combo1, 3);
        press(window.Option2);
        press(window.Option4);
        QCOMPARE(window.SkinPanel1->text(), QStringLiteral("10.094  MB/min"));
        press(window.Option3);

        QCOMPARE(f.configText(), QByteArray("[Config]\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        press(window.Check1);
        QCOMPARE(f.state.ConvertOnCompletion, int16_t(0)); // only Ok takes the switch
        press(window.SkinButton1);
        QCOMPARE(f.state.ConvertOnCompletion, int16_t(1));
        QCOMPARE(f.configText(), QByteArray("[Config]\nChannels=2\nBitsPerSample=8\nSamplesPerSec=44100\n"));
        QCOMPARE(f.mainLabel.text(), QStringLiteral("44100  Hz   8  Bit"));
        QCOMPARE(unload.count(), 1);
    }

    void saveAsIsStoredByItsTextAndReadBack()
    {
        Fixture f;
        f.config("[Config]\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        {
            Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
            QCOMPARE(window.SaveAsCombo->accessibleName(), QStringLiteral("Save as"));
            QStringList items;
            for (int i = 0; i < window.SaveAsCombo->count(); ++i)
                items.append(window.SaveAsCombo->itemText(i));
            QCOMPARE(items, QStringList({"WAV", "FLAC", "Ogg Vorbis", "Opus", "MP3"}));
            QCOMPARE(window.SaveAsCombo->currentText(), QStringLiteral("WAV"));
            // Ok without a choice leaves a file without the key as it was: it means WAV.
            press(window.SkinButton1);
            QVERIFY(!f.configText().contains("Save Format"));
        }
        {
            Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
            pickRate(window.SaveAsCombo, 2);
            QVERIFY(!f.configText().contains("Save Format")); // only Ok stores it
            press(window.SkinButton1);
            QVERIFY2(f.configText().endsWith("Save Format=Ogg Vorbis\n"), f.configText().constData());
            QCOMPARE(f.settings.saveFormat(), recording_format::SaveFormat::Vorbis);
        }
        {
            Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
            QCOMPARE(window.SaveAsCombo->currentText(), QStringLiteral("Ogg Vorbis"));
            pickRate(window.SaveAsCombo, 4);
            press(window.SkinButton2); // Cancel stores nothing
            QCOMPARE(f.settings.saveFormat(), recording_format::SaveFormat::Vorbis);
        }
        // A value this version does not know, or a misspelt one, reads as WAV.
        for (const QByteArray& stored : {QByteArray("AIFF"), QByteArray("flac"), QByteArray("")}) {
            f.config("[Config]\nSave Format=" + stored + "\n");
            QCOMPARE(f.settings.saveFormat(), recording_format::SaveFormat::Wav);
        }
    }

    void okWritesTheThreeKeysInOrder()
    {
        Fixture f;
        f.config("[Config]\nRecording Volume=3\n");
        Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
        press(window.Option1);
        press(window.SkinButton1);
        QCOMPARE(f.configText(),
                 QByteArray("[Config]\nRecording Volume=3\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        QCOMPARE(f.mainLabel.text(), QStringLiteral("22050  Hz   16  Bit"));
    }

    void cancelAndCloseKeepTheChoiceInMemoryOnly()
    {
        Fixture f;
        f.config("[Config]\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        const QByteArray stored = f.configText();
        {
            Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
            QSignalSpy unload(&window, &Preferences::unloadRequested);
            press(window.Option1);
            press(window.Check1);
            press(window.SkinButton2);
            QCOMPARE(unload.count(), 1);
        }
        QCOMPARE(f.state.Channels, 1);
        QCOMPARE(f.state.ConvertOnCompletion, int16_t(0));
        QCOMPARE(f.configText(), stored);
        QCOMPARE(f.mainLabel.text(), QStringLiteral("main label"));

        // The next load restores the stored format.
        Preferences again(f.paths, f.settings, f.state, &f.mainLabel);
        QCOMPARE(f.state.Channels, 2);
        QVERIFY(again.Option2->isChecked());

        // The close box is Cancel.
        again.show();
        QSignalSpy unload(&again, &Preferences::unloadRequested);
        press(again.Option1);
        again.close();
        QCOMPARE(unload.count(), 1);
        QCOMPARE(f.configText(), stored);
    }

    void preRecordSecondsAreStoredWithinTheirRange()
    {
        Fixture f;
        QCOMPARE(f.settings.preRecordSeconds(), 0); // no file
        f.config("[Config]\nChannels=2\n");
        QCOMPARE(f.settings.preRecordSeconds(), 0); // no key
        QVERIFY(f.settings.setPreRecordSeconds(12));
        QCOMPARE(f.configText(), QByteArray("[Config]\nChannels=2\nPre-record Seconds=12\n"));
        QCOMPARE(f.settings.preRecordSeconds(), 12);
        // Beyond the range: the nearest end, both when read and when stored.
        QVERIFY(f.settings.setPreRecordSeconds(31));
        QCOMPARE(f.configText(), QByteArray("[Config]\nChannels=2\nPre-record Seconds=30\n"));
        QVERIFY(f.settings.setPreRecordSeconds(-1));
        QCOMPARE(f.configText(), QByteArray("[Config]\nChannels=2\nPre-record Seconds=0\n"));
        const QList<QPair<QByteArray, int>> stored = {{"45", 30}, {"30", 30}, {"-4", 0},          {"loud", 0},
                                                      {"", 0},    {" 7 ", 7}, {"9999999999", 30}, {"12 s", 12}};
        for (const auto& [text, read] : stored) {
            f.config("[Config]\nPre-record Seconds=" + text + "\n");
            QVERIFY2(f.settings.preRecordSeconds() == read, text.constData());
        }
        // Key names are compared without case.
        f.config("[Config]\npre-record SECONDS=8\n");
        QCOMPARE(f.settings.preRecordSeconds(), 8);
    }

    void soundStartIsStoredWithinItsRanges()
    {
        Fixture f;
        const SoundStart defaults;
        SoundStart read = f.settings.soundStart();
        QCOMPARE(read.thresholdDb, defaults.thresholdDb);
        QCOMPARE(read.hangSeconds, defaults.hangSeconds);
        QCOMPARE(read.takes, defaults.takes);

        // Written with '.' whatever the user's locale, and read back the same.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        f.config("[Config]\nChannels=2\n");
        SoundStart how;
        how.thresholdDb = -42.5;
        how.hangSeconds = 7.5;
        how.takes = SoundStart::Takes::FilePerSound;
        QVERIFY(f.settings.setSoundStart(how));
        QCOMPARE(f.configText(), QByteArray("[Config]\nChannels=2\nSound Threshold=-42.5\nSound Hang Seconds=7.5\n"
                                            "Sound Takes=Files\n"));
        read = f.settings.soundStart();
        QCOMPARE(read.thresholdDb, -42.5);
        QCOMPARE(read.hangSeconds, 7.5);
        QCOMPARE(read.takes, SoundStart::Takes::FilePerSound);
        how.takes = SoundStart::Takes::OneWithPauses;
        QVERIFY(f.settings.setSoundStart(how));
        QVERIFY2(f.configText().endsWith("Sound Takes=Pauses\n"), f.configText().constData());
        QCOMPARE(f.settings.soundStart().takes, SoundStart::Takes::OneWithPauses);

        // Values beyond the ranges are stored as the nearest end.
        how.thresholdDb = -200;
        how.hangSeconds = 0.1;
        QVERIFY(f.settings.setSoundStart(how));
        QVERIFY2(f.configText().contains("Sound Threshold=-70\nSound Hang Seconds=0.5\n"), f.configText().constData());
        how.thresholdDb = 3;
        how.hangSeconds = 1e6;
        QVERIFY(f.settings.setSoundStart(how));
        QVERIFY2(f.configText().contains("Sound Threshold=-1\nSound Hang Seconds=600\n"), f.configText().constData());

        // As read from a file someone edited.
        struct Case {
            QByteArray text;
            double threshold;
            double hang;
            SoundStart::Takes takes;
        };
        const Case cases[] = {
            {"Sound Threshold=-100\nSound Hang Seconds=0\nSound Takes=Files", -70, 0.5,
             SoundStart::Takes::FilePerSound},
            {"Sound Threshold=0\nSound Hang Seconds=3600\nSound Takes=files", -1, 600, SoundStart::Takes::FilePerSound},
            {"Sound Threshold=-55\nSound Hang Seconds=12.25\nSound Takes=Pauses", -55, 12.25,
             SoundStart::Takes::OneWithPauses},
            {"Sound Threshold=loud\nSound Hang Seconds=\nSound Takes=Both", -30, 2, SoundStart::Takes::OneWithPauses},
            {"Sound Threshold=nan\nSound Hang Seconds=inf\nSound Takes=", -30, 2, SoundStart::Takes::OneWithPauses},
            {"Sound Threshold=-20,5\nSound Hang Seconds=1,5", -20.5, 1.5, SoundStart::Takes::OneWithPauses},
            {"sound threshold=-12\nSOUND HANG SECONDS=4\nsound takes=Files", -12, 4, SoundStart::Takes::FilePerSound},
        };
        for (const Case& c : cases) {
            f.config("[Config]\n" + c.text + "\n");
            read = f.settings.soundStart();
            QVERIFY2(read.thresholdDb == c.threshold && read.hangSeconds == c.hang && read.takes == c.takes,
                     c.text.constData());
        }
    }

    void preRecordIsStoredAndAnnouncedOnlyWhenChanged()
    {
        Fixture f;
        f.config("[Config]\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        const QByteArray before = f.configText();
        {
            // Ok without a change leaves a file without the key as it was.
            Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
            QSignalSpy changed(&window, &Preferences::preRecordChanged);
            QCOMPARE(window.PreRecordSpin->value(), 0);
            press(window.SkinButton1);
            QCOMPARE(f.configText(), before);
            QCOMPARE(changed.count(), 0);
        }
        {
            // Cancel keeps nothing.
            Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
            QSignalSpy changed(&window, &Preferences::preRecordChanged);
            spinTo(window.PreRecordSpin, 4);
            press(window.SkinButton2);
            QCOMPARE(f.configText(), before);
            QCOMPARE(changed.count(), 0);
        }
        {
            // Changed, then Ok: stored and announced once, with the value.
            Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
            QSignalSpy changed(&window, &Preferences::preRecordChanged);
            spinTo(window.PreRecordSpin, 5);
            QCOMPARE(f.configText(), before); // only Ok stores it
            QCOMPARE(changed.count(), 0);
            press(window.SkinButton1);
            QCOMPARE(f.configText(), before + "Pre-record Seconds=5\n");
            QCOMPARE(changed.count(), 1);
            QCOMPARE(changed.at(0).at(0).toInt(), 5);
        }
        {
            // Loaded as stored; changed and changed back is no change.
            Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
            QSignalSpy changed(&window, &Preferences::preRecordChanged);
            QCOMPARE(window.PreRecordSpin->value(), 5);
            spinTo(window.PreRecordSpin, 9);
            spinTo(window.PreRecordSpin, 5);
            press(window.SkinButton1);
            QCOMPARE(changed.count(), 0);
            QCOMPARE(f.settings.preRecordSeconds(), 5);
        }
        {
            // Back to 0 is a change too: the source need not stay open any longer.
            Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
            QSignalSpy changed(&window, &Preferences::preRecordChanged);
            spinTo(window.PreRecordSpin, 0);
            press(window.SkinButton1);
            QCOMPARE(f.configText(), before + "Pre-record Seconds=0\n");
            QCOMPARE(changed.count(), 1);
            QCOMPARE(changed.at(0).at(0).toInt(), 0);
        }
        // A stored value beyond the range shows as the nearest end, and the box goes no further.
        f.config("[Config]\nPre-record Seconds=90\n");
        Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
        QCOMPARE(window.PreRecordSpin->value(), 30);
        window.PreRecordSpin->setFocus();
        QTest::keyClick(window.PreRecordSpin, Qt::Key_Up);
        QCOMPARE(window.PreRecordSpin->value(), 30);
    }

    void preRecordIsReachableByKeyboardAndScreenReaders()
    {
        Fixture f;
        f.config("[Config]\nPre-record Seconds=3\n");
        Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        // In the tab order after "Save as", before the MP3 switch, and back.
        window.SaveAsCombo->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), window.SaveAsCombo);
        keyOnFocus(Qt::Key_Tab);
        QTRY_COMPARE(QApplication::focusWidget(), window.PreRecordSpin);
        keyOnFocus(Qt::Key_Up);
        QCOMPARE(window.PreRecordSpin->value(), 4);
        keyOnFocus(Qt::Key_Tab);
        QTRY_COMPARE(QApplication::focusWidget(), window.Check1);
        keyOnFocus(Qt::Key_Backtab);
        QTRY_COMPARE(QApplication::focusWidget(), window.PreRecordSpin);

        // The label's mnemonic takes the keyboard to the box.
        QCOMPARE(window.PreRecordLabel->buddy(), window.PreRecordSpin);
        window.Check1->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), window.Check1);
        keyOnFocus(Qt::Key_K, Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget(), window.PreRecordSpin);

        // Named, explained, and its value readable as shown.
        QAccessibleInterface* spin = QAccessible::queryAccessibleInterface(window.PreRecordSpin);
        QVERIFY(spin);
        QCOMPARE(spin->text(QAccessible::Name), QStringLiteral("Keep the seconds before Record"));
        QCOMPARE(spin->text(QAccessible::Value), QStringLiteral("4"));
        const QString tip = window.PreRecordSpin->toolTip();
        for (const char* says :
             {"stays open", "idle", "in memory only", "nothing is written before Record", "just before it"})
            QVERIFY2(tip.contains(QLatin1String(says)), says);
        QCOMPARE(spin->text(QAccessible::Description), tip);
        QCOMPARE(window.PreRecordSpin->minimum(), 0);
        QCOMPARE(window.PreRecordSpin->maximum(), 30);
    }

    void germanLocaleBothWays()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        Fixture f;
        f.config("[Config]\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        Preferences window(f.paths, f.settings, f.state, &f.mainLabel);
        QCOMPARE(window.SkinPanel1->text(), QStringLiteral("5,047  MB/min"));
        QString text = window.SkinPanel1->text();
        text.chop(8);
        QCOMPARE(parseLocaleNumber(text), 5.047);
        QCOMPARE(recording_format::megabytesPerMinute(2147483647, 2147483647, 2147483647) > 1e20f, true);
    }
};

QTEST_MAIN(TestPreferences)
#include "test_preferences.moc"
