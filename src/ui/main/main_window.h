#pragma once

#include <QWidget>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "bsl/device_notifier.h"
#include "device/device_commands.h"
#include "device/keypad_identity.h"
#include "ops/keypad_changes.h"

class QAction;
class QComboBox;
class QLabel;
class QMenuBar;
class QPushButton;
class QStatusBar;
class QTextEdit;

namespace orvex {

// The main window: status panel, the five setting lists and the buttons that
// open every other window. Its fields mirror the last successful status read.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // --- copy of the last status read ---
    int lastLedBrightness = 0;
    int lastJackLedBrightness = 0;
    int lastBuzzer = 0;
    int lastBuzzerPeriodIndex = 0;
    int lastKeypadType = 0;
    int lastOptions = 0;
    int waysCode = 0;
    std::string firmwareVersion;
    std::string serialNumber;
    static std::array<uint8_t, 32> lastKeyCodes;
    static const std::array<const char*, 3> kWaysNames;
    std::array<QString, 3> statusLines;

    // Start-up steps; runs once before the window is first shown.
    void startUp();
    // GetStatus into the fields above: 0 on success, -1 (fields unchanged).
    int GetDeviceStatusMessage();
    // A status read elsewhere (by an operation) into the same fields.
    void RememberStatus(const DeviceStatus& status);
    void EnableDisableFunctionButtons(bool enable);
    // Status read and window refresh shared by Scan For Device, the factory
    // reset and the restore from the configuration file. Returns true when
    // the keypad answered.
    bool RefreshFromDevice();

    // When an upgrade recorded in the journal has not finished and its keypad
    // is attached (in its loader, or running again), asks whether to finish
    // it and does. At start-up only an attached keypad is mentioned. True
    // when the button must do nothing more: the journal was dealt with, or it
    // stops a new upgrade. False when there is nothing to finish, or the user
    // said No (upgradeOfferDeclined_): the button goes on with its own steps.
    bool offerToFinishUpgrade(bool atStartUp);
    bool upgradeOfferDeclined_ = false;
    // Asked before a loader attached without a keypad is programmed.
    static std::string LoneLoaderQuestion();
    // The status strip after the firmware window closed on a keypad left in
    // its loader.
    static QString LeftInLoaderText();

    // Configuration folder and file at start-up; the snapshot after "Save
    // Changes" (true when every key was written).
    void PrepareConfigFile();
    bool SaveToConfigFile();

    // Following the keypad (main_window_hotplug.cpp). Starts listening for
    // the keypad's arrival and removal; the start-up calls it. False when the
    // system refused to tell (Scan For Device still works).
    bool FollowKeypad();
    // The status-strip lines of the hot-plug.
    static QString KeypadPluggedInText();
    static QString KeypadSilentText();
    // The status-strip lines of the actions that succeeded.
    static QString SavedText();
    static QString FactoryResetText();
    static QString RestoredText();
    static QString ExportedText(const QString& path);
    static QString ImportedText(const QString& path, bool settingsSent);
    static QString ImportedNotSentText(const QString& path);
    static QString ScanFoundText();
    static QString NoKeypadText();
    static QString KeypadInLoaderText();
    static QString TableLoadedText();
    static QString SettingsSentBackText();
    // While the window waits for the keypad to restart.
    static QString RestoringSavedText();
    static QString RestoringFactoryText();
    static QString ImportingText();

    // Texts of the status panel and list entries, for the windows that show them.
    static QString KeypadTypeText(int type);
    static QString WaysText(int waysCode);
    // Shown in the status strip when a keypad is present but cannot be opened.
    static QString PermissionHintText();
    static QString KeypadBusyText();

    // --- controls ---
    QMenuBar* menuBar;
    QAction* importAction;
    QAction* exportAction;
    QAction* exitAction;
    QAction* aboutAction;
    QLabel* titleLabel;
    QPushButton* scanButton;
    QTextEdit* statusPanel;
    QComboBox* keypadTypeList;
    QComboBox* ledBrightnessList;
    QComboBox* ledColourList;
    QComboBox* buzzerList;
    QComboBox* buzzerPeriodList;
    QPushButton* selfTestButton;
    QPushButton* codeTableButton;
    QPushButton* restoreFromFileButton;
    QPushButton* saveChangesButton;
    QPushButton* firmwareButton;
    QPushButton* factoryResetButton;
    QPushButton* exitButton;
    QStatusBar* statusBar;

public slots:
    void scanForDevice();
    void saveChanges();
    void resetToFactoryDefault();
    void exitUtility();
    void openCodeTableEditor();
    void openSelfTest();
    void restoreFromConfigFile();
    void openFirmwareUpgrade();
    void showAboutBox();
    void importConfigFile();
    void exportConfigFile();

    void keypadTypePicked(int index);
    void ledBrightnessPicked(int index);
    void ledColourPicked(int index);
    void buzzerPicked(int index);
    void buzzerPeriodPicked(int index);

    // A keypad arrived or left (on this window's thread); `duringSequence`:
    // a sequence owned the keypad when it happened.
    void keypadArrived(bool duringSequence);
    void keypadRemoved(bool duringSequence);
    // The last sequence that owned the keypad has ended: read it again.
    void followKeypadAfterSequence(const KeypadIdentity& keypad);

signals:
    // Emitted by Exit; the application quits on it.
    void exitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // True, after telling the user, while another window's sequence (the self
    // test, a firmware upgrade) owns the keypad: what would change the keypad
    // then waits for it to finish.
    bool KeypadBusyElsewhere();
    // Whether an operation's plan (src/ops) lets it run; when not, its
    // reason (another change holding the keypad, a keypad that could not be
    // found again after a restart) is shown as a warning.
    bool Planned(const ops::Result& plan);
    // Shows why a save failed (the keypad's text; the file's was shown as it
    // failed) and keeps the status it read; true when it was saved.
    bool ShowSaveOutcome(const ops::SaveSettings& save, const ops::Result& outcome);
    static constexpr const char* kProgramName = "orvex-config";
    enum class ListText { BeforeRead, AfterFailedRead };
    void ShowListPlaceholders(ListText which);
    void SelectRememberedEntries();
    void SelectRememberedEntry(QComboBox* box);
    void WriteConnectedStatus();
    void WriteNoneStatus();
    void ShowStatusPanel();
    void CloseLink();
    void UpdatePermissionHint();
    bool PickSetting(QComboBox* box, ops::Setting setting, int index, int payload, int& remembered,
                     const char* failure);
    // The connected form: device controls on, the lists at the values read,
    // the panel filled.
    void ShowConnectedForm();
    // The not-connected form: placeholders, "None" panel, device controls off.
    void ShowNotConnectedForm();
    void StopFollowingKeypad();

    // Why the panel shows no keypad, for the status strip.
    QString UnpluggedText() const;
    QString NotConnectedText() const;

    bool exited_ = false;
    // Sent to its loader for an upgrade: gone from the panel, not unplugged.
    bool keypadInLoader_ = false;
    std::unique_ptr<bsl::DeviceNotifier> keypadNotifier_;
    int releasedListener_ = 0;
    int unpluggedListener_ = 0;
    // An arrival or removal happened while a sequence owned the keypad; the
    // main window's own sequences clear it once they have read the keypad.
    std::atomic<bool> keypadChangedDuringSequence_{false};
};

} // namespace orvex
