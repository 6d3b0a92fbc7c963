// orvexctl commands over the configuration file: save, restore, export, import.

#include <filesystem>

#include "cli/cli_common.h"
#include "config/ini_file.h"
#include "config/utility_config.h"
#include "ops/keypad_changes.h"

namespace orvex::cli {

namespace {

namespace fs = std::filesystem;

// The restore shared by `restore` and `import`, with the lock taken and the
// keypad open; a file it cannot read sends nothing and is a file error, as an
// image that is not one is for flash.
int restoreFrom(const Context& c, ops::SettingsRestore& restore, const std::string& file,
                const char* name) {
    const std::string prefix = std::string(name) + ": ";
    try {
        if (ops::Result r = restore.plan("orvexctl", file); !r.ok())
            return c.fail(r.outcome == ops::Outcome::Busy ? EXIT_REFUSED : EXIT_USAGE,
                          prefix + r.text);
    } catch (const ConfigValueError& e) {
        return c.fail(EXIT_FILE, prefix + e.what());
    } catch (const IniFormatError& e) {
        return c.fail(EXIT_FILE, prefix + file + " line " + std::to_string(e.line()) +
                                     " has no closing bracket");
    }
    if (restore.nothingSaved())
        return c.fail(EXIT_FILE, prefix + file + " holds no saved settings (FirstUp is not Yes)");
    const ops::Result r = restore.run();
    switch (r.outcome) {
    case ops::Outcome::Done:
        return EXIT_OK;
    case ops::Outcome::NoKeypad:
        return c.fail(EXIT_NO_KEYPAD, prefix + r.text);
    default:
        return c.fail(EXIT_REFUSED, prefix + r.text);
    }
}

} // namespace

int CmdSave(const Context& c, const std::vector<std::string>& a) {
    if (!a.empty())
        return c.fail(EXIT_USAGE, "save: takes no arguments");
    prepareConfig(c);
    if (FileName.empty())
        return c.fail(EXIT_FILE, "save: no data folder for the configuration file");
    ops::SaveSettings save;
    if (int rc = takeLock(c, save, "save"))
        return rc;
    if (int rc = openKeypad(c))
        return rc;
    (void)save.plan("orvexctl");
    if (const ops::Result r = save.run(); !r.ok()) {
        switch (save.failedAt()) {
        case ops::SaveSettings::Step::WriteDefaults:
            return c.fail(EXIT_REFUSED, "save: the keypad refused to store its settings");
        case ops::SaveSettings::Step::FileWrite:
            return c.fail(EXIT_FILE, "save: could not write " + FileName);
        default:
            return c.fail(EXIT_REFUSED, "unable to read the keypad's status");
        }
    }
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
    ops::SettingsRestore restore("restore");
    if (int rc = takeLock(c, restore, "restore"))
        return rc;
    if (int rc = openKeypad(c, Pick::OnlyOne))
        return rc;
    return restoreFrom(c, restore, file, "restore");
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
    ops::SettingsRestore restore("import");
    if (int rc = takeLock(c, restore, "import"))
        return rc;
    if (int rc = openKeypad(c, Pick::OnlyOne))
        return rc;
    if (int rc = restoreFrom(c, restore, file, "import"); rc != EXIT_OK)
        return rc; // an unreadable or refused file is not copied
    if (!CopyConfigFile(file, FileName))
        return c.fail(EXIT_FILE, "import: could not replace " + FileName);
    return EXIT_OK;
}

} // namespace orvex::cli
