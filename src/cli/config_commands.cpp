// orvexctl commands over the configuration file: save, restore, export, import.

#include <algorithm>
#include <filesystem>

#include "cli/cli_common.h"
#include "config/ini_file.h"
#include "config/utility_config.h"
#include "device/hid_link.h"

namespace orvex::cli {

namespace {

namespace fs = std::filesystem;

// The restore shared by `restore` and `import`; a file it cannot read sends
// nothing and is a file error, as an image that is not one is for flash.
int restoreFrom(const Context& c, const std::string& file, const char* name) {
    try {
        switch (load_data_from_file(file)) {
        case RestoreResult::Restored:
            return EXIT_OK;
        case RestoreResult::NotSaved:
            return c.fail(EXIT_FILE, std::string(name) + ": " + file +
                                         " holds no saved settings (FirstUp is not Yes)");
        case RestoreResult::Stopped:
        case RestoreResult::TableRefused:
            return c.fail(EXIT_REFUSED, std::string(name) + ": the keypad refused a setting");
        case RestoreResult::NotToldApart:
            return c.fail(EXIT_USAGE, std::string(name) + ": nothing was sent");
        case RestoreResult::KeypadMissing:
            return c.fail(EXIT_NO_KEYPAD, std::string(name) +
                                              ": the keypad did not come back after its factory "
                                              "reset; no other keypad was changed");
        }
    } catch (const ConfigValueError& e) {
        return c.fail(EXIT_FILE, std::string(name) + ": " + e.what());
    } catch (const IniFormatError& e) {
        return c.fail(EXIT_FILE, std::string(name) + ": " + file + " line " +
                                     std::to_string(e.line()) + " has no closing bracket");
    }
    return EXIT_REFUSED;
}

} // namespace

int CmdSave(const Context& c, const std::vector<std::string>& a) {
    if (!a.empty())
        return c.fail(EXIT_USAGE, "save: takes no arguments");
    std::unique_ptr<ops::ChangeLock> lock;
    if (int rc = holdChangeLock(c, "save", lock))
        return rc;
    if (int rc = openKeypad(c))
        return rc;
    if (SendDeviceCommand(WriteDefaults) != LINK_OK)
        return c.fail(EXIT_REFUSED, "save: the keypad refused to store its settings");
    DeviceStatus s;
    if (int rc = readStatus(c, s))
        return rc;
    prepareConfig(c);
    if (FileName.empty())
        return c.fail(EXIT_FILE, "save: no data folder for the configuration file");
    ConfigSnapshot snap;
    snap.keypadType = s.keypadType;
    snap.ledBrightness = s.ledBrightness;
    snap.jackLedBrightness = s.jackLedBrightness;
    snap.buzzer = s.buzzer;
    snap.buzzerPeriodIndex = s.buzzerPeriodIndex();
    snap.options = s.options;
    std::copy_n(s.keyCodes.begin(), snap.codeTable.size(), snap.codeTable.begin());
    snap.serialNumber = s.serialNumber;
    if (!SaveSnapshot(snap))
        return c.fail(EXIT_FILE, "save: could not write " + FileName);
    c.out << "saved to " << FileName << "\n";
    return EXIT_OK;
}

int CmdRestore(const Context& c, const std::vector<std::string>& a) {
    if (a.size() > 1)
        return c.fail(EXIT_USAGE, "restore: expected at most one FILE");
    prepareConfig(c);
    const std::string file = a.empty() ? FileName : a[0];
    std::error_code ec;
    if (file.empty() || !fs::is_regular_file(file, ec))
        return c.fail(EXIT_FILE, "restore: no configuration file '" + file + "'");
    std::unique_ptr<ops::ChangeLock> lock;
    if (int rc = holdChangeLock(c, "restore", lock))
        return rc;
    if (int rc = openKeypad(c, Pick::OnlyOne))
        return rc;
    return restoreFrom(c, file, "restore");
}

int CmdExport(const Context& c, const std::vector<std::string>& a) {
    bool force = false;
    std::vector<std::string> rest;
    for (const auto& arg : a) {
        if (arg == "--force")
            force = true;
        else
            rest.push_back(arg);
    }
    if (rest.size() != 1)
        return c.fail(EXIT_USAGE, "export: expected DIR");
    std::error_code ec;
    if (!fs::is_directory(rest[0], ec))
        return c.fail(EXIT_USAGE, "export: '" + rest[0] + "' is not a folder");
    prepareConfig(c);
    if (!fs::is_regular_file(FileName, ec))
        return c.fail(EXIT_FILE, "export: no configuration file to export");
    const std::string target = (fs::path(rest[0]) / kExchangeFileName).string();
    // A link there counts as a file, even one pointing nowhere; --force
    // replaces the link itself, never what it points to.
    if (PathIsTaken(target) && !force)
        return c.fail(EXIT_FILE, "export: " + target + " already exists (use --force)");
    if (!ExportCopy(FileName, target))
        return c.fail(EXIT_FILE, "export: could not write " + target);
    c.out << "exported to " << target << "\n";
    return EXIT_OK;
}

int CmdImport(const Context& c, const std::vector<std::string>& a) {
    if (a.size() != 1)
        return c.fail(EXIT_USAGE, "import: expected FILE");
    // A backup of any name; it becomes the configuration file under its own name.
    const std::string& file = a[0];
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        return c.fail(EXIT_FILE, "import: cannot read '" + file + "'");
    try {
        if (!CIniFile::SectionExists(kConfigSection, file))
            return c.fail(EXIT_FILE, "import: no [appSettings] section in " + file);
        // Nothing to send, and copying it would empty the saved settings.
        if (GetSettings("FirstUp", file) != "Yes")
            return c.fail(EXIT_FILE, "import: " + file +
                                         " holds no saved settings (FirstUp is not Yes); "
                                         "nothing sent, nothing copied");
    } catch (const IniFormatError& e) {
        return c.fail(EXIT_FILE, "import: " + file + " line " + std::to_string(e.line()) +
                                     " has no closing bracket");
    }
    prepareConfig(c);
    std::unique_ptr<ops::ChangeLock> lock;
    if (int rc = holdChangeLock(c, "import", lock))
        return rc;
    if (int rc = openKeypad(c, Pick::OnlyOne))
        return rc;
    if (int rc = restoreFrom(c, file, "import"); rc != EXIT_OK)
        return rc; // an unreadable or refused file is not copied
    if (!CopyConfigFile(file, FileName))
        return c.fail(EXIT_FILE, "import: could not replace " + FileName);
    return EXIT_OK;
}

} // namespace orvex::cli
