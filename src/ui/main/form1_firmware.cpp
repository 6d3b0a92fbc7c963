// Form1: the button that opens the firmware upgrade window.

#include "ui/main/form1.h"

namespace orvex {

void Form1::btnLoadFirmware_Click() {}

} // namespace orvex
