// Form1: the button that opens the code table editor.

#include "ui/main/form1.h"

#include "platform/prompter.h"
#include "ui/codetable/grid_layouts.h"
#include "ui/codetable/my4way_layout.h"

namespace orvex {

void Form1::button1_Click() {
    // The editor starts from the table the keypad holds now.
    if (GetDeviceStatusMessage() != 0) {
        showWarning("Load Table-Unable to get device status..");
        return;
    }
    CodeTableEditor* editor = nullptr;
    switch (prev_keypadType_index) {
    case 2:
        editor = new My4way_layout(keyCodeArray, noOfWayKeypad, this);
        break;
    case 5:
        editor = new My12way_layout(keyCodeArray, this);
        break;
    case 8:
        editor = new My16way_layout(keyCodeArray, this);
        break;
    default:
        showWarning("Please select a customise table..");
        return;
    }
    // Not modal: the main window stays usable and may open further editors.
    centreOnScreen(editor);
    editor->show();
}

} // namespace orvex
