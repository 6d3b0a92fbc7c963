#include "ui/main/main_window.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"
#include "device/keypad_presence.h"
#include "platform/clock.h"
#include "platform/prompter.h"
#include "ui/about/about_box.h"
#include "ui/common/accessibility.h"
#include "ui/common/busy_guard.h"
#include "ui/common/form_layout.h"
#include "ui/common/keyboard.h"
#include "ui/common/ui_style.h"
#include "ui/common/wheel_guard.h"

namespace orvex {

std::array<uint8_t, 32> MainWindow::lastKeyCodes{};
const std::array<const char*, 3> MainWindow::kWaysNames = {"5Way Keypad", "6Way Keypad",
                                                           "8Way Keypad"};

namespace {

const char* const kTypeEntries[] = {"Default      Table", "Alternate   Table", "Customise Table"};

// A value the list has no entry for is shown as text in the edit field
// rather than selecting a wrong entry.
void selectEntry(QComboBox* box, int index, const QString& outOfRangeText) {
    if (index >= 0 && index < box->count()) {
        box->setCurrentIndex(index);
    } else {
        box->setCurrentIndex(-1);
        box->setPlaceholderText(outOfRangeText);
    }
}

// The lists allow selection only: a typed character neither moves the
// selection (the list's search by first letters) nor sends anything. Keys
// without text (arrows, page keys, F4) keep working, and Space on a closed
// list opens it, as on any desktop list.
class TypedCharacterFilter : public QObject {
public:
    explicit TypedCharacterFilter(QComboBox* list) : QObject(list), list_(list) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (watched == list_ && key->key() == Qt::Key_Space &&
                key->modifiers() == Qt::NoModifier)
                return false;
            const QString text = key->text();
            if (!text.isEmpty() && text.at(0).isPrint())
                return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QComboBox* list_;
};

QComboBox* makeList(QWidget* parent, const char* name, const char* spokenName, int x, int y,
                    const QStringList& entries) {
    auto* box = new ui::NamedList(spokenName, parent);
    box->setObjectName(name);
    box->setGeometry(x, y, 207, 28);
    box->setFont(ui::font(12));
    box->setEditable(false);
    box->addItems(entries);
    auto* filter = new TypedCharacterFilter(box);
    box->installEventFilter(filter);
    box->view()->installEventFilter(filter);
    ui::TakeWheelOnlyWithFocus(box);
    // The texts shown before a status read are the list's own text, not hints:
    // drawn in the list's normal (or, when disabled, greyed) text colour.
    QPalette palette = box->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::PlaceholderText,
                         palette.color(group, QPalette::ButtonText));
    box->setPalette(palette);
    return box;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text, QRect geometry,
                        double points = 13.8) {
    auto* b = new ui::WrapButton(text, parent);
    b->setObjectName(name);
    b->setGeometry(geometry);
    b->setFont(ui::font(points));
    return b;
}

QStringList numbered(const QString& prefix, int first, int last) {
    QStringList l;
    for (int i = first; i <= last; ++i)
        l << prefix + QString::number(i);
    return l;
}

} // namespace

QString MainWindow::KeypadTypeText(int type) {
    if (type >= 0 && type <= 2)
        return QString::fromLatin1(kTypeEntries[type]);
    return QStringLiteral("Keypad Type %1").arg(type);
}

QString MainWindow::WaysText(int waysCode) {
    if (waysCode >= 0 && waysCode <= 2)
        return QString::fromLatin1(kWaysNames[static_cast<size_t>(waysCode)]);
    return QStringLiteral("Keypad Code %1").arg(waysCode);
}

MainWindow::MainWindow(QWidget* parent) : QWidget(parent) {
    setObjectName("MainWindow");
    setWindowTitle(ui::q("Halden Orvex™ Illuminated Configuration Utility"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    menuBar = new QMenuBar(this);
    menuBar->setObjectName("menuBar");
    menuBar->setGeometry(0, 0, 891, 24);
    QMenu* file = menuBar->addMenu("&File");
    file->setObjectName("fileMenu");
    importAction = file->addAction("&Import Cfg File");
    importAction->setObjectName("importAction");
    exportAction = file->addAction("&Export Cfg File");
    exportAction->setObjectName("exportAction");
    exitAction = file->addAction("E&xit");
    exitAction->setObjectName("exitAction");
    exitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    exitAction->setShortcutContext(Qt::WindowShortcut);
    addAction(exitAction); // Ctrl+Q works with the menu closed
    QMenu* help = menuBar->addMenu("&Help");
    help->setObjectName("helpMenu");
    aboutAction = help->addAction(ui::q("&About Orvex™ Configuration Utility"));
    aboutAction->setObjectName("aboutAction");
    // F10 opens the menu bar, as on GNOME and KDE desktops.
    auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
    menuKey->setObjectName("menuShortcut");
    connect(menuKey, &QShortcut::activated, this,
            [this, file] { menuBar->setActiveAction(file->menuAction()); });

    titleLabel = new QLabel(ui::q("Halden Orvex™ Illuminated Configuration Utility"), this);
    titleLabel->setObjectName("titleLabel");
    titleLabel->setGeometry(64, 24, 755, 37);
    titleLabel->setFont(ui::font(24, true));

    scanButton = makeButton(this, "scanButton", "Scan For Device", {27, 82, 109, 67}, 18);

    statusPanel = new QTextEdit(this);
    statusPanel->setObjectName("statusPanel");
    statusPanel->setGeometry(158, 82, 681, 67);
    statusPanel->setReadOnly(true);
    statusPanel->setFont(ui::font(12));
    statusPanel->setLineWrapMode(QTextEdit::NoWrap);
    statusPanel->setFocusPolicy(Qt::NoFocus);
    statusPanel->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    statusPanel->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    statusPanel->setStyleSheet(
        "QTextEdit { color: rgb(105, 105, 105); background-color: rgb(192, 255, 255); }");
    statusPanel->setAccessibleName("Keypad status");

    keypadTypeList = makeList(this, "keypadTypeList", "Code table", 27, 173,
                              {kTypeEntries[0], kTypeEntries[1], kTypeEntries[2]});
    ledBrightnessList = makeList(this, "ledBrightnessList", "LED brightness", 330, 173,
                                 numbered("LED Brightness - ", 0, 9));
    ledColourList = makeList(this, "ledColourList", "Jack LED brightness", 632, 173,
                             numbered("JACK LED Brightness - ", 0, 9));
    selfTestButton = makeButton(this, "selfTestButton", ui::q("Test Orvex™"), {632, 231, 206, 50});
    buzzerList = makeList(this, "buzzerList", "Buzzer", 27, 245, {"Buzzer - Off", "Buzzer - On"});
    buzzerPeriodList = makeList(this, "buzzerPeriodList", "Buzzer period", 330, 245,
                                numbered("Buzzer Period -", 1, 9));
    codeTableButton =
        makeButton(this, "codeTableButton", "Customise Code Table", {27, 318, 206, 50});
    restoreFromFileButton = makeButton(this, "restoreFromFileButton",
                                       "Reset From Configuration File", {333, 314, 203, 58});
    saveChangesButton = makeButton(this, "saveChangesButton", "Save Changes", {632, 318, 206, 50});
    firmwareButton = makeButton(this, "firmwareButton", ui::q("Update Orvex™ Keypad Firmware"),
                                {27, 398, 206, 67});
    factoryResetButton =
        makeButton(this, "factoryResetButton", "Reset To Factory Default", {330, 398, 206, 67});
    exitButton = makeButton(this, "exitButton", "Exit", {632, 398, 206, 67});

    statusBar = new QStatusBar(this);
    statusBar->setObjectName("statusBar");
    statusBar->setGeometry(0, 477, 891, 22);
    statusBar->setSizeGripEnabled(false);
    // Known by its place; what it says is its description.
    statusBar->setAccessibleName("Status strip");
    connect(statusBar, &QStatusBar::messageChanged, statusBar,
            [this](const QString& message) { statusBar->setAccessibleDescription(message); });
    ui::speakMessagesOf(statusBar);

    ShowListPlaceholders(ListText::BeforeRead);

    // Disabled until a keypad answers.
    for (QWidget* w : std::initializer_list<QWidget*>{
             saveChangesButton, factoryResetButton, codeTableButton, selfTestButton, keypadTypeList,
             ledBrightnessList, ledColourList, buzzerList, buzzerPeriodList})
        w->setEnabled(false);

    ui::finishForm(
        this, {891, 499},
        {.kind = ui::WindowKind::Frame,
         .onEscape = {},
         .tabOrder = {scanButton, keypadTypeList, ledBrightnessList, ledColourList, buzzerList,
                      buzzerPeriodList, selfTestButton, codeTableButton, restoreFromFileButton,
                      saveChangesButton, firmwareButton, factoryResetButton, exitButton},
         .pinnedTop = menuBar,
         .pinnedBottom = statusBar});

    // Each action starts with an empty strip, so no earlier result stands
    // beside this one's (connected first: runs before the action).
    for (QPushButton* b : findChildren<QPushButton*>())
        connect(b, &QPushButton::clicked, statusBar, &QStatusBar::clearMessage);
    for (QComboBox* list : findChildren<QComboBox*>())
        connect(list, &QComboBox::activated, statusBar, &QStatusBar::clearMessage);
    for (QAction* a : {importAction, exportAction, aboutAction})
        connect(a, &QAction::triggered, statusBar, &QStatusBar::clearMessage);
    connect(scanButton, &QPushButton::clicked, this, &MainWindow::scanForDevice);
    connect(saveChangesButton, &QPushButton::clicked, this, &MainWindow::saveChanges);
    connect(factoryResetButton, &QPushButton::clicked, this, &MainWindow::resetToFactoryDefault);
    connect(exitButton, &QPushButton::clicked, this, &MainWindow::exitUtility);
    connect(codeTableButton, &QPushButton::clicked, this, &MainWindow::openCodeTableEditor);
    connect(selfTestButton, &QPushButton::clicked, this, &MainWindow::openSelfTest);
    connect(restoreFromFileButton, &QPushButton::clicked, this, &MainWindow::restoreFromConfigFile);
    connect(firmwareButton, &QPushButton::clicked, this, &MainWindow::openFirmwareUpgrade);
    connect(exitAction, &QAction::triggered, this, &MainWindow::exitUtility);
    connect(aboutAction, &QAction::triggered, this, &MainWindow::showAboutBox);
    connect(importAction, &QAction::triggered, this, &MainWindow::importConfigFile);
    connect(exportAction, &QAction::triggered, this, &MainWindow::exportConfigFile);
    // Only the user's committed pick sends anything; selections made by the
    // program do not.
    connect(keypadTypeList, &QComboBox::activated, this, &MainWindow::keypadTypePicked);
    connect(ledBrightnessList, &QComboBox::activated, this, &MainWindow::ledBrightnessPicked);
    connect(ledColourList, &QComboBox::activated, this, &MainWindow::ledColourPicked);
    connect(buzzerList, &QComboBox::activated, this, &MainWindow::buzzerPicked);
    connect(buzzerPeriodList, &QComboBox::activated, this, &MainWindow::buzzerPeriodPicked);
}

void MainWindow::startUp() {
    PrepareConfigFile();
    // Followed from the first scan on: a keypad plugged in while its "not
    // connected" warning is up is read as it arrives.
    FollowKeypad();
    RescanForDevice();
    lastOptions = 0;
    RefreshFromDevice();
    // Once the window is up: an upgrade that was interrupted is offered to be
    // finished.
    QTimer::singleShot(0, this, [this] { offerToFinishUpgrade(true); });
}

int MainWindow::GetDeviceStatusMessage() {
    DeviceStatus s;
    if (ReadDeviceStatus(s) != 0)
        return -1;
    RememberStatus(s);
    return 0;
}

void MainWindow::RememberStatus(const DeviceStatus& s) {
    lastLedBrightness = s.ledBrightness;
    lastJackLedBrightness = s.jackLedBrightness;
    lastBuzzer = s.buzzer;
    lastOptions = s.options;
    waysCode = s.waysCode();
    lastBuzzerPeriodIndex = s.buzzerPeriodIndex();
    lastKeypadType = s.keypadType;
    lastKeyCodes = s.keyCodes;
    firmwareVersion = s.firmwareVersion;
    serialNumber = s.serialNumber;
}

void MainWindow::EnableDisableFunctionButtons(bool enable) {
    const int o = lastOptions;
    ledBrightnessList->setEnabled((o & 2) ? enable : true);
    ledColourList->setEnabled((o & 1) ? enable : true);
    if (o & 4) {
        buzzerList->setEnabled(enable);
        buzzerPeriodList->setEnabled(enable);
    } else {
        buzzerList->setEnabled(true);
        buzzerPeriodList->setEnabled(true);
        ledColourList->setEnabled(true);
    }
    for (QWidget* w :
         std::initializer_list<QWidget*>{keypadTypeList, codeTableButton, saveChangesButton,
                                         factoryResetButton, selfTestButton, restoreFromFileButton})
        w->setEnabled(enable);
}

bool MainWindow::RefreshFromDevice() {
    UpdatePermissionHint();
    if (GetDeviceStatusMessage() == 0) {
        ShowConnectedForm();
        return true;
    }
    ShowNotConnectedForm();
    return false;
}

void MainWindow::ShowConnectedForm() {
    keypadInLoader_ = false;
    EnableDisableFunctionButtons(true);
    SelectRememberedEntries();
    WriteConnectedStatus();
}

void MainWindow::ShowNotConnectedForm() {
    ShowListPlaceholders(ListText::AfterFailedRead);
    WriteNoneStatus();
    EnableDisableFunctionButtons(false);
    // The strip says why, never that a keypad is there.
    statusBar->showMessage(NotConnectedText());
}

QString MainWindow::NotConnectedText() const {
    if (!hid_handle && LastScanFoundButCouldNotOpen())
        return PermissionHintText();
    if (keypadInLoader_)
        return KeypadInLoaderText();
    if (KeypadWasUnplugged())
        return QString::fromUtf8(kKeypadUnpluggedText);
    if (KeypadAttached())
        return KeypadSilentText();
    return NoKeypadText();
}

QString MainWindow::ScanFoundText() {
    return QStringLiteral("Keypad found.");
}

QString MainWindow::NoKeypadText() {
    return QStringLiteral("No keypad is connected.");
}

QString MainWindow::KeypadInLoaderText() {
    return QStringLiteral("The keypad is in its loader for the firmware upgrade.");
}

QString MainWindow::RestoringSavedText() {
    return QStringLiteral("Restoring the saved settings...");
}

QString MainWindow::RestoringFactoryText() {
    return QStringLiteral("Restoring the factory settings...");
}

QString MainWindow::ImportingText() {
    return QStringLiteral("Importing the settings...");
}

void MainWindow::ShowListPlaceholders(ListText which) {
    const bool before = which == ListText::BeforeRead;
    const std::pair<QComboBox*, QString> texts[] = {
        {keypadTypeList, before ? ui::q("Orvex™ - Layout") : QString("Keypad - Layout")},
        {ledBrightnessList, before ? "LED Brightness - 0" : "LED Brightness"},
        {ledColourList, before ? "JACK LED Brightness - 0" : "LED Colour"},
        {buzzerList, before ? "Buzzer - Off" : "Buzzer"},
        {buzzerPeriodList, before ? "Buzzer Period -0" : "Buzzer Period"},
    };
    for (const auto& [box, text] : texts) {
        box->setCurrentIndex(-1);
        box->setPlaceholderText(text);
    }
}

void MainWindow::SelectRememberedEntries() {
    for (QComboBox* box :
         {keypadTypeList, ledBrightnessList, ledColourList, buzzerList, buzzerPeriodList})
        SelectRememberedEntry(box);
}

void MainWindow::SelectRememberedEntry(QComboBox* box) {
    if (box == keypadTypeList)
        selectEntry(box, lastKeypadType, KeypadTypeText(lastKeypadType));
    else if (box == ledBrightnessList)
        selectEntry(box, lastLedBrightness,
                    QStringLiteral("LED Brightness - %1").arg(lastLedBrightness));
    else if (box == ledColourList)
        selectEntry(box, lastJackLedBrightness,
                    QStringLiteral("JACK LED Brightness - %1").arg(lastJackLedBrightness));
    else if (box == buzzerList)
        selectEntry(box, lastBuzzer, QStringLiteral("Buzzer - %1").arg(lastBuzzer));
    else if (box == buzzerPeriodList)
        selectEntry(box, lastBuzzerPeriodIndex,
                    QStringLiteral("Buzzer Period -%1").arg(lastBuzzerPeriodIndex + 1));
}

void MainWindow::WriteConnectedStatus() {
    statusLines[0] = ui::q("Device Connected   -    Orvex™"
                           "                Firmware Version        -   ") +
                     QString::fromLatin1(firmwareVersion.c_str());
    statusLines[1] = "Keypad Selected     -    " + WaysText(waysCode) +
                     "         Code Table Loaded     -   " + KeypadTypeText(lastKeypadType);
    statusLines[2] =
        "Serial Number          -    " +
        QString::fromLatin1(serialNumber.data(), static_cast<int>(serialNumber.size()));
    ShowStatusPanel();
}

void MainWindow::WriteNoneStatus() {
    statusLines[0] = "Device Connected   -    None                                Firmware "
                     "Version        -   None";
    statusLines[1] = "Keypad Selected     -    None                                Code Table "
                     "Loaded     -   None";
    statusLines[2] = "Serial Number          -    None";
    ShowStatusPanel();
}

void MainWindow::ShowStatusPanel() {
    statusPanel->setPlainText(statusLines[0] + "\n" + statusLines[1] + "\n" + statusLines[2]);
}

bool MainWindow::PickSetting(QComboBox* box, ops::Setting setting, int index, int payload,
                             int& remembered, const char* failure) {
    ops::SettingChange change;
    if (!Planned(change.plan(kProgramName, setting, payload))) {
        SelectRememberedEntry(box);
        return false;
    }
    if (!change.run().ok()) {
        WarnCommandFailed(failure);
        // Only this list goes back; the others keep what they show.
        SelectRememberedEntry(box);
        return false;
    }
    remembered = index;
    return true;
}

void MainWindow::keypadTypePicked(int index) {
    if (PickSetting(keypadTypeList, ops::Setting::KeypadType, index, index, lastKeypadType,
                    "Unable to set Keypad Type.."))
        WriteConnectedStatus();
}

void MainWindow::ledBrightnessPicked(int index) {
    PickSetting(ledBrightnessList, ops::Setting::LedBrightness, index, index, lastLedBrightness,
                "Unable to set the LED Brightness..");
}

void MainWindow::ledColourPicked(int index) {
    PickSetting(ledColourList, ops::Setting::JackLedBrightness, index, index, lastJackLedBrightness,
                "Unable to set LED colour..");
}

void MainWindow::buzzerPicked(int index) {
    PickSetting(buzzerList, ops::Setting::Buzzer, index, index, lastBuzzer,
                "Unable to set Buzzer On/Off..");
}

void MainWindow::buzzerPeriodPicked(int index) {
    PickSetting(buzzerPeriodList, ops::Setting::BuzzerPeriod, index, index + 1,
                lastBuzzerPeriodIndex, "Unable to set Buzzer Period..");
}

void MainWindow::scanForDevice() {
    RescanForDevice();
    if (RefreshFromDevice())
        statusBar->showMessage(ScanFoundText());
}

QString MainWindow::KeypadBusyText() {
    return QStringLiteral("Another window is working with the keypad (the self test or a firmware "
                          "upgrade). Try again when it has finished..");
}

bool MainWindow::KeypadBusyElsewhere() {
    if (!KeypadOwnedBySequence())
        return false;
    showWarning(KeypadBusyText().toStdString());
    return true;
}

bool MainWindow::Planned(const ops::Result& plan) {
    if (!plan.ok())
        showWarning(plan.text);
    return plan.ok();
}

void MainWindow::saveChanges() {
    if (KeypadBusyElsewhere())
        return;
    ops::SaveSettings save;
    if (!Planned(save.plan(kProgramName)))
        return;
    if (ShowSaveOutcome(save, save.run()))
        statusBar->showMessage(SavedText());
}

QString MainWindow::SavedText() {
    return QStringLiteral("Settings saved to the keypad and to the configuration file.");
}

QString MainWindow::FactoryResetText() {
    // Only what this window knows: the reset's answer is not looked at, and
    // what it does to the keypad's tables is the keypad's own matter.
    return QStringLiteral("Reset To Factory Default was sent; the settings shown are read from "
                          "the keypad now. The configuration file was not changed.");
}

void MainWindow::resetToFactoryDefault() {
    if (KeypadBusyElsewhere())
        return;
    ops::FactoryResetChange reset;
    if (!Planned(reset.plan(kProgramName)))
        return;
    ui::BusyGuard busy(statusBar, RestoringFactoryText());
    // The keypad restarts: this sequence sees it leave and come back.
    KeypadSequence owned(KeypadSequence::After::Nothing, reset.keypad());
    const ops::Result reopened = reset.run();
    UpdatePermissionHint();
    if (reopened.ok()) {
        // Read here; a keypad that comes back only later is read when the
        // sequence ends.
        RememberStatus(reset.status());
        keypadChangedDuringSequence_ = false;
        ShowConnectedForm();
        statusBar->showMessage(FactoryResetText());
    } else {
        showWarning("Please power off/on the Orvex™.");
        ShowNotConnectedForm();
    }
}

QString MainWindow::PermissionHintText() {
    return QStringLiteral("A keypad is plugged in but cannot be opened (no permission). "
                          "See README, \"USB permissions (udev rule)\".");
}

void MainWindow::UpdatePermissionHint() {
    if (!hid_handle && LastScanFoundButCouldNotOpen())
        statusBar->showMessage(PermissionHintText());
    else
        statusBar->clearMessage();
}

void MainWindow::CloseLink() {
    if (hid_handle)
        CloseDevice();
}

void MainWindow::exitUtility() {
    if (exited_)
        return;
    exited_ = true;
    StopFollowingKeypad();
    CloseLink();
    emit exitRequested();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    exitUtility();
    event->accept();
}

void MainWindow::showAboutBox() {
    auto* box = new AboutBox();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->move(pos());
    box->show();
}

} // namespace orvex
