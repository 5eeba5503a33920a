// The anchor of the start-up benchmark: an empty main window, nothing else.
#include <QApplication>
#include <QMainWindow>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.show();
    std::fputs("shown\n", stderr);
    return QApplication::exec();
}
