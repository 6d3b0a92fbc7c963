// MainWindow: the button that opens the firmware upgrade window, and the
// finishing of an upgrade that was interrupted.

#include "ui/main/main_window.h"

#include <memory>
#include <optional>
#include <utility>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_presence.h"
#include "firmware/loader_store.h"
#include "ops/upgrade_journal.h"
#include "firmware/upgrade_sequence.h"
#include "ops/upgrade_target.h"
#include "platform/prompter.h"
#include "ui/firmware/firmware_upgrade_window.h"

namespace orvex {

namespace {

constexpr const char* kProgram = "orvex-config";
constexpr const char* kQuestionCaption = "Firmware Upgrade";

// The loader images and the password; false (the user told why) when the
// upgrade must not start.
bool planUpgrade(const std::string& serial, firmware::UpgradePlan& plan) {
    const firmware::LoaderFolders folders = firmware::LoaderFolders::FromEnvironment();
    std::string why;
    if (!firmware::PlanUpgrade(folders, serial, plan, why)) {
        showWarning(why);
        return false;
    }
    return true;
}

bool massEraseAgreed(const std::string& serial, const firmware::UpgradePlan& plan) {
    return !plan.needsConsent ||
           askYesNo(firmware::MassEraseQuestion(firmware::LoaderFolders::FromEnvironment(), serial,
                                                plan),
                    kQuestionCaption);
}

} // namespace

std::string MainWindow::LoneLoaderQuestion() {
    return "No keypad is open, but an MSP430 USB bootstrap loader (USB 2047:0200) is attached. "
           "Any MSP430 device in its loader looks like this. Is it your keypad, left in its "
           "loader by an interrupted upgrade? Only then may it be programmed.";
}

void MainWindow::openFirmwareUpgrade() {
    if (KeypadBusyElsewhere())
        return;
    // An interrupted upgrade is finished before another one starts.
    if (offerToFinishUpgrade(false))
        return;
    // The keypad whose settings are read here is the one switched to its
    // loader: while the questions below wait for the user, the window does
    // not follow keypads coming and going.
    std::optional<KeypadSequence> asking(std::in_place);

    // Owned by the main window, so it is gone (its job waited for) at exit.
    auto window = std::make_unique<FirmwareUpgradeWindow>(this);
    window->setAttribute(Qt::WA_DeleteOnClose);

    // The settings the window sends back after the upgrade.
    const bool statusRead = GetDeviceStatusMessage() == 0;
    const KeypadIdentity keypad = OpenKeypadIdentity();
    if (statusRead)
        FirmwareUpgradeWindow::HandOverSettings(lastKeypadType, lastLedBrightness, lastBuzzer,
                                                lastBuzzerPeriodIndex, lastOptions,
                                                lastKeyCodes.data(), serialNumber, keypad);
    else
        WarnCommandFailed("Unable to get device status information");
    // Settings read earlier are kept only for the keypad they were read from:
    // any other keypad would get their serial number and settings.
    firmware::KeypadSettingsHandOver settings =
        FirmwareUpgradeWindow::HandedOverSettingsFor(keypad);
    const std::string serial = settings.captured ? settings.serialNumber : std::string();

    // One upgrade at a time, from here to the end of its restore.
    std::string refusal;
    auto lock = firmware::UpgradeLock::Acquire(kProgram, refusal);
    if (!lock) {
        showWarning(refusal);
        return;
    }

    // Only the keypad's own loader is programmed: the one it restarts into on
    // its port, or one the user says is the keypad's. Other MSP430 loaders
    // answer the same ids.
    const firmware::UpgradeTarget target = firmware::ChooseUpgradeTarget(
        firmware::LoaderIds::FromResources(), firmware::TargetSource::OpenKeypad);
    if (!target.refusal.empty()) {
        showWarning(target.refusal);
        return;
    }
    if (target.unnamedLoader && !askYesNo(LoneLoaderQuestion(), kQuestionCaption))
        return;
    const std::string& port = target.usbPort;

    // Whatever would stop the upgrade is settled while the keypad still runs
    // its firmware: once in its loader, a refused password erases it.
    firmware::UpgradePlan plan;
    if (!planUpgrade(serial, plan))
        return;
    if (!askYesNo("Are you sure you want to upgrade the firmware?", kQuestionCaption))
        return;
    if (!massEraseAgreed(serial, plan))
        return;

    // Pulled out or swapped while the questions were up: nothing has been
    // sent, and nothing is.
    if (target.enterBootloader && (!OpenedKeypadAttached() || OpenKeypadIdentity() != keypad)) {
        showWarning(kKeypadUnpluggedText);
        return;
    }

    // What the restore needs is on disk before the keypad leaves; the
    // restore sends what it holds.
    firmware::UpgradeJournal journal;
    journal.settings = settings;
    journal.settings.usbPort = port;
    journal.program = kProgram;
    journal.startedAt = firmware::UtcNowText();
    if (std::string why; !firmware::WriteUpgradeJournal(journal, why)) {
        showWarning("The firmware upgrade cannot start: " + why + "..");
        return;
    }
    FirmwareUpgradeWindow::HandOverUpgradePlan(plan, port);
    window->KeepUpgradeLock(std::move(lock));

    // From here to the end of the settings restore the upgrade owns the
    // keypad; the main window reads it again afterwards.
    window->HoldKeypad(std::make_unique<KeypadSequence>(KeypadSequence::After::RereadAfter,
                                                        KeypadIdentity{keypad.serialNumber, port}));
    asking.reset();
    // The keypad restarts into its loader, usually before it can answer.
    // Without a keypad open the command could reach nobody: as if it failed.
    if (!target.enterBootloader || SendDeviceCommand(EnterBootloader) != LINK_OK)
        EnableDisableFunctionButtons(false);

    window->CentreOnScreen();
    window.release()->show();
}

bool MainWindow::offerToFinishUpgrade(bool atStartUp) {
    std::string error;
    const std::optional<firmware::UpgradeJournal> journal = firmware::ReadUpgradeJournal(error);
    if (!journal) {
        if (error.empty())
            return false;
        showWarning("The firmware upgrade cannot start: " + error + "..");
        return !atStartUp;
    }
    const std::string serial = PrintableSerial(journal->settings.serialNumber);
    const firmware::LoaderIds ids = firmware::LoaderIds::FromResources();
    const firmware::JournalKeypad where = firmware::FindJournalKeypad(*journal, ids);
    if (where == firmware::JournalKeypad::Absent) {
        if (!atStartUp)
            showWarning("An upgrade of the keypad with serial number " + serial +
                        " has not finished (" + firmware::UpgradeJournalPath() +
                        "). Plug that keypad in and press the button again, or remove the file "
                        "to give the upgrade up..");
        return !atStartUp;
    }

    std::string refusal;
    auto lock = firmware::UpgradeLock::Acquire(kProgram, refusal);
    if (!lock) {
        showWarning(refusal);
        return true;
    }
    if (where == firmware::JournalKeypad::Running) {
        // The keypad on the journal's port must be the one upgraded, or as
        // its new firmware left it; any other would lose what it holds.
        const KeypadIdentity shown = OpenKeypadIdentity();
        std::optional<DeviceStatus> status;
        const bool opened = firmware::OpenJournalKeypad(*journal, status);
        const bool mayTake = !journal->settings.captured ||
                             (opened && firmware::KeypadMayTakeJournal(*journal, status));
        const std::string question =
            mayTake ? "An upgrade of the keypad with serial number " + serial +
                          " was interrupted before its settings were sent back. Send them back "
                          "now?"
                    : firmware::JournalKeypadMismatch(*journal, status) + ". Send serial number " +
                          serial +
                          " and the settings of that keypad to this one, replacing what it "
                          "holds?";
        if (!opened)
            showWarning("Halden Orvex\u2122 not connected..");
        if (!opened || !askYesNo(question, kQuestionCaption)) {
            // Back to the keypad the window shows.
            if (!(OpenKeypadIdentity() == shown) && RescanForKeypad(shown, false))
                RefreshFromDevice();
            return true;
        }
        // The restore restarts the keypad: it sees it leave and come back.
        KeypadSequence owned;
        const firmware::RestoreResult r = firmware::RestoreSettingsAfterUpgrade(journal->settings);
        if (r == firmware::RestoreResult::Restored || r == firmware::RestoreResult::NothingCaptured)
            firmware::RemoveUpgradeJournal();
        if (RefreshFromDevice())
            keypadChangedDuringSequence_ = false;
        return true;
    }

    // In its loader on the port the journal names: the keypad's own.
    if (!askYesNo("An upgrade of the keypad with serial number " + serial +
                      " was interrupted and the keypad is still in its bootstrap loader. Open "
                      "the firmware upgrade window to download an image and send its settings "
                      "back?",
                  kQuestionCaption))
        return true;
    firmware::UpgradePlan plan;
    if (!planUpgrade(journal->settings.serialNumber, plan) ||
        !massEraseAgreed(journal->settings.serialNumber, plan))
        return true;
    std::string port = journal->settings.usbPort;
    if (port.empty()) {
        // Found alone on the bus before the questions; it may have gone since.
        const firmware::UpgradeTarget loader =
            firmware::ChooseUpgradeTarget(ids, firmware::TargetSource::AttachedLoader);
        if (!loader.refusal.empty()) {
            showWarning(loader.refusal);
            return true;
        }
        port = loader.usbPort;
    }
    FirmwareUpgradeWindow::HandOverJournal(journal->settings);
    FirmwareUpgradeWindow::HandOverUpgradePlan(plan, port);
    auto* window = new FirmwareUpgradeWindow(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->KeepUpgradeLock(std::move(lock));
    // The keypad is its loader until the upgrade's restore has ended.
    window->HoldKeypad(std::make_unique<KeypadSequence>(
        KeypadSequence::After::RereadAfter, KeypadIdentity{journal->settings.serialNumber, port}));
    window->CentreOnScreen();
    window->show();
    return true;
}

} // namespace orvex
