// orvexctl flash and resume: the firmware upgrade without a window, and the
// finishing of one that was interrupted.

#include <algorithm>
#include <memory>
#include <sstream>

#include "bsl/bsl430.h"
#include "cli/cli_common.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"
#include "firmware/image_checks.h"
#include "firmware/loader_store.h"
#include "firmware/upgrade_journal.h"
#include "firmware/upgrade_sequence.h"
#include "firmware/upgrade_target.h"
#include "platform/clock.h"

namespace orvex::cli {

namespace {

constexpr const char* kProgram = "orvexctl";

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

// Takes the flags out of `args`; true when `flag` was there.
bool takeFlag(std::vector<std::string>& args, const char* flag) {
    const auto it = std::find(args.begin(), args.end(), flag);
    if (it == args.end())
        return false;
    args.erase(it);
    return true;
}

// Reads the image once (a pipe works) into `image` and checks it: an image
// that could not be downloaded and started is refused before the keypad
// leaves for its loader, and the upgrade sends these same bytes.
int checkImage(const Context& c, const char* name, const std::string& path, FirmwareImage& image) {
    if (path.size() > firmware::kMaxPathBytes)
        return c.fail(EXIT_USAGE, std::string(name) + ": the image path is longer than " +
                                      std::to_string(firmware::kMaxPathBytes) + " bytes");
    if (std::string why = ReadFirmwareImage(path, image); !why.empty())
        return c.fail(EXIT_FILE, std::string(name) + ": " + why);
    if (const std::string why = CheckFirmwareImage(image); !why.empty())
        return c.fail(EXIT_FILE, std::string(name) + ": " + why);
    return EXIT_OK;
}

// The loader images and the password for the keypad with this serial number;
// refuses a password not known to match it unless the mass erase is agreed to.
int planUpgrade(const Context& c, const char* name, const std::string& serial, bool allowMassErase,
                firmware::UpgradePlan& plan) {
    const firmware::LoaderFolders folders = firmware::LoaderFolders::ForDataHome(c.dataHome);
    std::string why;
    if (!firmware::PlanUpgrade(folders, serial, plan, why))
        return c.fail(EXIT_FILE, std::string(name) + ": " + why);
    if (!plan.needsConsent || allowMassErase)
        return EXIT_OK;
    const std::string own = firmware::SerialFolderName(serial);
    const std::string where = folders.user + "/" + (own.empty() ? "SERIAL" : own);
    if (plan.massEraseFirst)
        return c.fail(EXIT_USAGE, std::string(name) + ": no password image (" +
                                      firmware::kPasswordFile +
                                      ") is known for this keypad, so its loader would mass-erase "
                                      "it first; put its password into " +
                                      where + " or add --allow-mass-erase");
    return c.fail(EXIT_USAGE, std::string(name) + ": the password image " + plan.passwordFile +
                                  " is not known to match this keypad, and its loader mass-erases "
                                  "it when it does not; put the keypad's own password into " +
                                  where + " or add --allow-mass-erase");
}

void printProgress(const Context& c, int percent, const std::string& text) {
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
}

// Downloads the image into the loader on ids.usbPort.
int runUpgrade(const Context& c, const char* name, const firmware::LoaderIds& ids,
               const firmware::UpgradePlan& plan, const FirmwareImage& image) {
    firmware::UpgradeSequence upgrade(
        [&c](int percent, const std::string& text) { printProgress(c, percent, text); }, ids,
        plan.images);
    upgrade.keepPasswordAs = plan.keepPasswordAs;
    if (upgrade.Run(image))
        return EXIT_OK;
    return c.fail(EXIT_VERIFY, std::string(name) + ": " + upgrade.FailureText());
}

// Sends the settings back; the journal goes once they are (or when there are
// none to send).
int restoreSettings(const Context& c, const char* name,
                    const firmware::KeypadSettingsHandOver& settings, bool tellNotRestored) {
    if (!settings.captured && !tellNotRestored) {
        firmware::RemoveUpgradeJournal();
        return EXIT_OK;
    }
    switch (firmware::RestoreSettingsAfterUpgrade(settings)) {
    case firmware::RestoreResult::Restored:
    case firmware::RestoreResult::NothingCaptured: // the core has said why
        firmware::RemoveUpgradeJournal();
        return EXIT_OK;
    case firmware::RestoreResult::KeypadMissing:
        return c.fail(EXIT_NO_KEYPAD, std::string(name) +
                                          ": the keypad did not come back after the upgrade; "
                                          "no other keypad was changed (`orvexctl resume` sends "
                                          "the settings when it is back)");
    case firmware::RestoreResult::Stopped:
        break;
    }
    return c.fail(EXIT_REFUSED, std::string(name) +
                                    ": the keypad refused a setting of the restore (`orvexctl "
                                    "resume` sends the settings again)");
}

} // namespace

int CmdFlash(const Context& c, const std::vector<std::string>& a) {
    std::vector<std::string> args = a;
    const bool allowMassErase = takeFlag(args, "--allow-mass-erase");
    const bool recover = takeFlag(args, "--recover");
    const bool noRestore = takeFlag(args, "--no-restore");
    if (args.size() != 1)
        return c.fail(EXIT_USAGE,
                      "flash: expected [--allow-mass-erase] [--recover] [--no-restore] IMAGE");
    FirmwareImage image;
    if (int rc = checkImage(c, "flash", args[0], image))
        return rc;

    // One upgrade at a time, from the plan to the end of the restore.
    std::string refusal;
    const auto lock = firmware::UpgradeLock::Acquire(kProgram, refusal);
    if (!lock)
        return c.fail(EXIT_REFUSED, "flash: " + refusal);
    std::string journalError;
    if (const auto journal = firmware::ReadUpgradeJournal(journalError))
        return c.fail(EXIT_USAGE, "flash: an upgrade that has not finished is recorded in " +
                                      firmware::UpgradeJournalPath() + " (keypad " +
                                      PrintableSerial(journal->settings.serialNumber) +
                                      "); finish it with `orvexctl resume` first, or remove "
                                      "the file to give it up");
    if (!journalError.empty())
        return c.fail(EXIT_FILE, "flash: " + journalError);

    firmware::LoaderIds ids = firmware::LoaderIds::FromResources();
    firmware::KeypadSettingsHandOver settings;
    firmware::UpgradeTarget target;
    if (recover) {
        // A keypad already in its loader: no running keypad is opened, so
        // none can be sent to its loader by mistake.
        if (!c.serial.empty())
            return c.fail(EXIT_USAGE, "flash: --recover programs a keypad in its loader, which "
                                      "reports no serial number; name its loader with --path "
                                      "(`orvexctl list` shows it)");
        target = firmware::ChooseUpgradeTarget(ids, firmware::TargetSource::AttachedLoader, c.path);
    } else {
        // A loader already attached may be the keypad's, left by an
        // interrupted upgrade, or another MSP430 device's: a running keypad
        // comes first.
        if (!c.serial.empty() || !c.path.empty() || !KeypadCommandPaths().empty() ||
            firmware::LoaderUsbPorts(ids).empty())
            if (int rc = openKeypad(c, Pick::OnlyOne))
                return rc;
        target = firmware::ChooseUpgradeTarget(ids, firmware::TargetSource::OpenKeypad);
        // Any MSP430 device in its loader uses these ids.
        if (target.unnamedLoader)
            return c.fail(EXIT_USAGE,
                          "flash: no keypad is attached, only an MSP430 USB bootstrap loader (USB "
                          "2047:0200) that may belong to another device; if it is the keypad's, "
                          "left by an interrupted upgrade, add --recover");
    }
    if (!target.refusal.empty())
        return c.fail(target.nothingAttached ? EXIT_NO_KEYPAD : EXIT_USAGE,
                      "flash: " + target.refusal);
    ids.usbPort = target.usbPort;
    if (target.enterBootloader) {
        // Without its settings the keypad would end with those its new
        // firmware starts with: only when asked.
        DeviceStatus s;
        const bool read = ReadDeviceStatus(s) == 0;
        if (!read && !noRestore)
            return c.fail(EXIT_REFUSED,
                          "flash: the keypad's status cannot be read, so its settings could not "
                          "be sent back after the upgrade; nothing was sent (add --no-restore to "
                          "upgrade without them)");
        if (read) {
            settings.captured = !noRestore;
            settings.keypad_table = s.keypadType;
            settings.led_brightness = s.ledBrightness;
            settings.buzzer_enable = s.buzzer;
            settings.buzzer_period = s.buzzerPeriodIndex();
            settings.no_of_keys = s.options;
            std::copy_n(s.keyCodes.begin(), settings.key_codes.size(), settings.key_codes.begin());
            settings.serialNumber = s.serialNumber;
        }
    }
    settings.usbPort = ids.usbPort;

    // Everything that can stop the upgrade is settled before the keypad leaves.
    firmware::UpgradePlan plan;
    if (int rc = planUpgrade(c, "flash", settings.serialNumber, allowMassErase, plan))
        return rc;
    // What the restore needs is on disk before the keypad is taken away.
    firmware::UpgradeJournal journal;
    journal.settings = settings;
    journal.imagePath = image.path;
    journal.imageSha256 = firmware::Sha256Of(image.text);
    journal.program = kProgram;
    journal.startedAt = firmware::UtcNowText();
    if (std::string why; !firmware::WriteUpgradeJournal(journal, why))
        return c.fail(EXIT_FILE, "flash: " + why + "; nothing was sent");

    if (target.enterBootloader) {
        (void)SendDeviceCommand(EnterBootloader); // the keypad leaves without answering
        CloseDevice();
        if (!waitForLoader(ids))
            return c.fail(EXIT_NO_KEYPAD, "flash: no bootstrap loader appeared (USB 2047:0200)");
    }
    if (int rc = runUpgrade(c, "flash", ids, plan, image))
        return rc;
    return restoreSettings(c, "flash", settings, !noRestore);
}

int CmdResume(const Context& c, const std::vector<std::string>& a) {
    std::vector<std::string> args = a;
    const bool allowMassErase = takeFlag(args, "--allow-mass-erase");
    const bool force = takeFlag(args, "--force");
    if (args.size() > 1)
        return c.fail(EXIT_USAGE, "resume: expected [--allow-mass-erase] [--force] [IMAGE]");

    std::string refusal;
    const auto lock = firmware::UpgradeLock::Acquire(kProgram, refusal);
    if (!lock)
        return c.fail(EXIT_REFUSED, "resume: " + refusal);
    std::string journalError;
    std::optional<firmware::UpgradeJournal> journal = firmware::ReadUpgradeJournal(journalError);
    if (!journalError.empty())
        return c.fail(EXIT_FILE, "resume: " + journalError);
    if (!journal)
        return c.fail(EXIT_USAGE, "resume: no unfinished upgrade is recorded (" +
                                      firmware::UpgradeJournalPath() + ")");
    firmware::KeypadSettingsHandOver& settings = journal->settings;
    const std::string which = "keypad " + PrintableSerial(settings.serialNumber) + ", USB port " +
                              (settings.usbPort.empty() ? "unknown" : settings.usbPort);

    firmware::LoaderIds ids = firmware::LoaderIds::FromResources();
    firmware::JournalKeypad where;
    std::optional<DeviceStatus> status;
    const bool named = !c.serial.empty() || !c.path.empty();
    if (named) {
        // The user names the keypad: its settings go there, if it is the
        // upgraded one (below).
        if (int rc = openKeypad(c))
            return rc;
        const KeypadIdentity keypad = OpenKeypadIdentity();
        if (!KeypadCanBeFoundAgain(keypad))
            return c.fail(EXIT_USAGE, std::string("resume: ") + kKeypadNotToldApartText);
        settings.usbPort = keypad.usbPort;
        if (DeviceStatus s; ReadDeviceStatus(s) == 0)
            status = s;
        CloseDevice();
        where = firmware::JournalKeypad::Running;
    } else {
        where = firmware::FindJournalKeypad(*journal, ids);
    }
    if (where == firmware::JournalKeypad::Absent)
        return c.fail(EXIT_NO_KEYPAD, "resume: the keypad of the unfinished upgrade (" + which +
                                          ") is attached neither running nor in its loader");
    if (where == firmware::JournalKeypad::Running) {
        if (!settings.captured) {
            firmware::RemoveUpgradeJournal();
            c.err << "orvexctl: resume: the keypad runs its firmware again; its settings were not "
                     "read before the upgrade, so there is nothing to send back\n";
            return EXIT_OK;
        }
        // Another keypad on the journal's port, or named by mistake, would
        // lose its serial number and settings.
        if (!named && !firmware::OpenJournalKeypad(*journal, status))
            return c.fail(EXIT_NO_KEYPAD, "resume: the keypad of the unfinished upgrade (" + which +
                                              ") is no longer attached");
        CloseDevice();
        if (!force && !firmware::KeypadMayTakeJournal(*journal, status))
            return c.fail(EXIT_USAGE,
                          "resume: " + firmware::JournalKeypadMismatch(*journal, status) +
                              "; nothing was sent. Add --force to send that "
                              "keypad's serial number and settings to this one");
        c.err << "orvexctl: resume: sending the settings kept for " << which << " back\n";
        return restoreSettings(c, "resume", settings, true);
    }

    // Still in its loader: the journal names its port, so it is the keypad's.
    if (args.empty())
        return c.fail(EXIT_USAGE, "resume: the keypad (" + which +
                                      ") is still in its loader; give the image to download: "
                                      "orvexctl resume IMAGE");
    FirmwareImage image;
    if (int rc = checkImage(c, "resume", args[0], image))
        return rc;
    const std::string sha = firmware::Sha256Of(image.text);
    if (!journal->imageSha256.empty() && sha != journal->imageSha256)
        c.err << "orvexctl: resume: " << image.path
              << " is not the image of the interrupted upgrade (its SHA-256 differs); "
                 "downloading it all the same\n";
    ids.usbPort = settings.usbPort;
    if (ids.usbPort.empty()) {
        // Found alone on the bus a moment ago; it may have gone since.
        const firmware::UpgradeTarget loader =
            firmware::ChooseUpgradeTarget(ids, firmware::TargetSource::AttachedLoader);
        if (!loader.refusal.empty())
            return c.fail(EXIT_NO_KEYPAD, "resume: the keypad's loader (" + which +
                                              ") is no longer the one loader attached");
        ids.usbPort = loader.usbPort;
    }
    firmware::UpgradePlan plan;
    if (int rc = planUpgrade(c, "resume", settings.serialNumber, allowMassErase, plan))
        return rc;
    journal->imagePath = image.path;
    journal->imageSha256 = sha;
    if (std::string why; !firmware::WriteUpgradeJournal(*journal, why))
        return c.fail(EXIT_FILE, "resume: " + why + "; nothing was sent");
    if (int rc = runUpgrade(c, "resume", ids, plan, image))
        return rc;
    return restoreSettings(c, "resume", settings, true);
}

} // namespace orvex::cli
