// Form1: the button that opens the self test.

#include "ui/main/form1.h"

#include "ui/selftest/self_test.h"

namespace orvex {

void Form1::button2_Click() {
    auto* test = new self_test();
    test->setAttribute(Qt::WA_DeleteOnClose);
    test->move(pos());
    test->show();
}

} // namespace orvex
