// Form1's configuration-file actions.

#include "ui/main/form1.h"

namespace orvex {

void Form1::PrepareConfigFile() {}

void Form1::SaveToConfigFile() {}

void Form1::button3_Click() {}

void Form1::importCfgFileToolStripMenuItem_Click() {}

void Form1::exportCfgFileToolStripMenuItem_Click() {}

} // namespace orvex
