// MainWindow: the button that opens the self test.

#include "ui/main/main_window.h"

#include "ui/selftest/self_test_window.h"

namespace orvex {

void MainWindow::openSelfTest() {
    // A second test would take the first one's temporary settings for the
    // keypad's own and put them back at its end.
    if (KeypadBusyElsewhere())
        return;
    auto* test = new SelfTestWindow();
    test->setAttribute(Qt::WA_DeleteOnClose);
    test->move(pos());
    test->show();
}

} // namespace orvex
