// The smallest Qt window, as the yardstick for start-up time and idle memory. With --strip it also
// repaints a 300 by 20 pixel strip 30 times a second, the least a level meter's bars cost: the
// yardstick for the idle cost of a window whose meter runs.
#include <QApplication>
#include <QPainter>
#include <QTimer>
#include <QWidget>

namespace {

class Strip : public QWidget {
public:
    explicit Strip(QWidget* parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setGeometry(10, 10, 300, 20);
    }
    void step()
    {
        m_level = (m_level + 7) % width();
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::black);
        painter.fillRect(0, 0, m_level, height(), Qt::green);
    }

private:
    int m_level = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare Qt window"));
    window.resize(475, 361);
    QTimer timer;
    if (argc > 1 && QByteArray(argv[1]) == "--strip") {
        auto* strip = new Strip(&window);
        timer.setInterval(33);
        QObject::connect(&timer, &QTimer::timeout, strip, &Strip::step);
        timer.start();
    }
    window.show();
    return QApplication::exec();
}
