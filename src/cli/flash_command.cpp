// orvexctl flash: the firmware upgrade without a window.

#include <algorithm>
#include <sstream>

#include <hidapi/hidapi.h>

#include "bsl/bsl430.h"
#include "cli/cli_common.h"
#include "device/hid_link.h"
#include "firmware/image_checks.h"
#include "firmware/loader_store.h"
#include "firmware/upgrade_sequence.h"
#include "platform/clock.h"

namespace orvex::cli {

namespace {

// Waits for the keypad's bootstrap loader (on its port, when known) to
// enumerate after EnterBootloader.
bool waitForLoader(const firmware::LoaderIds& ids) {
    for (int waited = 0; waited <= 10000; waited += 100) {
        uint16_t vid = 0, pid = 0;
        if (ids.Numbers(vid, pid) && bsl::CountDevicesOnPort(vid, pid, ids.usbPort) > 0)
            return true;
        sleep_ms(100);
    }
    return false;
}

bool KeypadPresent() {
    hid_device_info* list = hid_enumerate(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
    const bool found = list != nullptr;
    hid_free_enumeration(list);
    return found;
}

} // namespace

int CmdFlash(const Context& c, const std::vector<std::string>& a) {
    std::vector<std::string> args = a;
    const auto allow = std::find(args.begin(), args.end(), "--allow-mass-erase");
    const bool allowMassErase = allow != args.end();
    if (allowMassErase)
        args.erase(allow);
    if (args.size() != 1)
        return c.fail(EXIT_USAGE, "flash: expected [--allow-mass-erase] IMAGE");
    const std::string& path = args[0];
    if (path.size() > firmware::kMaxPathBytes)
        return c.fail(EXIT_USAGE, "flash: the image path is longer than " +
                                      std::to_string(firmware::kMaxPathBytes) + " bytes");
    // The image is read once (a pipe works); an image that could not be
    // downloaded and started is refused before the keypad leaves for its
    // loader, and the upgrade sends these same bytes.
    FirmwareImage image;
    if (std::string why = ReadFirmwareImage(path, image); !why.empty())
        return c.fail(EXIT_FILE, "flash: " + why);
    if (const std::string why = CheckFirmwareImage(image); !why.empty())
        return c.fail(EXIT_FILE, "flash: " + why);

    firmware::LoaderIds ids = firmware::LoaderIds::FromResources();
    firmware::KeypadSettingsHandOver settings;
    // A loader already attached may be the keypad's, left by an interrupted
    // upgrade, or another device's: a running keypad comes first.
    const bool loaderWaiting = firmware::CountLoaderDevices(ids) > 0;
    const bool keypadRunning = !loaderWaiting || KeypadPresent();
    if (keypadRunning) {
        // The usual case: the keypad is running; keep its settings and switch it over.
        if (int rc = openKeypad(c))
            return rc;
        ids.usbPort = firmware::OpenKeypadUsbPort();
        if (loaderWaiting && ids.usbPort.empty())
            return c.fail(EXIT_USAGE, std::string("flash: ") + firmware::kLoaderNotToldApartText);
        DeviceStatus s;
        if (ReadDeviceStatus(s) == 0) {
            settings.captured = true;
            settings.keypad_table = s.keypadType;
            settings.led_brightness = s.ledBrightness;
            settings.buzzer_enable = s.buzzer;
            settings.buzzer_period = s.buzzerPeriodIndex();
            settings.no_of_keys = s.options;
            std::copy_n(s.keyCodes.begin(), settings.key_codes.size(), settings.key_codes.begin());
            settings.serialNumber = s.serialNumber;
        }
    }
    // Everything that can stop the upgrade is settled before the keypad leaves.
    const firmware::LoaderFolders folders = firmware::LoaderFolders::ForDataHome(c.dataHome);
    firmware::UpgradePlan plan;
    std::string why;
    if (!firmware::PlanUpgrade(folders, settings.serialNumber, plan, why))
        return c.fail(EXIT_FILE, "flash: " + why);
    if (plan.massEraseFirst && !allowMassErase)
        return c.fail(EXIT_USAGE, "flash: no password image (" +
                                      std::string(firmware::kPasswordFile) +
                                      ") is known for this keypad, so its loader would "
                                      "mass-erase it first; put its password into " +
                                      folders.user + " or add --allow-mass-erase");
    if (keypadRunning) {
        (void)SendDeviceCommand(EnterBootloader); // the keypad leaves without answering
        CloseDevice();
        if (!waitForLoader(ids))
            return c.fail(EXIT_NO_KEYPAD, "flash: no bootstrap loader appeared (USB 2047:0200)");
    }

    firmware::UpgradeSequence upgrade(
        [&c](int percent, const std::string& text) {
            std::string line = text;
            std::erase(line, '\r');
            std::istringstream lines(line);
            for (std::string part; std::getline(lines, part);)
                if (!part.empty())
                    c.err << "["
                          << (percent < 10    ? "  "
                              : percent < 100 ? " "
                                              : "")
                          << percent << "%] " << part << "\n";
        },
        ids, plan.images);
    upgrade.keepPasswordAs = plan.keepPasswordAs;
    if (!upgrade.Run(image))
        return c.fail(EXIT_VERIFY, "flash: the upgrade failed; the keypad stays in its loader");

    switch (firmware::RestoreSettingsAfterUpgrade(settings)) {
    case firmware::RestoreResult::Restored:
        return EXIT_OK;
    case firmware::RestoreResult::NothingCaptured:
        return EXIT_OK; // the core has said the settings could not be sent back
    case firmware::RestoreResult::KeypadMissing:
        return c.fail(EXIT_NO_KEYPAD, "flash: the keypad did not come back after the upgrade");
    case firmware::RestoreResult::Stopped:
        break;
    }
    return c.fail(EXIT_REFUSED, "flash: the keypad refused a setting of the restore");
}

} // namespace orvex::cli
