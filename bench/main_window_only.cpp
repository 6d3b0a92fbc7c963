// The main window on its own: its controls, texts and fonts, but no splash,
// no HID backend set up and no status read. orvex-bench measures it beside
// the empty window and orvex-config-virtual to show how much of the start-up
// cost is the window itself. A finding, not a limit.

#include <QApplication>

#include "ui/main/main_window.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    orvex::MainWindow form;
    form.show();
    return app.exec();
}
