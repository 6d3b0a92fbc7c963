#include "firmware/firmware_upgrade.h"

#include <QCloseEvent>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <vector>

#include "bsl/bsl430.h"
#include "config/ini_file.h"
#include "config/utility_config.h"
#include "firmware/loader_images.h"
#include "platform/prompter.h"
#include "ui/common/ui_style.h"

namespace orvex {

int firmware_upgrade::keypad_table = 0;
int firmware_upgrade::led_brightness = 0;
int firmware_upgrade::buzzer_enable = 0;
int firmware_upgrade::buzzer_period = 0;
int firmware_upgrade::no_of_keys = 0;
std::array<int, 20> firmware_upgrade::key_codes{};
std::string firmware_upgrade::serialNumber;
bool firmware_upgrade::settingsHandedOver_ = false;
std::string firmware_upgrade::myVID;
std::string firmware_upgrade::myPID;
std::string firmware_upgrade::myDeviceIndex = "0";

namespace {

constexpr const char* kFileFilter = "(*.txt);;All files (*)";
constexpr const char* kStillRunningText =
    "The firmware upgrade is still running. Close this window when it has finished..";

// One loader upgrade at a time in the process, whichever window starts it.
std::atomic<bool> g_upgradeRunning{false};

// The loader library keeps one device-change callback per process; every open
// firmware window gets each event, on its own thread.
class DeviceChangeHub {
public:
    static DeviceChangeHub& instance() {
        static DeviceChangeHub hub;
        return hub;
    }

    uint8_t add(firmware_upgrade* window) {
        std::lock_guard reg(registration_);
        bool first;
        {
            std::lock_guard lock(windows_);
            list_.push_back(window);
            first = list_.size() == 1;
        }
        if (!first)
            return 0;
        const uint8_t rc = BSL_RegisterUSBDeviceNotification([this](uint32_t event) {
            std::lock_guard lock(windows_);
            for (firmware_upgrade* w : list_)
                QMetaObject::invokeMethod(
                    w, [w, event] { w->ParseMessages(event); }, Qt::QueuedConnection);
        });
        if (rc != 0) {
            std::lock_guard lock(windows_);
            std::erase(list_, window);
        }
        return rc;
    }

    void remove(firmware_upgrade* window) {
        std::lock_guard reg(registration_);
        bool last;
        {
            std::lock_guard lock(windows_);
            const auto before = list_.size();
            std::erase(list_, window);
            if (list_.size() == before)
                return;
            last = list_.empty();
        }
        // Outside windows_: unregistering waits for a callback in progress.
        if (last)
            BSL_UnRegisterUSBDeviceNotification();
    }

private:
    std::mutex registration_;
    std::mutex windows_;
    std::vector<firmware_upgrade*> list_;
};

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setGeometry(geometry);
    l->setFont(ui::font(8.25));
    return l;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text, QRect geometry,
                        double points) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setGeometry(geometry);
    b->setFont(ui::font(points));
    return b;
}

QString fromBytes(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

void firmware_upgrade::HandOverSettings(int keypadType, int ledBrightness, int buzzer,
                                        int buzzerPeriodIndex, int options, const uint8_t* codes20,
                                        const std::string& serial) {
    keypad_table = keypadType;
    led_brightness = ledBrightness;
    buzzer_enable = buzzer;
    buzzer_period = buzzerPeriodIndex;
    no_of_keys = options;
    for (size_t i = 0; i < key_codes.size(); ++i)
        key_codes[i] = codes20[i];
    serialNumber = serial;
    settingsHandedOver_ = true;
}

firmware::KeypadSettingsHandOver firmware_upgrade::HandedOverSettings() {
    firmware::KeypadSettingsHandOver s;
    s.captured = settingsHandedOver_;
    s.keypad_table = keypad_table;
    s.led_brightness = led_brightness;
    s.buzzer_enable = buzzer_enable;
    s.buzzer_period = buzzer_period;
    s.no_of_keys = no_of_keys;
    s.key_codes = key_codes;
    s.serialNumber = serialNumber;
    return s;
}

void firmware_upgrade::ForgetHandOver() {
    keypad_table = led_brightness = buzzer_enable = buzzer_period = no_of_keys = 0;
    key_codes.fill(0);
    serialNumber.clear();
    settingsHandedOver_ = false;
}

bool firmware_upgrade::UpgradeRunning() {
    return g_upgradeRunning.load();
}

firmware_upgrade::firmware_upgrade(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("firmware_upgrade");
    setWindowTitle(ui::q("Halden Orvex™ Firmware Upgrade"));
    setFixedSize(682, 432);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    groupBox1 = new QGroupBox("Select which firmware to download", this);
    groupBox1->setObjectName("groupBox1");
    groupBox1->setGeometry(12, 12, 658, 100);
    groupBox1->setFont(ui::font(8.25));

    label1 = makeLabel(groupBox1, "label1", "Select Firmware", {16, 24, 200, 20});
    label1->setFont(ui::font(8.25, true));
    label2 = makeLabel(groupBox1, "label2", "File to download", {16, 60, 108, 20});

    filenameTextBox = new QLineEdit(groupBox1);
    filenameTextBox->setObjectName("filenameTextBox");
    filenameTextBox->setGeometry(128, 57, 416, 26);
    filenameTextBox->setReadOnly(true);
    filenameTextBox->setFont(ui::font(8.25));

    btnBrowse = makeButton(groupBox1, "btnBrowse", "&Browse", {556, 55, 86, 30}, 8.25);

    label3 = makeLabel(this, "label3", "VID", {24, 124, 30, 20});
    vidLbl = makeLabel(this, "vidLbl", QString(), {56, 124, 70, 20});
    label4 = makeLabel(this, "label4", "PID", {140, 124, 30, 20});
    pidLbl = makeLabel(this, "pidLbl", QString(), {172, 124, 70, 20});
    labelNumOfDevices =
        makeLabel(this, "labelNumOfDevices", "Searching for devices", {290, 124, 368, 20});

    btnUpgrade = makeButton(this, "btnUpgrade", "Upgrade Firmware", {24, 154, 310, 62}, 19.8);
    btnClose = makeButton(this, "btnClose", "&Close", {348, 154, 310, 62}, 19.8);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName("progressBar");
    progressBar->setGeometry(24, 228, 634, 24);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);

    statusBox = new QPlainTextEdit(this);
    statusBox->setObjectName("statusBox");
    statusBox->setGeometry(24, 262, 634, 158);
    statusBox->setReadOnly(true);
    statusBox->setFont(ui::font(8.25));
    statusBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    btnBrowse->setEnabled(false);
    btnUpgrade->setEnabled(false);

    connect(btnBrowse, &QPushButton::clicked, this, &firmware_upgrade::btnBrowse_Click);
    connect(btnUpgrade, &QPushButton::clicked, this, &firmware_upgrade::btnUpgrade_Click);
    connect(btnClose, &QPushButton::clicked, this, &firmware_upgrade::btnClose_Click);

    InitializeVidPidFirmware();
    InitializeBackgroundWorker();
}

firmware_upgrade::~firmware_upgrade() {
    UnRegisterUSBDevice();
    // A window destroyed with its owner while a job runs waits for the job:
    // stopping a download half-way would leave the keypad without firmware.
    backgroundWorker1.Abandon();
    backgroundWorkerCheckDevice.Abandon();
    if (upgrading_)
        g_upgradeRunning = false;
}

void firmware_upgrade::CentreOnScreen() {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void firmware_upgrade::InitializeVidPidFirmware() {
    myVID = padHexStringValue(std::string(firmware::LoaderResource("VID")));
    myPID = padHexStringValue(std::string(firmware::LoaderResource("PID")));
    vidLbl->setText(fromBytes(myVID));
    pidLbl->setText(fromBytes(myPID));
}

void firmware_upgrade::InitializeBackgroundWorker() {
    backgroundWorkerCheckDevice.RunWorkerCompleted = [this](uint32_t count, bool error) {
        backgroundWorkerCheckDevice_RunWorkerCompleted(count, error);
    };
    backgroundWorker1.ProgressChanged = [this](int percent, const std::string& text) {
        backgroundWorker1_ProgressChanged(percent, text);
    };
    backgroundWorker1.RunWorkerCompleted = [this](bool result, bool error) {
        backgroundWorker1_RunWorkerCompleted(result, error);
    };
}

uint8_t firmware_upgrade::RegisterUSBDevice() {
    const uint8_t rc = DeviceChangeHub::instance().add(this);
    registered_ = rc == 0;
    return rc;
}

void firmware_upgrade::UnRegisterUSBDevice() {
    if (registered_)
        DeviceChangeHub::instance().remove(this);
    registered_ = false;
}

void firmware_upgrade::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (registerTried_)
        return;
    registerTried_ = true;
    if (RegisterUSBDevice() == 0)
        StartDeviceCount();
    else
        labelNumOfDevices->setText("ERROR: Unable to register device");
}

void firmware_upgrade::StartDeviceCount() {
    if (backgroundWorkerCheckDevice.IsBusy()) {
        scanDeviceAgain = true;
        return;
    }
    const firmware::LoaderIds ids{myVID, myPID, myDeviceIndex};
    backgroundWorkerCheckDevice.RunWorkerAsync(
        [ids](const auto&) { return firmware::CountLoaderDevices(ids); });
}

void firmware_upgrade::backgroundWorkerCheckDevice_RunWorkerCompleted(uint32_t count, bool error) {
    ++countsRun_;
    if (!error) {
        numberOfUSBDevicesConnected = count;
        if (count > 0) {
            labelNumOfDevices->setText(
                QStringLiteral("Found %1 %2")
                    .arg(count)
                    .arg(count > 1 ? QStringLiteral("devices") : QStringLiteral("device")));
            btnBrowse->setEnabled(true);
            // A count that ends while an upgrade runs must not offer a second one.
            btnUpgrade->setEnabled(!upgrading_);
        } else {
            labelNumOfDevices->setText("No device connected");
            btnUpgrade->setEnabled(false);
            btnBrowse->setEnabled(false);
        }
    }
    // A change seen during an upgrade is counted when the upgrade ends.
    if (scanDeviceAgain && !upgrading_) {
        scanDeviceAgain = false;
        StartDeviceCount();
    }
}

void firmware_upgrade::ParseMessages(uint32_t event) {
    if (event != BSL_DEVICE_ARRIVAL && event != BSL_DEVICE_REMOVE_COMPLETE)
        return;
    if (!backgroundWorkerCheckDevice.IsBusy() && !upgrading_)
        StartDeviceCount();
    else
        scanDeviceAgain = true;
}

void firmware_upgrade::btnBrowse_Click() {
    const auto chosen = prompter().openFile("", kFileFilter);
    if (!chosen)
        return;
    filenameTextBox->setText(fromBytes(*chosen));
    // Only the name is kept; the result does not matter to the upgrade.
    const std::string name = std::filesystem::path(*chosen).filename().string();
    try {
        CIniFile::SetValue("FirmwareFile", name, kConfigSection, FileName);
    } catch (const IniFormatError&) {
        // A damaged configuration file is left alone.
    }
}

void firmware_upgrade::btnUpgrade_Click() {
    if (upgrading_)
        return;
    bool expected = false;
    if (!g_upgradeRunning.compare_exchange_strong(expected, true)) {
        showWarning("Another firmware upgrade is running..");
        return;
    }
    upgrading_ = true;
    btnUpgrade->setEnabled(false);
    statusBox->setPlainText("Starting\n");
    const std::string path = QFile::encodeName(filenameTextBox->text()).toStdString();
    const firmware::LoaderIds ids{myVID, myPID, myDeviceIndex};
    backgroundWorker1.RunWorkerAsync([path, ids](const auto& report) {
        firmware::UpgradeSequence sequence(report, ids);
        return sequence.Run(path);
    });
}

void firmware_upgrade::backgroundWorker1_ProgressChanged(int percent, const std::string& text) {
    progressBar->setValue(percent);
    if (text.empty())
        return;
    // The texts end their lines with CR LF; the box wants LF alone.
    QString shown = fromBytes(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    statusBox->moveCursor(QTextCursor::End);
    statusBox->insertPlainText(shown);
    statusBox->verticalScrollBar()->setValue(statusBox->verticalScrollBar()->maximum());
}

void firmware_upgrade::backgroundWorker1_RunWorkerCompleted(bool result, bool error) {
    if (!error && result)
        firmware::RestoreSettingsAfterUpgrade(HandedOverSettings());
    upgrading_ = false;
    g_upgradeRunning = false;
    // A failed upgrade leaves the loader attached: the count offers a new try.
    // Any change seen meanwhile is counted once, now.
    if ((!error && !result) || scanDeviceAgain) {
        scanDeviceAgain = false;
        StartDeviceCount();
    }
}

void firmware_upgrade::btnClose_Click() {
    close();
}

void firmware_upgrade::closeEvent(QCloseEvent* event) {
    if (upgrading_) {
        showWarning(kStillRunningText);
        event->ignore();
        return;
    }
    event->accept();
}

} // namespace orvex
