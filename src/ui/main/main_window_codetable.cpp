// MainWindow: the button that opens the code table editor.

#include "ui/main/main_window.h"

#include <QStatusBar>

#include "device/keypad_presence.h"
#include "platform/prompter.h"
#include "ui/codetable/grid_table_editor.h"
#include "ui/codetable/picture_table_editor.h"
#include "ui/common/form_layout.h"

namespace orvex {

QString MainWindow::TableLoadedText() {
    return QStringLiteral("Code table loaded into the keypad.");
}

void MainWindow::openCodeTableEditor() {
    // The editor starts from the table the keypad holds now.
    if (GetDeviceStatusMessage() != 0) {
        WarnCommandFailed("Load Table-Unable to get device status..");
        return;
    }
    CodeTableEditor* editor = nullptr;
    switch (lastKeypadType) {
    case 2:
        editor = new PictureTableEditor(lastKeyCodes, waysCode, this);
        break;
    case 5:
        editor = new TwelveKeyTableEditor(lastKeyCodes, this);
        break;
    case 8:
        editor = new SixteenKeyTableEditor(lastKeyCodes, this);
        break;
    default:
        showWarning("Please select a customise table..");
        return;
    }
    connect(editor, &CodeTableEditor::tableApplied, this,
            [this] { statusBar->showMessage(TableLoadedText()); });
    // Not modal: the main window stays usable and may open further editors.
    ui::centreOnScreen(editor);
    editor->show();
}

} // namespace orvex
