#include "recording/volume_slider.h"
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

        volume_slider::configure(slider, label, mixer, 3, range, std::nullopt);
        QCOMPARE(slider.minimum(), lowest);
        QCOMPARE(slider.maximum(), highest);
        QCOMPARE(slider.singleStep(), small);
        QCOMPARE(slider.pageStep(), large);
        QCOMPARE(slider.value(), middle);
        QCOMPARE(log.calls(), QStringList({"Volume(3,0)", QStringLiteral("Volume(3,%1)").arg(middle)}));
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
        volume_slider::configure(slider, label, mixer, -2, range, 1234);
        QCOMPARE(slider.value(), 1234);
        QCOMPARE(label.text(), QStringLiteral("Recording volume setting :1234"));
        QCOMPARE(log.calls(), QStringList({"Volume(-2,0)", "Volume(-2,1234)"}));
    }

    void moveShowsAndSendsThePosition()
    {
        CallLog log;
        FakeMixer mixer(log);
        QScrollBar slider(Qt::Horizontal);
        QLabel label;
        LevelRange range{};
        volume_slider::configure(slider, label, mixer, 0, range, 0);
        log.clear();
        slider.setValue(40);
        volume_slider::changed(slider, label, mixer, 0, range);
        QCOMPARE(label.text(), QStringLiteral("Recording volume setting :40"));
        QCOMPARE(log.calls(), QStringList({"Volume(0,40)"}));
    }
};

QTEST_MAIN(TestVolumeSlider)
#include "test_volume_slider.moc"
