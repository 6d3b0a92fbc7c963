// Form1: the button that opens the code table editor.

#include "ui/main/form1.h"

namespace orvex {

void Form1::button1_Click() {}

} // namespace orvex
