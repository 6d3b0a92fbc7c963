// MainWindow: the button that opens the firmware upgrade window.

#include "ui/main/main_window.h"

#include <memory>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_presence.h"
#include "firmware/loader_store.h"
#include "firmware/upgrade_sequence.h"
#include "platform/prompter.h"
#include "ui/firmware/firmware_upgrade_window.h"

namespace orvex {

void MainWindow::openFirmwareUpgrade() {
    // Owned by the main window, so it is gone (its job waited for) at exit.
    auto window = std::make_unique<FirmwareUpgradeWindow>(this);
    window->setAttribute(Qt::WA_DeleteOnClose);

    // The settings the window sends back after the upgrade.
    if (GetDeviceStatusMessage() == 0)
        FirmwareUpgradeWindow::HandOverSettings(lastKeypadType, lastLedBrightness, lastBuzzer,
                                                lastBuzzerPeriodIndex, lastOptions,
                                                lastKeyCodes.data(), serialNumber);
    else
        WarnCommandFailed("Unable to get device status information");

    // Whatever would stop the upgrade is settled while the keypad still runs
    // its firmware: once in its loader, a refused password erases it.
    const firmware::LoaderFolders folders = firmware::LoaderFolders::FromEnvironment();
    firmware::UpgradePlan plan;
    std::string why;
    if (!firmware::PlanUpgrade(folders, serialNumber, plan, why)) {
        showWarning(why);
        return;
    }
    // Other MSP430 loaders answer the same ids: the keypad's comes up on its port.
    const std::string port = firmware::OpenKeypadUsbPort();
    if (port.empty() && firmware::CountLoaderDevices(firmware::LoaderIds::FromResources()) > 0) {
        showWarning(firmware::kLoaderNotToldApartText);
        return;
    }

    if (!askYesNo("Are you sure you want to upgrade the firmware?", "Firmware Upgrade"))
        return;
    if (plan.massEraseFirst &&
        !askYesNo(firmware::MassEraseQuestion(folders, serialNumber), "Firmware Upgrade"))
        return;
    FirmwareUpgradeWindow::HandOverUpgradePlan(plan, port);

    // From here to the end of the settings restore the upgrade owns the
    // keypad; the main window reads it again afterwards.
    window->HoldKeypad(std::make_unique<KeypadSequence>(KeypadSequence::After::RereadAfter));
    // The keypad restarts into its loader, usually before it can answer.
    if (SendDeviceCommand(EnterBootloader) != LINK_OK)
        EnableDisableFunctionButtons(false);

    window->CentreOnScreen();
    window.release()->show();
}

} // namespace orvex
