// The smallest Qt window, as the yardstick for start-up time and idle memory.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare Qt window"));
    window.resize(475, 361);
    window.show();
    return QApplication::exec();
}
