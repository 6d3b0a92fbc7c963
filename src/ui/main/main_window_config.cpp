// MainWindow's configuration-file actions.

#include "ui/main/main_window.h"

#include <QComboBox>
#include <QStandardPaths>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "config/ini_file.h"
#include "config/utility_config.h"
#include "platform/prompter.h"

namespace orvex {

namespace {

namespace fs = std::filesystem;

// The per-user data folder (XDG data home on Linux); empty when unknown.
std::string userDataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
}

// A stopped restore puts the keypad-type list back on the remembered entry.
void restoreTypeList(MainWindow& f) {
    if (f.lastKeypadType >= 0 && f.lastKeypadType < f.keypadTypeList->count())
        f.keypadTypeList->setCurrentIndex(f.lastKeypadType);
}

} // namespace

void MainWindow::PrepareConfigFile() {
    PrepareConfigFileAt(userDataFolder());
}

void MainWindow::SaveToConfigFile() {
    if (GetDeviceStatusMessage() != 0) {
        showWarning("Unable to Save Config file.");
        return;
    }
    ConfigSnapshot s;
    s.keypadType = lastKeypadType;
    s.ledBrightness = lastLedBrightness;
    s.jackLedBrightness = lastJackLedBrightness;
    s.buzzer = lastBuzzer;
    s.buzzerPeriodIndex = lastBuzzerPeriodIndex;
    s.options = lastOptions;
    std::copy_n(lastKeyCodes.begin(), s.codeTable.size(), s.codeTable.begin());
    s.serialNumber = serialNumber;
    SaveSnapshot(s);
}

void MainWindow::restoreFromConfigFile() {
    try {
        if (const RestoreResult r = load_data_from_file(FileName);
            r == RestoreResult::Stopped || r == RestoreResult::KeypadMissing)
            restoreTypeList(*this);
    } catch (const ConfigValueError& e) {
        showWarning(e.what());
        restoreTypeList(*this);
    } catch (const IniFormatError& e) {
        showWarning("Unable to read the configuration file: line " + std::to_string(e.line()) +
                    " has no closing bracket..");
        restoreTypeList(*this);
    } catch (const std::exception& e) {
        showWarning(std::string("Unable to read the configuration file: ") + e.what());
        restoreTypeList(*this);
    }
    RefreshFromDevice();
}

void MainWindow::importConfigFile() {
    const auto chosen = prompter().openFile("", "(*.ini);;All files (*.ini)");
    if (!chosen)
        return;
    if (fs::path(*chosen).filename().string() != kExchangeFileName) {
        showWarning("Incorrect Filename.");
        return;
    }
    try {
        if (!CIniFile::SectionExists(kConfigSection, *chosen)) {
            showWarning("File is incorrect format.");
            return;
        }
        // The copy follows whatever the keypad made of the settings; only an
        // unreadable file (thrown before anything was sent) stops it.
        if (const RestoreResult r = load_data_from_file(*chosen);
            r == RestoreResult::Stopped || r == RestoreResult::KeypadMissing)
            restoreTypeList(*this);
        if (!CopyFileReplacing(*chosen, FileName))
            showWarning("Failed to copy the new file.");
    } catch (const std::exception&) {
        showWarning("Exception :Failed to copy the new file.");
    }
}

void MainWindow::exportConfigFile() {
    try {
        const auto folder =
            prompter().pickFolder("Select Folder - To Copy The USBUtilityCfg.ini File");
        if (!folder) {
            showWarning("Unable to save the cfg file.");
            return;
        }
        const std::string target = (fs::path(*folder) / kExchangeFileName).string();
        std::error_code ec;
        // A link there, even one pointing nowhere, is an existing file; Yes
        // replaces the link itself, never what it points to.
        if (PathIsTaken(target) && !fs::is_directory(fs::symlink_status(target, ec)) &&
            !askYesNo("USBUtilityCfg.ini file already exists. Do you want to overwrite it?",
                      "Save USBUtilityCfg File"))
            return;
        if (!ExportCopy(FileName, target))
            showWarning("Failed to export the file");
    } catch (const std::exception&) {
        showWarning("Exception :Unable to save cfg file.");
    }
}

} // namespace orvex
