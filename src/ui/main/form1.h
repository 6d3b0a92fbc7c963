#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <string>

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
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(QWidget* parent = nullptr);

    // --- copy of the last status read ---
    int prev_ledBrightness_index = 0;
    int prev_jackLedBrightness_index = 0;
    int prev_buzzer_index = 0;
    int prev_buzzerPeriod_index = 0;
    int prev_keypadType_index = 0;
    int prev_options_fitted = 0;
    int noOfWayKeypad = 0;
    std::string firmwareVersion;
    std::string serialNumber;
    static std::array<uint8_t, 32> keyCodeArray;
    static const std::array<const char*, 3> keypadArray;
    std::array<QString, 3> configArray;

    // Start-up steps; runs once before the window is first shown.
    void Form1_Load();
    // GetStatus into the fields above: 0 on success, -1 (fields unchanged).
    int GetDeviceStatusMessage();
    void EnableDisableFunctionButtons(bool enable);
    // Status read and window refresh shared by Scan For Device, the factory
    // reset and the restore from the configuration file. Returns true when
    // the keypad answered.
    bool RefreshFromDevice();

    // Configuration folder and file at start-up; the snapshot after "Save Changes".
    void PrepareConfigFile();
    void SaveToConfigFile();

    // Texts of the status panel and list entries, for the windows that show them.
    static QString KeypadTypeText(int type);
    static QString WaysText(int waysCode);
    // Shown in the status strip when a keypad is present but cannot be opened.
    static QString PermissionHintText();

    // --- controls (designer names) ---
    QMenuBar* menuStrip1;
    QAction* importCfgFileToolStripMenuItem;
    QAction* exportCfgFileToolStripMenuItem;
    QAction* exitToolStripMenuItem;
    QAction* aboutToolStripMenuItem;
    QLabel* label1;
    QPushButton* button11;
    QTextEdit* richTextBox1;
    QComboBox* keypadTypeCbox;
    QComboBox* ledBrightnessCbox;
    QComboBox* ledColourCbox;
    QComboBox* buzzerCbox;
    QComboBox* buzzerPeriodCbox;
    QPushButton* button2;
    QPushButton* button1;
    QPushButton* button3;
    QPushButton* button8;
    QPushButton* btnLoadFirmware;
    QPushButton* button9;
    QPushButton* button10;
    QStatusBar* statusStrip1;

public slots:
    void button11_Click();
    void button8_Click();
    void button9_Click();
    void button10_Click();
    void button1_Click();
    void button2_Click();
    void button3_Click();
    void btnLoadFirmware_Click();
    void aboutToolStripMenuItem_Click();
    void importCfgFileToolStripMenuItem_Click();
    void exportCfgFileToolStripMenuItem_Click();

    void keypadTypeCbox_SelectionChangeCommitted(int index);
    void ledBrightnessCbox_SelectionChangeCommitted(int index);
    void ledColourCbox_SelectionChangeCommitted(int index);
    void buzzerCbox_SelectionChangeCommitted(int index);
    void buzzerPeriodCbox_SelectionChangeCommitted(int index);

signals:
    // Emitted by Exit; the application quits on it.
    void exitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    enum class ListText { BeforeRead, AfterFailedRead };
    void ShowListPlaceholders(ListText which);
    void SelectRememberedEntries();
    void WriteConnectedStatus();
    void WriteNoneStatus();
    void ShowStatusPanel();
    void CloseLink();
    void UpdatePermissionHint();
    bool PickSetting(QComboBox* box, uint8_t command, int index, int payload, int& remembered,
                     const char* failure);

    bool exited_ = false;
};

} // namespace orvex
