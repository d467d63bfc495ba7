// The yardstick of the start-up benchmark: the least a Qt widgets program does to put a
// window with a label on screen, then it ends.
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.resize(947, 522);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Benvenuto"), &window));
    window.show();
    QTimer::singleShot(0, &window, [&window] {
        window.repaint();
        QCoreApplication::quit();
    });
    return application.exec();
}
