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
#include "firmware/upgrade_sequence.h"
#include "ops/firmware_upgrade.h"

namespace orvex::cli {

namespace {

constexpr const char* kProgram = "orvexctl";

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

// The questions of the plan, answered by their flags; a missing flag refuses
// with what the flag would say.
ops::Answer flagAnswers(const Context& c, const char* name, const std::vector<std::string>& given) {
    return [&c, name, given](const ops::Question& q) {
        if (q.flag.empty() || std::find(given.begin(), given.end(), q.flag) != given.end())
            return true;
        c.fail(EXIT_USAGE,
               std::string(name) + ": " + (q.withoutFlag.empty() ? q.text : q.withoutFlag));
        return false;
    };
}

// The outcome as an exit code and, for a failure, its line.
int report(const Context& c, const char* name, const ops::Result& r) {
    const std::string prefix = std::string(name) + ": ";
    switch (r.outcome) {
    case ops::Outcome::Done:
        return EXIT_OK;
    case ops::Outcome::Declined:
        return EXIT_USAGE; // the missing flag has been named
    case ops::Outcome::Refused:
        return c.fail(EXIT_USAGE, prefix + r.text);
    case ops::Outcome::Busy:
        return c.fail(EXIT_REFUSED, prefix + r.text);
    case ops::Outcome::FileError:
        return c.fail(EXIT_FILE, prefix + r.text + "; nothing was sent");
    case ops::Outcome::OtherKeypad:
        return c.fail(EXIT_NO_KEYPAD, prefix + r.text);
    case ops::Outcome::NoKeypad:
        return c.fail(EXIT_NO_KEYPAD,
                      prefix + (r.text.empty()
                                    ? "the keypad did not come back after the upgrade; no other "
                                      "keypad was changed (`orvexctl resume` sends the settings "
                                      "when it is back)"
                                    : r.text));
    case ops::Outcome::KeypadFailed:
        return c.fail(EXIT_REFUSED,
                      prefix + (r.text.empty() ? "the keypad refused a setting of the restore "
                                                 "(`orvexctl resume` sends the settings again)"
                                               : r.text));
    case ops::Outcome::VerifyFailed:
        return c.fail(EXIT_VERIFY, prefix + r.text);
    }
    return EXIT_USAGE;
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

    // One change at a time, from the plan to the end of the restore.
    ops::FirmwareUpgrade upgrade;
    ops::UpgradeRequest request;
    request.program = kProgram;
    request.folders = firmware::LoaderFolders::ForDataHome(c.dataHome);
    request.recover = recover;
    request.loaderPath = c.path;
    request.restoreWanted = !noRestore;
    request.readSettings = true;
    if (ops::Result r = upgrade.begin(request); !r.ok())
        return report(c, "flash", r);
    if (recover) {
        // A keypad already in its loader: no running keypad is opened, so
        // none can be sent to its loader by mistake.
        if (!c.serial.empty())
            return c.fail(EXIT_USAGE, "flash: --recover programs a keypad in its loader, which "
                                      "reports no serial number; name its loader with --path "
                                      "(`orvexctl list` shows it)");
    } else if (ops::OpensRunningKeypadFirst(!c.serial.empty() || !c.path.empty())) {
        // A loader already attached may be the keypad's, left by an
        // interrupted upgrade, or another MSP430 device's: a running keypad
        // comes first.
        if (int rc = openKeypad(c, Pick::OnlyOne))
            return rc;
    }
    if (ops::Result r = upgrade.plan(request); !r.ok())
        return report(c, "flash", r);
    std::vector<std::string> given;
    if (allowMassErase)
        given.push_back("--allow-mass-erase");
    return report(c, "flash",
                  upgrade.run(flagAnswers(c, "flash", given), image,
                              [&c](int percent, const std::string& text) {
                                  printProgress(c, percent, text);
                              }));
}

int CmdResume(const Context& c, const std::vector<std::string>& a) {
    std::vector<std::string> args = a;
    const bool allowMassErase = takeFlag(args, "--allow-mass-erase");
    const bool force = takeFlag(args, "--force");
    const bool recover = takeFlag(args, "--recover");
    if (args.size() > 1)
        return c.fail(EXIT_USAGE,
                      "resume: expected [--allow-mass-erase] [--force] [--recover] [IMAGE]");

    ops::FirmwareUpgrade upgrade;
    if (ops::Result r = upgrade.takeLock(kProgram); !r.ok())
        return report(c, "resume", r);
    ops::ResumeRequest request;
    request.program = kProgram;
    request.folders = firmware::LoaderFolders::ForDataHome(c.dataHome);
    if (!args.empty()) {
        FirmwareImage image;
        if (int rc = checkImage(c, "resume", args[0], image))
            return rc;
        request.image = std::move(image);
    }
    if (!c.serial.empty() || !c.path.empty()) {
        // The user names the keypad: its settings go there, if it is the
        // upgraded one.
        if (int rc = openKeypad(c))
            return rc;
        const KeypadIdentity keypad = OpenKeypadIdentity();
        CloseDevice();
        if (!KeypadCanBeFoundAgain(keypad))
            return c.fail(EXIT_USAGE, std::string("resume: ") + kKeypadNotToldApartText);
        request.named = keypad;
    }
    if (ops::Result r = upgrade.planResume(request); !r.ok())
        return report(c, "resume", r);
    if (!upgrade.notice().empty())
        c.err << "orvexctl: resume: " << upgrade.notice() << "\n";
    if (upgrade.nothingToDo())
        return EXIT_OK;
    std::vector<std::string> given;
    if (allowMassErase)
        given.push_back("--allow-mass-erase");
    if (force)
        given.push_back("--force");
    if (recover)
        given.push_back("--recover");
    if (upgrade.settingsOnly())
        c.err << "orvexctl: resume: sending the settings kept for " << upgrade.which() << " back\n";
    return report(c, "resume",
                  upgrade.run(flagAnswers(c, "resume", given),
                              request.image.value_or(FirmwareImage{}),
                              [&c](int percent, const std::string& text) {
                                  printProgress(c, percent, text);
                              }));
}

} // namespace orvex::cli
