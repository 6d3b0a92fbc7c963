// MainWindow: the button that opens the self test.

#include "ui/main/main_window.h"

#include "ui/selftest/self_test_window.h"

namespace orvex {

void MainWindow::openSelfTest() {
    auto* test = new SelfTestWindow();
    test->setAttribute(Qt::WA_DeleteOnClose);
    test->move(pos());
    test->show();
}

} // namespace orvex
