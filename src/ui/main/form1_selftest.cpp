// Form1: the button that opens the self test.

#include "ui/main/form1.h"

namespace orvex {

void Form1::button2_Click() {}

} // namespace orvex
