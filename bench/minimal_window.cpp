// The floor for the application's footprint: a Qt Widgets program that shows one empty window.

#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QWidget window;
    window.resize(420, 300);
    window.show();
    return QApplication::exec();
}
