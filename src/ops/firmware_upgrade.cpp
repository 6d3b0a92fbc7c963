#include "ops/firmware_upgrade.h"

#include <algorithm>

#include "bsl/bsl430.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_presence.h"
#include "ops/keypad_identity_rules.h"
#include "platform/clock.h"

namespace orvex::ops {

using firmware::JournalKeypad;
using State = UnfinishedUpgrade::State;

namespace {

constexpr const char* kCommandLine = "orvexctl";

std::string describeKeypad(const firmware::KeypadSettingsHandOver& s) {
    return "keypad " + PrintableSerial(s.serialNumber) + ", USB port " +
           (s.usbPort.empty() ? std::string("unknown") : PrintableText(s.usbPort));
}

firmware::KeypadSettingsHandOver settingsOf(const DeviceStatus& s) {
    firmware::KeypadSettingsHandOver h;
    h.captured = true;
    h.keypad_table = s.keypadType;
    h.led_brightness = s.ledBrightness;
    h.buzzer_enable = s.buzzer;
    h.buzzer_period = s.buzzerPeriodIndex();
    h.no_of_keys = s.options;
    std::copy_n(s.keyCodes.begin(), h.key_codes.size(), h.key_codes.begin());
    h.serialNumber = s.serialNumber;
    return h;
}

// Waits for the loader (on its port, when known) after EnterBootloader.
bool waitForLoader(const firmware::LoaderIds& ids) {
    for (int waited = 0; waited <= 10000; waited += 100) {
        uint16_t vid = 0, pid = 0;
        if (ids.Numbers(vid, pid) && bsl::CountDevicesOnPort(vid, pid, ids.usbPort) > 0)
            return true;
        sleep_ms(100);
    }
    return false;
}

} // namespace

std::string LoneLoaderQuestion() {
    return "No keypad is open, but an MSP430 USB bootstrap loader (USB 2047:0200) is attached. "
           "Any MSP430 device in its loader looks like this. Is it your keypad, left in its "
           "loader by an interrupted upgrade? Only then may it be programmed.";
}

std::string UnfinishedUpgrade::absentText() const {
    return "An upgrade of the keypad with serial number " +
           PrintableSerial(journal.settings.serialNumber) + " has not finished (" +
           firmware::UpgradeJournalPath() +
           "). Plug that keypad in and press the button again, or remove the file to give the "
           "upgrade up..";
}

bool OpensRunningKeypadFirst(bool keypadNamed) {
    return keypadNamed || !KeypadCommandPaths().empty() ||
           firmware::LoaderUsbPorts(firmware::LoaderIds::FromResources()).empty();
}

std::string UnfinishedUpgrade::which() const {
    return describeKeypad(journal.settings);
}

UnfinishedUpgrade FindUnfinishedUpgrade() {
    UnfinishedUpgrade u;
    std::optional<firmware::UpgradeJournal> journal = firmware::ReadUpgradeJournal(u.text);
    if (!journal) {
        u.state = u.text.empty() ? State::None : State::Unreadable;
        return u;
    }
    u.journal = std::move(*journal);
    switch (firmware::FindJournalKeypad(u.journal, firmware::LoaderIds::FromResources())) {
    case JournalKeypad::Absent:
        u.state = State::Absent;
        break;
    case JournalKeypad::InLoader:
        u.state = State::InLoader;
        break;
    case JournalKeypad::Running:
        u.state = State::Running;
        // Its firmware was never touched: nothing is left to finish.
        if (!u.journal.downloadStarted) {
            firmware::RemoveUpgradeJournal();
            u.state = State::None;
        }
        break;
    }
    return u;
}

std::string DescribeUnfinishedUpgrade(const std::string& hint) {
    std::string error;
    const auto journal = firmware::ReadUpgradeJournal(error);
    if (!journal)
        return "unfinished upgrade: " + (error.empty() ? std::string("none") : error) + "\n";
    return "unfinished upgrade: " + firmware::UpgradeJournalPath() + hint + "\n" +
           firmware::DescribeUpgradeJournal(*journal, "    ");
}

std::string UnfinishedUpgradeSerialNumber() {
    std::string ignored;
    const auto journal = firmware::ReadUpgradeJournal(ignored);
    return journal ? journal->settings.serialNumber : std::string();
}

FirmwareUpgrade::~FirmwareUpgrade() = default;

std::string FirmwareUpgrade::which() const {
    return describeKeypad(journal_.settings);
}

KeypadIdentity FirmwareUpgrade::keypad() const {
    return {journal_.settings.serialNumber, ids_.usbPort};
}

Result FirmwareUpgrade::takeLock(const std::string& program) {
    if (lock_)
        return {};
    std::string refusal;
    lock_ = firmware::UpgradeLock::Acquire(program, refusal);
    if (!lock_)
        return Fail(Outcome::Busy, refusal);
    return {};
}

Result FirmwareUpgrade::planLoaderOnly(const std::string& program) {
    if (Result r = takeLock(program); !r.ok())
        return r;
    plan_.images = firmware::BuiltInLoaderImages().value_or(firmware::LoaderImages{});
    return {};
}

Result FirmwareUpgrade::planPassword(const firmware::LoaderFolders& folders,
                                     const std::string& serial, int reporting) {
    const std::string trusted = PasswordSerial(serial, reporting);
    std::string why;
    if (!firmware::PlanUpgrade(folders, trusted, plan_, why))
        return Fail(Outcome::FileError, why);
    if (!plan_.needsConsent)
        return {};
    const std::string own = firmware::SerialFolderName(trusted);
    const std::string where = folders.user + "/" + (own.empty() ? "SERIAL" : own);
    Question q{
        firmware::MassEraseQuestion(folders, trusted, plan_), false, "--allow-mass-erase", {}};
    q.withoutFlag = plan_.massEraseFirst
                        ? std::string("no password image (") + firmware::kPasswordFile +
                              ") is known for this keypad, so its loader would mass-erase it "
                              "first; put its password into " +
                              where + " or add --allow-mass-erase"
                        : "the password image " + plan_.passwordFile +
                              " is not known to match this keypad, and its loader mass-erases "
                              "it when it does not; put the keypad's own password into " +
                              where + " or add --allow-mass-erase";
    questions_.push_back(std::move(q));
    return {};
}

Result FirmwareUpgrade::begin(const UpgradeRequest& request) {
    if (Result r = takeLock(request.program); !r.ok())
        return r;
    // An interrupted upgrade is finished before another starts; the window
    // may replace it by an upgrade of the same keypad once the user said No.
    unfinished_ = FindUnfinishedUpgrade();
    if (unfinished_.state == State::Unreadable)
        return Fail(Outcome::FileError, unfinished_.text);
    const bool replaceable = request.unfinishedDeclined && unfinished_.state != State::Absent;
    if (unfinished_.state != State::None && !replaceable) {
        const std::string serial = PrintableSerial(unfinished_.journal.settings.serialNumber);
        if (request.program == kCommandLine)
            return Fail(Outcome::Refused, "an upgrade that has not finished is recorded in " +
                                              firmware::UpgradeJournalPath() + " (keypad " +
                                              serial +
                                              "); finish it with `orvexctl resume` first, or "
                                              "remove the file to give it up");
        return Fail(Outcome::Refused,
                    "An upgrade of the keypad with serial number " + serial +
                        " has not finished (" + firmware::UpgradeJournalPath() +
                        "). Plug that keypad in and press the button again, or remove the file "
                        "to give the upgrade up..");
    }
    begun_ = true;
    return {};
}

Result FirmwareUpgrade::plan(const UpgradeRequest& request) {
    if (!begun_)
        if (Result r = begin(request); !r.ok())
            return r;
    questions_.clear();
    restoreWanted_ = request.restoreWanted;
    const UnfinishedUpgrade& unfinished = unfinished_;

    target_ = firmware::ChooseUpgradeTarget(ids_,
                                            request.recover ? firmware::TargetSource::AttachedLoader
                                                            : firmware::TargetSource::OpenKeypad,
                                            request.loaderPath);
    if (!target_.refusal.empty())
        return Fail(target_.nothingAttached ? Outcome::NoKeypad : Outcome::Refused,
                    target_.refusal);
    ids_.usbPort = target_.usbPort;
    // With --recover the user has said so already.
    if (target_.unnamedLoader && !request.recover)
        questions_.push_back({LoneLoaderQuestion(), false, "--recover",
                              "no keypad is attached, only an MSP430 USB bootstrap loader (USB "
                              "2047:0200) that may belong to another device; if it is the "
                              "keypad's, left by an interrupted upgrade, add --recover"});

    firmware::KeypadSettingsHandOver settings;
    std::string serial;
    int reporting = 0;
    if (target_.enterBootloader) {
        settings = request.settings;
        if (request.readSettings) {
            DeviceStatus s;
            if (ReadDeviceStatus(s) == 0) {
                settings = settingsOf(s);
            } else if (request.restoreWanted) {
                return Fail(Outcome::KeypadFailed,
                            "the keypad's status cannot be read, so its settings could not be "
                            "sent back after the upgrade; nothing was sent (add --no-restore to "
                            "upgrade without them)");
            }
        }
        serial = settings.serialNumber;
        keypad_ = OpenKeypadIdentity();
        // A serial number another attached keypad reports too names neither.
        if (!PrintableSerial(serial, "").empty() && KeypadCommandPaths().size() > 1) {
            reporting = KeypadsReportingSerial(serial);
            if (!RescanForKeypad(keypad_, false))
                return Fail(Outcome::NoKeypad, kKeypadUnpluggedText);
            DeviceStatus again;
            if (ReadDeviceStatus(again) == 0 && again.serialNumber != keypad_.serialNumber)
                return Fail(Outcome::OtherKeypad, kKeypadUnpluggedText);
            keypad_ = OpenKeypadIdentity();
        }
    }
    settings.captured = settings.captured && request.restoreWanted && target_.enterBootloader;
    settings.usbPort = ids_.usbPort;
    if (unfinished.state != State::None) {
        // Replacing the journal of another keypad would lose what it needs.
        const std::string& old = unfinished.journal.settings.usbPort;
        if (!old.empty() && old != ids_.usbPort)
            return Fail(Outcome::Refused,
                        "An upgrade of the keypad with serial number " +
                            PrintableSerial(unfinished.journal.settings.serialNumber) +
                            " has not finished (" + firmware::UpgradeJournalPath() +
                            "). Plug that keypad in and press the button again, or remove the "
                            "file to give the upgrade up..");
    }

    if (request.confirm)
        questions_.push_back({kUpgradeQuestion, false, "", ""});
    if (Result r = planPassword(request.folders, serial, reporting); !r.ok())
        return r;

    journal_ = {};
    journal_.settings = settings;
    journal_.program = request.program;
    journal_.startedAt = firmware::UtcNowText();
    journaled_ = true;
    newJournal_ = true;
    return {};
}

Result FirmwareUpgrade::planResume(const ResumeRequest& request) {
    if (Result r = takeLock(request.program); !r.ok())
        return r;
    questions_.clear();
    UnfinishedUpgrade u = FindUnfinishedUpgrade();
    if (u.state == State::Unreadable)
        return Fail(Outcome::FileError, u.text);
    if (u.state == State::None)
        return Fail(Outcome::Refused,
                    "no unfinished upgrade is recorded (" + firmware::UpgradeJournalPath() + ")");
    journal_ = u.journal;
    journaled_ = true;
    newJournal_ = false;
    firmware::KeypadSettingsHandOver& settings = journal_.settings;
    const std::string serial = PrintableSerial(settings.serialNumber);

    // A keypad in its loader on the journal's port keeps its journal whatever
    // keypad the user names: only the image finishes it.
    if (u.state != State::InLoader && request.named) {
        settings.usbPort = request.named->usbPort;
        u.state = State::Running;
    }
    if (u.state == State::Absent)
        return Fail(Outcome::NoKeypad, "the keypad of the unfinished upgrade (" + which() +
                                           ") is attached neither running nor in its loader");

    if (u.state == State::Running) {
        settingsOnly_ = true;
        if (!settings.captured) {
            firmware::RemoveUpgradeJournal();
            nothingToDo_ = true;
            notice_ = "the keypad runs its firmware again; its settings were not read before "
                      "the upgrade, so there is nothing to send back";
            return {};
        }
        // The restore reopens the keypad by its port, then by the serial
        // number it sends: neither may mistake another keypad for it.
        if (!KeypadCanBeFoundAgain({SerialIdentifiesNobody(settings.serialNumber)
                                        ? std::string()
                                        : settings.serialNumber,
                                    settings.usbPort}))
            return Fail(Outcome::Refused, kKeypadNotToldApartText);
        std::optional<DeviceStatus> status;
        if (!firmware::OpenJournalKeypad(journal_, status)) {
            CloseDevice();
            return Fail(Outcome::NoKeypad, "the keypad of the unfinished upgrade (" + which() +
                                               ") is no longer attached");
        }
        CloseDevice();
        if (firmware::KeypadMayTakeJournal(journal_, status)) {
            questions_.push_back({"An upgrade of the keypad with serial number " + serial +
                                      " was interrupted before its settings were sent back. "
                                      "Send them back now?",
                                  false, "", ""});
        } else {
            const std::string mismatch = firmware::JournalKeypadMismatch(journal_, status);
            questions_.push_back({mismatch + ". Send serial number " + serial +
                                      " and the settings of that keypad to this one, replacing "
                                      "what it holds?",
                                  false, "--force",
                                  mismatch + "; nothing was sent. Add --force to send that "
                                             "keypad's serial number and settings to this one"});
        }
        return {};
    }

    // In its loader. This run did not send it there: any MSP430 device in
    // its loader on that port looks the same, so the user says it is the
    // keypad's, even where a password is kept for its serial number.
    settingsOnly_ = false;
    if (!request.image && !request.imageLater)
        return Fail(Outcome::Refused, "the keypad (" + which() +
                                          ") is still in its loader; give the image to "
                                          "download: orvexctl resume IMAGE");
    if (request.imageLater)
        questions_.push_back({"An upgrade of the keypad with serial number " + serial +
                                  " was interrupted and the keypad is still in its bootstrap "
                                  "loader. Open the firmware upgrade window to download an "
                                  "image and send its settings back?",
                              false, "", ""});
    questions_.push_back(
        {"An MSP430 USB bootstrap loader (USB 2047:0200) is attached where the keypad with "
         "serial number " +
             serial +
             " was left by the interrupted upgrade. Any MSP430 device in its loader looks like "
             "this. Is it that keypad? Only then may it be programmed.",
         false, "--recover",
         "the MSP430 USB bootstrap loader of the unfinished upgrade (" + which() +
             ") was not sent there by this run and may belong to another device; if it is the "
             "keypad's, add --recover"});
    ids_.usbPort = settings.usbPort;
    if (request.image && !journal_.imageSha256.empty() &&
        firmware::Sha256Of(request.image->text) != journal_.imageSha256)
        notice_ = request.image->path +
                  " is not the image of the interrupted upgrade (its SHA-256 differs); "
                  "downloading it all the same";
    // Its keypad is in its loader: any running keypad reporting its serial
    // number shares it.
    const int reporting = PrintableSerial(settings.serialNumber, "").empty()
                              ? 0
                              : 1 + KeypadsReportingSerial(settings.serialNumber);
    return planPassword(request.folders, settings.serialNumber, reporting);
}

bool FirmwareUpgrade::writeJournal(std::string& why) {
    return firmware::WriteUpgradeJournal(journal_, why);
}

bool FirmwareUpgrade::keypadLeftInLoader() const {
    if (!journaled_ || journal_.downloadStarted)
        return false;
    uint16_t vid = 0, pid = 0;
    return ids_.Numbers(vid, pid) && bsl::CountDevicesOnPort(vid, pid, ids_.usbPort) > 0;
}

Result FirmwareUpgrade::afterQuestions() {
    if (!journaled_ || newJournal_ || settingsOnly_ || !journal_.settings.usbPort.empty())
        return {};
    // A journal without a port: its loader was found alone on the bus before
    // the questions; it may have gone since, and another is not guessed at.
    const firmware::UpgradeTarget loader =
        firmware::ChooseUpgradeTarget(ids_, firmware::TargetSource::AttachedLoader);
    if (!loader.refusal.empty())
        return Fail(Outcome::NoKeypad, loader.refusal);
    ids_.usbPort = loader.usbPort;
    return {};
}

Result FirmwareUpgrade::enterLoader(bool waitForIt) {
    if (target_.enterBootloader) {
        // Pulled out or swapped while the questions were up: nothing is sent.
        if (!OpenedKeypadAttached() || OpenKeypadIdentity() != keypad_)
            return Fail(Outcome::NoKeypad, kKeypadUnpluggedText);
    }
    // What the restore needs is on disk before the keypad leaves.
    if (journaled_ && newJournal_) {
        if (std::string why; !writeJournal(why))
            return Fail(Outcome::FileError, "The firmware upgrade cannot start: " + why + "..");
    }
    if (!target_.enterBootloader)
        return {};
    // The keypad restarts into its loader, usually before it can answer.
    const bool answered = SendDeviceCommand(EnterBootloader) == LINK_OK;
    if (!waitForIt)
        return answered ? Result{} : Fail(Outcome::NoKeypad, "");
    CloseDevice();
    if (!waitForLoader(ids_))
        return Fail(Outcome::NoKeypad, "no bootstrap loader appeared (USB 2047:0200)");
    return {};
}

Result FirmwareUpgrade::download(const FirmwareImage& image,
                                 const firmware::ProgressReport& progress) {
    if (journaled_) {
        journal_.imagePath = image.path;
        journal_.imageSha256 = firmware::Sha256Of(image.text);
        journal_.downloadStarted = true;
        // Without this record a keypad that runs again would look untouched
        // and its settings would be given up.
        if (std::string why; !writeJournal(why)) {
            progress(0, "The firmware upgrade cannot start: " + why + "..\r\n");
            return Fail(Outcome::FileError, why);
        }
    }
    firmware::UpgradeSequence upgrade(progress, ids_, plan_.images);
    upgrade.keepPasswordAs = plan_.keepPasswordAs;
    if (!upgrade.Run(image))
        return Fail(Outcome::VerifyFailed, upgrade.FailureText());
    return {};
}

Result FirmwareUpgrade::restore() {
    Result result;
    if (!journaled_) {
        (void)firmware::RestoreSettingsAfterUpgrade({});
    } else if (!journal_.settings.captured && !restoreWanted_) {
        firmware::RemoveUpgradeJournal(); // nothing was to go back
    } else {
        switch (firmware::RestoreSettingsAfterUpgrade(journal_.settings)) {
        case firmware::RestoreResult::Restored:
        case firmware::RestoreResult::NothingCaptured: // the user was told why
            firmware::RemoveUpgradeJournal();
            break;
        case firmware::RestoreResult::KeypadMissing:
            result = Fail(Outcome::NoKeypad, "");
            break;
        case firmware::RestoreResult::Stopped:
            result = Fail(Outcome::KeypadFailed, "");
            break;
        }
    }
    // Over: other changes (a resume of this one too) may run.
    lock_.reset();
    return result;
}

Result FirmwareUpgrade::run(const Answer& answer, const FirmwareImage& image,
                            const firmware::ProgressReport& progress) {
    if (!AskAll(questions_, answer))
        return Fail(Outcome::Declined, "");
    if (nothingToDo_)
        return {};
    if (Result r = afterQuestions(); !r.ok())
        return r;
    if (!settingsOnly_) {
        if (Result r = enterLoader(true); !r.ok())
            return r;
        if (Result r = download(image, progress); !r.ok())
            return r;
    }
    return restore();
}

} // namespace orvex::ops
