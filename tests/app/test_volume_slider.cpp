#include "app/volume_slider.h"
#include "tests/fakes/fake_mixer.h"

#include <QLabel>
#include <QScrollBar>
#include <QtTest>

class TestVolumeSlider : public QObject {
    Q_OBJECT
private slots:
    void stepsFollowTheSumOfTheBounds_data()
    {
        QTest::addColumn<int>("lowest");
        QTest::addColumn<int>("highest");
        QTest::addColumn<int>("small");
        QTest::addColumn<int>("large");
        QTest::addColumn<int>("middle");
        QTest::newRow("0..65535") << 0 << 65535 << 655 << 6553 << 32767;
        QTest::newRow("-100..100") << -100 << 100 << 0 << 0 << 0;
        QTest::newRow("0..65536") << 0 << 65536 << 655 << 6553 << 32768;
    }

    void stepsFollowTheSumOfTheBounds()
    {
        QFETCH(int, lowest);
        QFETCH(int, highest);
        QFETCH(int, small);
        QFETCH(int, large);
        QFETCH(int, middle);
        CallLog log;
        FakeMixer mixer(log);
        mixer.lowest = lowest;
        mixer.highest = highest;
        QScrollBar slider(Qt::Horizontal);
        QLabel label(QString::fromLatin1(volume_slider::kCaption));
        LevelRange range{};

        volume_slider::configure(slider, label, mixer, 3, range, {volume_slider::Start::From::Middle});
        QCOMPARE(slider.minimum(), lowest);
        QCOMPARE(slider.maximum(), highest);
        QCOMPARE(slider.singleStep(), small);
        QCOMPARE(slider.pageStep(), large);
        QCOMPARE(slider.value(), middle);
        // The range is asked for without setting anything; only the wanted level is sent.
        QCOMPARE(log.calls(), QStringList({"levelRange(3)", QStringLiteral("Volume(3,%1)").arg(middle)}));
        QCOMPARE(range[0], lowest);
        QCOMPARE(range[1], highest);
    }

    void storedLevelIsRestoredAndSentOnce()
    {
        CallLog log;
        FakeMixer mixer(log);
        QScrollBar slider(Qt::Horizontal);
        QLabel label;
        LevelRange range{};
        volume_slider::configure(slider, label, mixer, -2, range, {volume_slider::Start::From::Stored, 1234});
        QCOMPARE(slider.value(), 1234);
        QCOMPARE(label.text(), QStringLiteral("Recording volume setting :1234"));
        QCOMPARE(log.calls(), QStringList({"levelRange(-2)", "Volume(-2,1234)"}));
    }

    void withoutAStoredLevelTheSourceKeepsItsOwn()
    {
        CallLog log;
        FakeMixer mixer(log);
        mixer.highest = 65536;
        mixer.level = 26214; // 40 %
        QScrollBar slider(Qt::Horizontal);
        QLabel label;
        LevelRange range{};
        volume_slider::configure(slider, label, mixer, 1, range, {volume_slider::Start::From::Source});
        QCOMPARE(slider.value(), 26214);
        QCOMPARE(label.text(), QStringLiteral("Recording volume setting :26214"));
        QCOMPARE(log.calls(), QStringList({"levelRange(1)"})); // nothing sent

        // A source whose level cannot be told: the slider shows it as it is, the top of the range.
        mixer.level.reset();
        log.clear();
        volume_slider::configure(slider, label, mixer, 1, range, {volume_slider::Start::From::Source});
        QCOMPARE(slider.value(), 65536);
        QCOMPARE(log.calls(), QStringList({"levelRange(1)"}));
    }

    void moveShowsAndSendsThePosition()
    {
        CallLog log;
        FakeMixer mixer(log);
        QScrollBar slider(Qt::Horizontal);
        QLabel label;
        LevelRange range{};
        volume_slider::configure(slider, label, mixer, 0, range, {volume_slider::Start::From::Stored, 0});
        log.clear();
        slider.setValue(40);
        volume_slider::changed(slider, label, mixer, 0, range);
        QCOMPARE(label.text(), QStringLiteral("Recording volume setting :40"));
        QCOMPARE(log.calls(), QStringList({"Volume(0,40)"}));
    }
};

QTEST_MAIN(TestVolumeSlider)
#include "test_volume_slider.moc"
