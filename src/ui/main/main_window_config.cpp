// MainWindow's configuration-file actions.

#include "ui/main/main_window.h"

#include <QComboBox>
#include <QStandardPaths>
#include <QStatusBar>

#include <filesystem>
#include <optional>
#include <system_error>

#include "config/ini_file.h"
#include "config/utility_config.h"
#include "device/keypad_presence.h"
#include "platform/prompter.h"
#include "ui/common/busy_guard.h"

namespace orvex {

namespace {

namespace fs = std::filesystem;

// The per-user data folder (XDG data home on Linux); empty when unknown.
std::string userDataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
}

QString fromBytes(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
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

QString MainWindow::RestoredText() {
    return QStringLiteral("Settings restored from the configuration file.");
}

QString MainWindow::ExportedText(const QString& path) {
    return QStringLiteral("Exported to %1.").arg(path);
}

QString MainWindow::ImportedText(const QString& path, bool settingsSent) {
    return settingsSent ? QStringLiteral("Imported from %1.").arg(path)
                        : QStringLiteral("Imported from %1. It holds no saved settings, so "
                                         "nothing was sent to the keypad.")
                              .arg(path);
}

QString MainWindow::ImportedNotSentText(const QString& path) {
    return QStringLiteral("Imported from %1. The keypad was busy, so nothing was sent to it.")
        .arg(path);
}

bool MainWindow::SaveToConfigFile() {
    ops::SaveSettings save;
    if (!Planned(save.plan(kProgramName)))
        return false;
    return ShowSaveOutcome(save, save.storeSnapshot());
}

bool MainWindow::ShowSaveOutcome(const ops::SaveSettings& save, const ops::Result& outcome) {
    using Step = ops::SaveSettings::Step;
    if (save.failedAt() == Step::None || save.failedAt() == Step::FileWrite)
        RememberStatus(save.status());
    if (!outcome.ok() && !outcome.text.empty())
        WarnCommandFailed(outcome.text);
    return outcome.ok();
}

void MainWindow::restoreFromConfigFile() {
    if (KeypadBusyElsewhere())
        return;
    ops::SettingsRestore restore("restore");
    if (!Planned(restore.takeLock(kProgramName)))
        return;
    ui::BusyGuard busy(statusBar, RestoringSavedText());
    // The restore restarts the keypad: it sees it leave and come back.
    KeypadSequence owned;
    RestoreResult result = RestoreResult::NotSaved;
    try {
        if (Planned(restore.plan(kProgramName, FileName))) {
            (void)restore.run();
            result = restore.result();
        }
        if (result == RestoreResult::Stopped || result == RestoreResult::KeypadMissing)
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
    // Read now; a keypad that comes back only later is read when the sequence
    // ends.
    if (RefreshFromDevice()) {
        keypadChangedDuringSequence_ = false;
        if (result == RestoreResult::Restored)
            statusBar->showMessage(RestoredText());
    }
}

void MainWindow::importConfigFile() {
    const auto chosen = prompter().openFile("", "(*.ini);;All files (*.ini)");
    if (!chosen)
        return;
    if (fs::path(*chosen).filename().string() != kExchangeFileName) {
        showWarning("Incorrect Filename.");
        return;
    }
    bool sent = false;
    QString done;
    // Held to the end, through the read that shows what the keypad holds.
    std::optional<ui::BusyGuard> busy;
    std::optional<KeypadSequence> owned;
    try {
        if (!CIniFile::SectionExists(kConfigSection, *chosen)) {
            showWarning("File is incorrect format.");
            return;
        }
        // Only the sending waits for the keypad: while another window or
        // change holds it, it is told so and the copy is still made.
        ops::SettingsRestore restore("import");
        const bool locked = !KeypadBusyElsewhere() && Planned(restore.takeLock(kProgramName));
        bool refused = false;
        RestoreResult result = RestoreResult::NotSaved;
        if (locked) {
            busy.emplace(statusBar, ImportingText());
            // The restore restarts the keypad: it sees it leave and come back.
            owned.emplace();
            refused = !Planned(restore.plan(kProgramName, *chosen));
            if (!refused) {
                (void)restore.run();
                result = restore.result();
            }
            sent = result != RestoreResult::NotSaved;
        } else {
            // An unreadable file is never copied, sent or not.
            CheckRestoreFile(*chosen);
        }
        if (result == RestoreResult::Stopped || result == RestoreResult::KeypadMissing)
            restoreTypeList(*this);
        // The copy follows whatever the keypad made of the settings; only an
        // unreadable file (thrown before anything was sent) stops it.
        if (!CopyConfigFile(*chosen, FileName))
            showWarning("Failed to copy the new file.");
        else if (result == RestoreResult::Restored || (!sent && locked && !refused))
            done = ImportedText(fromBytes(*chosen), sent);
        else if (!locked)
            done = ImportedNotSentText(fromBytes(*chosen));
    } catch (const std::exception&) {
        showWarning("Exception :Failed to copy the new file.");
    }
    // Show what the keypad holds now.
    if (sent && RefreshFromDevice())
        keypadChangedDuringSequence_ = false;
    if (!done.isEmpty())
        statusBar->showMessage(done);
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
        else
            statusBar->showMessage(ExportedText(fromBytes(target)));
    } catch (const std::exception&) {
        showWarning("Exception :Unable to save cfg file.");
    }
}

} // namespace orvex
