#include "ui/main/form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextEdit>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "platform/clock.h"
#include "platform/prompter.h"
#include "ui/about/about.h"
#include "ui/common/ui_style.h"

namespace orvex {

std::array<uint8_t, 32> Form1::keyCodeArray{};
const std::array<const char*, 3> Form1::keypadArray = {"5Way Keypad", "6Way Keypad", "8Way Keypad"};

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

QComboBox* makeList(QWidget* parent, const char* name, int x, int y, const QStringList& entries) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setGeometry(x, y, 207, 28);
    box->setFont(ui::font(12));
    box->setEditable(false);
    box->addItems(entries);
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

QString Form1::KeypadTypeText(int type) {
    if (type >= 0 && type <= 2)
        return QString::fromLatin1(kTypeEntries[type]);
    return QStringLiteral("Keypad Type %1").arg(type);
}

QString Form1::WaysText(int waysCode) {
    if (waysCode >= 0 && waysCode <= 2)
        return QString::fromLatin1(keypadArray[static_cast<size_t>(waysCode)]);
    return QStringLiteral("Keypad Code %1").arg(waysCode);
}

Form1::Form1(QWidget* parent) : QWidget(parent) {
    setObjectName("Form1");
    setWindowTitle(ui::q("Halden Orvex™ Illuminated Configuration Utility"));
    setFixedSize(891, 499);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    menuStrip1 = new QMenuBar(this);
    menuStrip1->setObjectName("menuStrip1");
    menuStrip1->setGeometry(0, 0, 891, 24);
    QMenu* file = menuStrip1->addMenu("File");
    file->setObjectName("fileToolStripMenuItem");
    importCfgFileToolStripMenuItem = file->addAction("Import Cfg File");
    importCfgFileToolStripMenuItem->setObjectName("importCfgFileToolStripMenuItem");
    exportCfgFileToolStripMenuItem = file->addAction("Export Cfg File");
    exportCfgFileToolStripMenuItem->setObjectName("exportCfgFileToolStripMenuItem");
    exitToolStripMenuItem = file->addAction("Exit");
    exitToolStripMenuItem->setObjectName("exitToolStripMenuItem");
    QMenu* help = menuStrip1->addMenu("Help");
    help->setObjectName("helpToolStripMenuItem");
    aboutToolStripMenuItem = help->addAction(ui::q("About Orvex™ Configuration Utility"));
    aboutToolStripMenuItem->setObjectName("aboutToolStripMenuItem");

    label1 = new QLabel(ui::q("Halden Orvex™ Illuminated Configuration Utility"), this);
    label1->setObjectName("label1");
    label1->setGeometry(64, 24, 755, 37);
    label1->setFont(ui::font(24, true));

    button11 = makeButton(this, "button11", "Scan For Device", {27, 82, 109, 67}, 18);

    richTextBox1 = new QTextEdit(this);
    richTextBox1->setObjectName("richTextBox1");
    richTextBox1->setGeometry(158, 82, 681, 67);
    richTextBox1->setReadOnly(true);
    richTextBox1->setFont(ui::font(12));
    richTextBox1->setLineWrapMode(QTextEdit::NoWrap);
    richTextBox1->setFocusPolicy(Qt::NoFocus);
    richTextBox1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    richTextBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    richTextBox1->setStyleSheet(
        "QTextEdit { color: rgb(105, 105, 105); background-color: rgb(192, 255, 255); }");

    keypadTypeCbox = makeList(this, "keypadTypeCbox", 27, 173,
                              {kTypeEntries[0], kTypeEntries[1], kTypeEntries[2]});
    ledBrightnessCbox =
        makeList(this, "ledBrightnessCbox", 330, 173, numbered("LED Brightness - ", 0, 9));
    ledColourCbox =
        makeList(this, "ledColourCbox", 632, 173, numbered("JACK LED Brightness - ", 0, 9));
    button2 = makeButton(this, "button2", ui::q("Test Orvex™"), {632, 231, 206, 50});
    buzzerCbox = makeList(this, "buzzerCbox", 27, 245, {"Buzzer - Off", "Buzzer - On"});
    buzzerPeriodCbox =
        makeList(this, "buzzerPeriodCbox", 330, 245, numbered("Buzzer Period -", 1, 9));
    button1 = makeButton(this, "button1", "Customise Code Table", {27, 318, 206, 50});
    button3 = makeButton(this, "button3", "Reset From Configuration File", {333, 314, 203, 58});
    button8 = makeButton(this, "button8", "Save Changes", {632, 318, 206, 50});
    btnLoadFirmware = makeButton(this, "btnLoadFirmware", ui::q("Update Orvex™ Keypad Firmware"),
                                 {27, 398, 206, 67});
    button9 = makeButton(this, "button9", "Reset To Factory Default", {330, 398, 206, 67});
    button10 = makeButton(this, "button10", "Exit", {632, 398, 206, 67});

    statusStrip1 = new QStatusBar(this);
    statusStrip1->setObjectName("statusStrip1");
    statusStrip1->setGeometry(0, 477, 891, 22);
    statusStrip1->setSizeGripEnabled(false);

    ShowListPlaceholders(ListText::BeforeRead);

    // Disabled until a keypad answers.
    for (QWidget* w : std::initializer_list<QWidget*>{button8, button9, button1, button2,
                                                      keypadTypeCbox, ledBrightnessCbox,
                                                      ledColourCbox, buzzerCbox, buzzerPeriodCbox})
        w->setEnabled(false);

    connect(button11, &QPushButton::clicked, this, &Form1::button11_Click);
    connect(button8, &QPushButton::clicked, this, &Form1::button8_Click);
    connect(button9, &QPushButton::clicked, this, &Form1::button9_Click);
    connect(button10, &QPushButton::clicked, this, &Form1::button10_Click);
    connect(button1, &QPushButton::clicked, this, &Form1::button1_Click);
    connect(button2, &QPushButton::clicked, this, &Form1::button2_Click);
    connect(button3, &QPushButton::clicked, this, &Form1::button3_Click);
    connect(btnLoadFirmware, &QPushButton::clicked, this, &Form1::btnLoadFirmware_Click);
    connect(exitToolStripMenuItem, &QAction::triggered, this, &Form1::button10_Click);
    connect(aboutToolStripMenuItem, &QAction::triggered, this,
            &Form1::aboutToolStripMenuItem_Click);
    connect(importCfgFileToolStripMenuItem, &QAction::triggered, this,
            &Form1::importCfgFileToolStripMenuItem_Click);
    connect(exportCfgFileToolStripMenuItem, &QAction::triggered, this,
            &Form1::exportCfgFileToolStripMenuItem_Click);
    // Only the user's committed pick sends anything; selections made by the
    // program do not.
    connect(keypadTypeCbox, &QComboBox::activated, this,
            &Form1::keypadTypeCbox_SelectionChangeCommitted);
    connect(ledBrightnessCbox, &QComboBox::activated, this,
            &Form1::ledBrightnessCbox_SelectionChangeCommitted);
    connect(ledColourCbox, &QComboBox::activated, this,
            &Form1::ledColourCbox_SelectionChangeCommitted);
    connect(buzzerCbox, &QComboBox::activated, this, &Form1::buzzerCbox_SelectionChangeCommitted);
    connect(buzzerPeriodCbox, &QComboBox::activated, this,
            &Form1::buzzerPeriodCbox_SelectionChangeCommitted);
}

void Form1::Form1_Load() {
    PrepareConfigFile();
    RescanForDevice();
    UpdatePermissionHint();
    prev_options_fitted = 0;
    if (GetDeviceStatusMessage() == 0) {
        EnableDisableFunctionButtons(true);
        SelectRememberedEntries();
        WriteConnectedStatus();
    } else {
        ShowListPlaceholders(ListText::AfterFailedRead);
        WriteNoneStatus();
        EnableDisableFunctionButtons(false);
    }
}

int Form1::GetDeviceStatusMessage() {
    DeviceStatus s;
    if (ReadDeviceStatus(s) != 0)
        return -1;
    prev_ledBrightness_index = s.ledBrightness;
    prev_jackLedBrightness_index = s.jackLedBrightness;
    prev_buzzer_index = s.buzzer;
    prev_options_fitted = s.options;
    noOfWayKeypad = s.waysCode();
    prev_buzzerPeriod_index = s.buzzerPeriodIndex();
    prev_keypadType_index = s.keypadType;
    keyCodeArray = s.keyCodes;
    firmwareVersion = s.firmwareVersion;
    serialNumber = s.serialNumber;
    return 0;
}

void Form1::EnableDisableFunctionButtons(bool enable) {
    const int o = prev_options_fitted;
    ledBrightnessCbox->setEnabled((o & 2) ? enable : true);
    ledColourCbox->setEnabled((o & 1) ? enable : true);
    if (o & 4) {
        buzzerCbox->setEnabled(enable);
        buzzerPeriodCbox->setEnabled(enable);
    } else {
        buzzerCbox->setEnabled(true);
        buzzerPeriodCbox->setEnabled(true);
        ledColourCbox->setEnabled(true);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{keypadTypeCbox, button1, button8, button9,
                                                      button2, button3})
        w->setEnabled(enable);
}

bool Form1::RefreshFromDevice() {
    UpdatePermissionHint();
    if (GetDeviceStatusMessage() == 0) {
        EnableDisableFunctionButtons(true);
        SelectRememberedEntries();
        WriteConnectedStatus();
        return true;
    }
    ShowListPlaceholders(ListText::AfterFailedRead);
    WriteNoneStatus();
    EnableDisableFunctionButtons(false);
    return false;
}

void Form1::ShowListPlaceholders(ListText which) {
    const bool before = which == ListText::BeforeRead;
    const std::pair<QComboBox*, QString> texts[] = {
        {keypadTypeCbox, before ? ui::q("Orvex™ - Layout") : QString("Keypad - Layout")},
        {ledBrightnessCbox, before ? "LED Brightness - 0" : "LED Brightness"},
        {ledColourCbox, before ? "JACK LED Brightness - 0" : "LED Colour"},
        {buzzerCbox, before ? "Buzzer - Off" : "Buzzer"},
        {buzzerPeriodCbox, before ? "Buzzer Period -0" : "Buzzer Period"},
    };
    for (const auto& [box, text] : texts) {
        box->setCurrentIndex(-1);
        box->setPlaceholderText(text);
    }
}

void Form1::SelectRememberedEntries() {
    selectEntry(keypadTypeCbox, prev_keypadType_index, KeypadTypeText(prev_keypadType_index));
    selectEntry(ledBrightnessCbox, prev_ledBrightness_index,
                QStringLiteral("LED Brightness - %1").arg(prev_ledBrightness_index));
    selectEntry(ledColourCbox, prev_jackLedBrightness_index,
                QStringLiteral("JACK LED Brightness - %1").arg(prev_jackLedBrightness_index));
    selectEntry(buzzerCbox, prev_buzzer_index,
                QStringLiteral("Buzzer - %1").arg(prev_buzzer_index));
    selectEntry(buzzerPeriodCbox, prev_buzzerPeriod_index,
                QStringLiteral("Buzzer Period -%1").arg(prev_buzzerPeriod_index + 1));
}

void Form1::WriteConnectedStatus() {
    configArray[0] = ui::q("Device Connected   -    Orvex™"
                           "                Firmware Version        -   ") +
                     QString::fromLatin1(firmwareVersion.c_str());
    configArray[1] = "Keypad Selected     -    " + WaysText(noOfWayKeypad) +
                     "         Code Table Loaded     -   " + KeypadTypeText(prev_keypadType_index);
    configArray[2] =
        "Serial Number          -    " +
        QString::fromLatin1(serialNumber.data(), static_cast<int>(serialNumber.size()));
    ShowStatusPanel();
}

void Form1::WriteNoneStatus() {
    configArray[0] = "Device Connected   -    None                                Firmware "
                     "Version        -   None";
    configArray[1] = "Keypad Selected     -    None                                Code Table "
                     "Loaded     -   None";
    configArray[2] = "Serial Number          -    None";
    ShowStatusPanel();
}

void Form1::ShowStatusPanel() {
    richTextBox1->setPlainText(configArray[0] + "\n" + configArray[1] + "\n" + configArray[2]);
}

bool Form1::PickSetting(QComboBox* box, uint8_t command, int index, int payload, int& remembered,
                        const char* failure) {
    if (SendDeviceCommandByte(command, static_cast<uint8_t>(payload)) != LINK_OK) {
        showWarning(failure);
        SelectRememberedEntries();
        (void)box;
        return false;
    }
    remembered = index;
    return true;
}

void Form1::keypadTypeCbox_SelectionChangeCommitted(int index) {
    if (PickSetting(keypadTypeCbox, SetKeypadType, index, index, prev_keypadType_index,
                    "Unable to set Keypad Type.."))
        WriteConnectedStatus();
}

void Form1::ledBrightnessCbox_SelectionChangeCommitted(int index) {
    PickSetting(ledBrightnessCbox, SetLedBrightness, index, index, prev_ledBrightness_index,
                "Unable to set the LED Brightness..");
}

void Form1::ledColourCbox_SelectionChangeCommitted(int index) {
    PickSetting(ledColourCbox, SetJackLedBrightness, index, index, prev_jackLedBrightness_index,
                "Unable to set LED colour..");
}

void Form1::buzzerCbox_SelectionChangeCommitted(int index) {
    PickSetting(buzzerCbox, SetBuzzer, index, index, prev_buzzer_index,
                "Unable to set Buzzer On/Off..");
}

void Form1::buzzerPeriodCbox_SelectionChangeCommitted(int index) {
    PickSetting(buzzerPeriodCbox, SetBuzzerPeriod, index, index + 1, prev_buzzerPeriod_index,
                "Unable to set Buzzer Period..");
}

void Form1::button11_Click() {
    RescanForDevice();
    RefreshFromDevice();
}

void Form1::button8_Click() {
    if (SendDeviceCommand(WriteDefaults) != LINK_OK) {
        showWarning("Unable to Write Default..");
        return;
    }
    SaveToConfigFile();
}

void Form1::button9_Click() {
    SendDeviceCommand(FactoryReset); // the keypad restarts; its answer means nothing
    sleep_ms(3000);
    RescanForDevice();
    UpdatePermissionHint();
    if (GetDeviceStatusMessage() == 0) {
        EnableDisableFunctionButtons(true);
        SelectRememberedEntries();
        WriteConnectedStatus();
    } else {
        showWarning("Please power off/on the Orvex™.");
        ShowListPlaceholders(ListText::AfterFailedRead);
        WriteNoneStatus();
        EnableDisableFunctionButtons(false);
    }
}

QString Form1::PermissionHintText() {
    return QStringLiteral("A keypad is plugged in but cannot be opened (no permission). "
                          "See README, \"USB permissions (udev rule)\".");
}

void Form1::UpdatePermissionHint() {
    if (!hid_handle && LastScanFoundButCouldNotOpen())
        statusStrip1->showMessage(PermissionHintText());
    else
        statusStrip1->clearMessage();
}

void Form1::CloseLink() {
    if (hid_handle)
        CloseDevice();
}

void Form1::button10_Click() {
    if (exited_)
        return;
    exited_ = true;
    CloseLink();
    emit exitRequested();
}

void Form1::closeEvent(QCloseEvent* event) {
    button10_Click();
    event->accept();
}

void Form1::aboutToolStripMenuItem_Click() {
    auto* box = new about();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->move(pos());
    box->show();
}

} // namespace orvex
