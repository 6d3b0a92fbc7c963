// Form1's buttons that open the code table editor, the self test and the
// firmware upgrade window.

#include "ui/main/form1.h"

namespace orvex {

void Form1::button1_Click() {}

void Form1::button2_Click() {}

void Form1::btnLoadFirmware_Click() {}

} // namespace orvex
