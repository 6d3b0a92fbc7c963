#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/keypad_presence.h"
#include "firmware/upgrade_sequence.h"
#include "ops/firmware_upgrade.h"
#include "ui/firmware/background_worker.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace orvex::ui {
class Announcer;
}

namespace orvex {

// The firmware upgrade window: counts the keypad's bootstrap loaders, lets the
// user pick a TI-TXT image, runs the upgrade on a worker and, after success,
// sends the settings handed over by the main window back to the keypad.
class FirmwareUpgradeWindow : public QWidget {
    Q_OBJECT
public:
    explicit FirmwareUpgradeWindow(QWidget* parent = nullptr);
    ~FirmwareUpgradeWindow() override;

    // --- settings handed over by the main window (one copy per process) ---
    static int keypad_table;
    static int led_brightness;
    static int buzzer_enable;
    static int buzzer_period;
    static int no_of_keys;
    static std::array<int, 20> key_codes;
    static std::string serialNumber;
    // Stores a status read of the keypad `from`; until the first call
    // nothing is restored.
    static void HandOverSettings(int keypadType, int ledBrightness, int buzzer,
                                 int buzzerPeriodIndex, int options, const uint8_t* codes20,
                                 const std::string& serial, const KeypadIdentity& from);
    // The last hand-over, whichever keypad it came from.
    static firmware::KeypadSettingsHandOver HandedOverSettings();
    // The last hand-over as settings to send back to `keypad`: captured only
    // when it was read from that very keypad (same serial number on the same
    // USB port), so an earlier keypad's serial number and settings never
    // reach another.
    static firmware::KeypadSettingsHandOver HandedOverSettingsFor(const KeypadIdentity& keypad);
    // Forgets the hand-over (tests start each case from a fresh run).
    static void ForgetHandOver();
    // The upgrade the main window planned (loader, password, journal, lock)
    // and sent the keypad to its loader for: the window downloads the image
    // through it and has it send the settings back. A window without one
    // plans an upgrade of the built-in images when Upgrade is pressed, and
    // refuses while another change holds the lock.
    void AdoptUpgrade(std::unique_ptr<ops::FirmwareUpgrade> upgrade);

    // Loader ids as shown in vidLabel / pidLabel.
    static std::string myVID;
    static std::string myPID;
    static std::string myDeviceIndex;

    static std::string padHexStringValue(const std::string& text) {
        return firmware::padHexStringValue(text);
    }

    void CentreOnScreen();

    // The main window's hold on the keypad, taken before it sent the keypad
    // to its loader: kept until the settings restore after an upgrade has
    // ended, or until the window goes.
    void HoldKeypad(std::unique_ptr<KeypadSequence> hold) { keypadHold_ = std::move(hold); }
    bool holdsKeypad() const { return keypadHold_ != nullptr; }

    uint32_t numberOfUSBDevicesConnected = 0;
    // A device change arrived while a worker was busy.
    bool scanDeviceAgain = false;

    // --- controls ---
    QGroupBox* firmwareGroup;
    QLabel* selectFirmwareLabel; // "Select Firmware"
    QLabel* fileLabel;           // "File to download"
    QLineEdit* fileNameEdit;
    QPushButton* browseButton;
    QPushButton* upgradeButton;
    QPushButton* closeButton;
    QProgressBar* progressBar;
    QPlainTextEdit* statusBox;
    QLabel* vidCaption; // "VID"
    QLabel* vidLabel;
    QLabel* pidCaption; // "PID"
    QLabel* pidLabel;
    QLabel* deviceCountLabel;
    // Speaks the upgrade's outcome to screen readers.
    ui::Announcer* announcer;

    // For tests: device counts completed, and whether workers are busy.
    int deviceCountsRun() const { return countsRun_; }
    bool countBusy() const { return loaderCountWorker.IsBusy(); }
    bool upgrading() const { return upgrading_; }

    static constexpr const char* kLeaveInLoaderQuestion =
        "The keypad is waiting in its bootstrap loader and will not work until it is upgraded or "
        "unplugged. Close anyway?";

signals:
    // Closed while the keypad waits in its loader with nothing downloaded.
    void keypadLeftInLoader();

public slots:
    void browseForImage();
    void startUpgrade();
    void closeWindow();

    // A loader arrived (0x8000) or left (0x8004).
    void ParseMessages(uint32_t event);

    // Worker callbacks, on this window's thread.
    void loaderCountFinished(uint32_t count, bool error);
    void upgradeProgress(int percent, const std::string& text);
    void upgradeFinished(bool result, bool error);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void InitializeVidPidFirmware();
    void connectWorkers();
    uint8_t RegisterUSBDevice();
    void UnRegisterUSBDevice();
    // Starts the count, or has the running one repeat.
    void StartDeviceCount();

    BackgroundWorker<uint32_t> loaderCountWorker{this};
    BackgroundWorker<bool> upgradeWorker{this};
    bool registerTried_ = false;
    bool registered_ = false;
    bool upgrading_ = false;
    // The image picked with Browse, read once: the upgrade sends these bytes.
    FirmwareImage chosenImage_;
    int countsRun_ = 0;
    // The picked image failed the image check: Upgrade stays disabled.
    bool imageRefused_ = false;
    // The last line the upgrade reported.
    QString lastReport_;

    std::unique_ptr<KeypadSequence> keypadHold_;
    std::unique_ptr<ops::FirmwareUpgrade> upgrade_;

    static bool settingsHandedOver_;
    static KeypadIdentity handedOverFrom_;
};

} // namespace orvex
