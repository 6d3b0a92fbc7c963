#include "ui/firmware/firmware_upgrade_window.h"

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
#include <cstring>
#include <mutex>
#include <vector>

#include "bsl/bsl430.h"
#include "config/utility_config.h"
#include "device/hid_backend.h"
#include "firmware/image_checks.h"
#include "firmware/loader_images.h"
#include "platform/prompter.h"
#include "ui/common/accessibility.h"
#include "ui/common/data_paths.h"
#include "ui/common/form_layout.h"
#include "ui/common/ui_style.h"

namespace orvex {

int FirmwareUpgradeWindow::keypad_table = 0;
int FirmwareUpgradeWindow::led_brightness = 0;
int FirmwareUpgradeWindow::buzzer_enable = 0;
int FirmwareUpgradeWindow::buzzer_period = 0;
int FirmwareUpgradeWindow::no_of_keys = 0;
std::array<int, 20> FirmwareUpgradeWindow::key_codes{};
std::string FirmwareUpgradeWindow::serialNumber;
bool FirmwareUpgradeWindow::settingsHandedOver_ = false;
KeypadIdentity FirmwareUpgradeWindow::handedOverFrom_;
std::string FirmwareUpgradeWindow::myVID;
std::string FirmwareUpgradeWindow::myPID;
std::string FirmwareUpgradeWindow::myDeviceIndex = "0";

namespace {

constexpr const char* kFileFilter = "(*.txt);;All files (*)";
constexpr const char* kStillRunningText =
    "The firmware upgrade is still running. Close this window when it has finished..";

// The loader library keeps one device-change callback per process; every open
// firmware window gets each event, on its own thread.
class DeviceChangeHub {
public:
    static DeviceChangeHub& instance() {
        static DeviceChangeHub hub;
        return hub;
    }

    uint8_t add(FirmwareUpgradeWindow* window) {
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
            for (FirmwareUpgradeWindow* w : list_)
                QMetaObject::invokeMethod(
                    w, [w, event] { w->ParseMessages(event); }, Qt::QueuedConnection);
        });
        if (rc != 0) {
            std::lock_guard lock(windows_);
            std::erase(list_, window);
        }
        return rc;
    }

    void remove(FirmwareUpgradeWindow* window) {
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
    std::vector<FirmwareUpgradeWindow*> list_;
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

// The sample images run only on the virtual keypad, so its programs open the
// file dialog among them; the real-keypad programs in the working folder.
std::string imageDialogFolder() {
    if (std::strcmp(HidBackendName(), "virtual") != 0)
        return {};
    return QFile::encodeName(ui::findDataFolder(QStringLiteral("firmware"))).toStdString();
}

} // namespace

void FirmwareUpgradeWindow::HandOverSettings(int keypadType, int ledBrightness, int buzzer,
                                             int buzzerPeriodIndex, int options,
                                             const uint8_t* codes20, const std::string& serial,
                                             const KeypadIdentity& from) {
    keypad_table = keypadType;
    led_brightness = ledBrightness;
    buzzer_enable = buzzer;
    buzzer_period = buzzerPeriodIndex;
    no_of_keys = options;
    for (size_t i = 0; i < key_codes.size(); ++i)
        key_codes[i] = codes20[i];
    serialNumber = serial;
    settingsHandedOver_ = true;
    handedOverFrom_ = from;
}

firmware::KeypadSettingsHandOver FirmwareUpgradeWindow::HandedOverSettings() {
    firmware::KeypadSettingsHandOver s;
    s.captured = settingsHandedOver_;
    s.keypad_table = keypad_table;
    s.led_brightness = led_brightness;
    s.buzzer_enable = buzzer_enable;
    s.buzzer_period = buzzer_period;
    s.no_of_keys = no_of_keys;
    s.key_codes = key_codes;
    s.serialNumber = serialNumber;
    s.usbPort = handedOverFrom_.usbPort;
    return s;
}

firmware::KeypadSettingsHandOver
FirmwareUpgradeWindow::HandedOverSettingsFor(const KeypadIdentity& keypad) {
    firmware::KeypadSettingsHandOver s = HandedOverSettings();
    s.captured = s.captured && !keypad.serialNumber.empty() && keypad == handedOverFrom_;
    s.usbPort = keypad.usbPort;
    return s;
}

void FirmwareUpgradeWindow::ForgetHandOver() {
    keypad_table = led_brightness = buzzer_enable = buzzer_period = no_of_keys = 0;
    key_codes.fill(0);
    serialNumber.clear();
    settingsHandedOver_ = false;
    handedOverFrom_ = {};
}

void FirmwareUpgradeWindow::AdoptUpgrade(std::unique_ptr<ops::FirmwareUpgrade> upgrade) {
    upgrade_ = std::move(upgrade);
}

FirmwareUpgradeWindow::FirmwareUpgradeWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("FirmwareUpgradeWindow");
    setWindowTitle(ui::q("Halden Orvex™ Firmware Upgrade"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    firmwareGroup = new QGroupBox("Select which firmware to download", this);
    firmwareGroup->setObjectName("firmwareGroup");
    firmwareGroup->setGeometry(12, 12, 658, 100);
    firmwareGroup->setFont(ui::font(8.25));

    selectFirmwareLabel =
        makeLabel(firmwareGroup, "selectFirmwareLabel", "Select Firmware", {16, 24, 200, 20});
    selectFirmwareLabel->setFont(ui::font(8.25, true));
    fileLabel = makeLabel(firmwareGroup, "fileLabel", "File to download", {16, 60, 108, 20});

    fileNameEdit = new QLineEdit(firmwareGroup);
    fileNameEdit->setObjectName("fileNameEdit");
    fileNameEdit->setGeometry(128, 57, 416, 26);
    fileNameEdit->setReadOnly(true);
    fileNameEdit->setFont(ui::font(8.25));

    browseButton = makeButton(firmwareGroup, "browseButton", "&Browse", {556, 55, 86, 30}, 8.25);

    vidCaption = makeLabel(this, "vidCaption", "VID", {24, 124, 30, 20});
    vidLabel = makeLabel(this, "vidLabel", QString(), {56, 124, 70, 20});
    pidCaption = makeLabel(this, "pidCaption", "PID", {140, 124, 30, 20});
    pidLabel = makeLabel(this, "pidLabel", QString(), {172, 124, 70, 20});
    deviceCountLabel =
        makeLabel(this, "deviceCountLabel", "Searching for devices", {290, 124, 368, 20});

    upgradeButton = makeButton(this, "upgradeButton", "Upgrade Firmware", {24, 154, 310, 62}, 19.8);
    closeButton = makeButton(this, "closeButton", "&Close", {348, 154, 310, 62}, 19.8);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName("progressBar");
    progressBar->setGeometry(24, 228, 634, 24);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    progressBar->setAccessibleName("Upgrade progress");

    statusBox = new QPlainTextEdit(this);
    statusBox->setObjectName("statusBox");
    statusBox->setGeometry(24, 262, 634, 158);
    statusBox->setReadOnly(true);
    statusBox->setFont(ui::font(8.25));
    statusBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    statusBox->setAccessibleName("Upgrade log");
    fileLabel->setBuddy(fileNameEdit);
    fileNameEdit->setAccessibleName("File to download");
    announcer = new ui::Announcer(this);

    browseButton->setEnabled(false);
    upgradeButton->setEnabled(false);

    connect(browseButton, &QPushButton::clicked, this, &FirmwareUpgradeWindow::browseForImage);
    connect(upgradeButton, &QPushButton::clicked, this, &FirmwareUpgradeWindow::startUpgrade);
    connect(closeButton, &QPushButton::clicked, this, &FirmwareUpgradeWindow::closeWindow);

    InitializeVidPidFirmware();
    connectWorkers();
    ui::finishForm(
        this, {682, 432},
        {.kind = ui::WindowKind::Dialog,
         .onEscape = [this] { closeWindow(); },
         .tabOrder = {fileNameEdit, browseButton, upgradeButton, closeButton, statusBox}});
}

FirmwareUpgradeWindow::~FirmwareUpgradeWindow() {
    UnRegisterUSBDevice();
    // A window destroyed with its owner while a job runs waits for the job:
    // stopping a download half-way would leave the keypad without firmware.
    upgradeWorker.Abandon();
    loaderCountWorker.Abandon();
}

void FirmwareUpgradeWindow::CentreOnScreen() {
    ui::centreOnScreen(this);
}

void FirmwareUpgradeWindow::InitializeVidPidFirmware() {
    myVID = padHexStringValue(std::string(firmware::LoaderResource("VID")));
    myPID = padHexStringValue(std::string(firmware::LoaderResource("PID")));
    vidLabel->setText(fromBytes(myVID));
    pidLabel->setText(fromBytes(myPID));
}

void FirmwareUpgradeWindow::connectWorkers() {
    loaderCountWorker.RunWorkerCompleted = [this](uint32_t count, bool error) {
        loaderCountFinished(count, error);
    };
    upgradeWorker.ProgressChanged = [this](int percent, const std::string& text) {
        upgradeProgress(percent, text);
    };
    upgradeWorker.RunWorkerCompleted = [this](bool result, bool error) {
        upgradeFinished(result, error);
    };
}

uint8_t FirmwareUpgradeWindow::RegisterUSBDevice() {
    const uint8_t rc = DeviceChangeHub::instance().add(this);
    registered_ = rc == 0;
    return rc;
}

void FirmwareUpgradeWindow::UnRegisterUSBDevice() {
    if (registered_)
        DeviceChangeHub::instance().remove(this);
    registered_ = false;
}

void FirmwareUpgradeWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (registerTried_)
        return;
    registerTried_ = true;
    if (RegisterUSBDevice() == 0)
        StartDeviceCount();
    else
        deviceCountLabel->setText("ERROR: Unable to register device");
}

void FirmwareUpgradeWindow::StartDeviceCount() {
    if (loaderCountWorker.IsBusy()) {
        scanDeviceAgain = true;
        return;
    }
    const firmware::LoaderIds ids{myVID, myPID, myDeviceIndex, ""};
    loaderCountWorker.RunWorkerAsync(
        [ids](const auto&) { return firmware::CountLoaderDevices(ids); });
}

void FirmwareUpgradeWindow::loaderCountFinished(uint32_t count, bool error) {
    ++countsRun_;
    if (!error) {
        numberOfUSBDevicesConnected = count;
        if (count > 0) {
            deviceCountLabel->setText(
                QStringLiteral("Found %1 %2")
                    .arg(count)
                    .arg(count > 1 ? QStringLiteral("devices") : QStringLiteral("device")));
            browseButton->setEnabled(true);
            // A count that ends while an upgrade runs must not offer a second
            // one, nor an image that was refused.
            upgradeButton->setEnabled(!upgrading_ && !imageRefused_);
        } else {
            deviceCountLabel->setText("No device connected");
            upgradeButton->setEnabled(false);
            browseButton->setEnabled(false);
        }
    }
    // A change seen during an upgrade is counted when the upgrade ends.
    if (scanDeviceAgain && !upgrading_) {
        scanDeviceAgain = false;
        StartDeviceCount();
    }
}

void FirmwareUpgradeWindow::ParseMessages(uint32_t event) {
    if (event != BSL_DEVICE_ARRIVAL && event != BSL_DEVICE_REMOVE_COMPLETE)
        return;
    if (!loaderCountWorker.IsBusy() && !upgrading_)
        StartDeviceCount();
    else
        scanDeviceAgain = true;
}

void FirmwareUpgradeWindow::browseForImage() {
    const auto chosen = prompter().openFileIn(imageDialogFolder(), "", kFileFilter);
    if (!chosen)
        return;
    fileNameEdit->setText(fromBytes(*chosen));
    // The image is read now, once; an unusable one is turned down while the
    // keypad's flash is whole, and the upgrade sends the bytes checked here.
    FirmwareImage image;
    std::string why = ReadFirmwareImage(*chosen, image);
    if (why.empty())
        why = CheckFirmwareImage(image);
    imageRefused_ = !why.empty();
    chosenImage_ = std::move(image);
    statusBox->setPlainText(fromBytes(why));
    upgradeButton->setEnabled(!imageRefused_ && !upgrading_ && numberOfUSBDevicesConnected > 0);
    // Only the name is kept; the result does not matter to the upgrade.
    RememberFirmwareFile(*chosen);
}

void FirmwareUpgradeWindow::startUpgrade() {
    if (upgrading_)
        return;
    // One change at a time, in this program and any other.
    if (!upgrade_) {
        auto upgrade = std::make_unique<ops::FirmwareUpgrade>();
        if (const ops::Result r = upgrade->planLoaderOnly("orvex-config"); !r.ok()) {
            showWarning(r.text);
            return;
        }
        upgrade_ = std::move(upgrade);
    }
    upgrading_ = true;
    upgradeButton->setEnabled(false);
    statusBox->setPlainText("Starting\n");
    lastReport_.clear();
    // The path box shows what Browse read; nothing else sets it. The worker
    // ends before the window (and the upgrade it owns) goes.
    ops::FirmwareUpgrade* upgrade = upgrade_.get();
    upgradeWorker.RunWorkerAsync([image = chosenImage_, upgrade](const auto& report) {
        return upgrade->download(image, report).ok();
    });
}

void FirmwareUpgradeWindow::upgradeProgress(int percent, const std::string& text) {
    progressBar->setValue(percent);
    if (text.empty())
        return;
    // The texts end their lines with CR LF; the box wants LF alone.
    QString shown = fromBytes(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    statusBox->moveCursor(QTextCursor::End);
    statusBox->insertPlainText(shown);
    statusBox->verticalScrollBar()->setValue(statusBox->verticalScrollBar()->maximum());
    lastReport_ = shown.trimmed().split('\n').last().trimmed();
}

void FirmwareUpgradeWindow::upgradeFinished(bool result, bool error) {
    if (!error && result) {
        // The settings go back to the upgraded keypad; the journal goes
        // once they are there.
        if (upgrade_)
            (void)upgrade_->restore();
        keypadHold_.reset();
        // Over: other changes (a resume of this one too) may run.
        upgrade_.reset();
    }
    upgrading_ = false;
    // The outcome is spoken: "Done!" or the reason the upgrade stopped.
    if (!lastReport_.isEmpty())
        announcer->announce(lastReport_);
    // A failed upgrade leaves the loader attached: the count offers a new try.
    // Any change seen meanwhile is counted once, now.
    if ((!error && !result) || scanDeviceAgain) {
        scanDeviceAgain = false;
        StartDeviceCount();
    }
}

void FirmwareUpgradeWindow::closeWindow() {
    close();
}

void FirmwareUpgradeWindow::closeEvent(QCloseEvent* event) {
    if (upgrading_) {
        showWarning(kStillRunningText);
        event->ignore();
        return;
    }
    // Default No: closing leaves the keypad unusable until it is upgraded.
    if (upgrade_ && upgrade_->keypadLeftInLoader()) {
        if (!askYesNo(kLeaveInLoaderQuestion)) {
            event->ignore();
            return;
        }
        emit keypadLeftInLoader();
    }
    event->accept();
}

} // namespace orvex
