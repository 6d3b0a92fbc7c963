// The least a Qt Widgets program does before its window is on screen: build
// the application and show one empty window of the main window's size.
// orvex-bench measures it the same way as orvex-config-virtual, as the floor
// for start-up time and resident memory.

#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("floor");
    window.setFixedSize(891, 499);
    window.show();
    return app.exec();
}
