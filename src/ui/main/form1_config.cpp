// Form1's configuration-file actions.

#include "ui/main/form1.h"

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
void restoreTypeList(Form1& f) {
    if (f.prev_keypadType_index >= 0 && f.prev_keypadType_index < f.keypadTypeCbox->count())
        f.keypadTypeCbox->setCurrentIndex(f.prev_keypadType_index);
}

} // namespace

void Form1::PrepareConfigFile() {
    PrepareConfigFileAt(userDataFolder());
}

void Form1::SaveToConfigFile() {
    if (GetDeviceStatusMessage() != 0) {
        showWarning("Unable to Save Config file.");
        return;
    }
    ConfigSnapshot s;
    s.keypadType = prev_keypadType_index;
    s.ledBrightness = prev_ledBrightness_index;
    s.jackLedBrightness = prev_jackLedBrightness_index;
    s.buzzer = prev_buzzer_index;
    s.buzzerPeriodIndex = prev_buzzerPeriod_index;
    s.options = prev_options_fitted;
    std::copy_n(keyCodeArray.begin(), s.codeTable.size(), s.codeTable.begin());
    s.serialNumber = serialNumber;
    SaveSnapshot(s);
}

void Form1::button3_Click() {
    try {
        if (load_data_from_file(FileName) == RestoreResult::Stopped)
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

void Form1::importCfgFileToolStripMenuItem_Click() {
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
        if (load_data_from_file(*chosen) == RestoreResult::Stopped)
            restoreTypeList(*this);
        if (!CopyFileReplacing(*chosen, FileName))
            showWarning("Failed to copy the new file.");
    } catch (const std::exception&) {
        showWarning("Exception :Failed to copy the new file.");
    }
}

void Form1::exportCfgFileToolStripMenuItem_Click() {
    try {
        const auto folder =
            prompter().pickFolder("Select Folder - To Copy The USBUtilityCfg.ini File");
        if (!folder) {
            showWarning("Unable to save the cfg file.");
            return;
        }
        const std::string target = (fs::path(*folder) / kExchangeFileName).string();
        std::error_code ec;
        if (fs::exists(target, ec) && !fs::is_directory(target, ec) &&
            !askYesNo("USBUtilityCfg.ini file already exists. Do you want to overwrite it?",
                      "Save USBUtilityCfg File"))
            return;
        if (!CopyFileReplacing(FileName, target))
            showWarning("Failed to export the file");
    } catch (const std::exception&) {
        showWarning("Exception :Unable to save cfg file.");
    }
}

} // namespace orvex
