// Form1: the button that opens the firmware upgrade window.

#include "ui/main/form1.h"

#include <memory>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "firmware/firmware_upgrade.h"
#include "platform/prompter.h"

namespace orvex {

void Form1::btnLoadFirmware_Click() {
    // Owned by the main window, so it is gone (its job waited for) at exit.
    auto window = std::make_unique<firmware_upgrade>(this);
    window->setAttribute(Qt::WA_DeleteOnClose);

    // The settings the window sends back after the upgrade.
    if (GetDeviceStatusMessage() == 0)
        firmware_upgrade::HandOverSettings(prev_keypadType_index, prev_ledBrightness_index,
                                           prev_buzzer_index, prev_buzzerPeriod_index,
                                           prev_options_fitted, keyCodeArray.data(), serialNumber);
    else
        showWarning("Unable to get device status information");

    if (!askYesNo("Are you sure you want to upgrade the firmware?", "Firmware Upgrade"))
        return;

    // The keypad restarts into its loader, usually before it can answer.
    if (SendDeviceCommand(EnterBootloader) != LINK_OK)
        EnableDisableFunctionButtons(false);

    window->CentreOnScreen();
    window.release()->show();
}

} // namespace orvex
