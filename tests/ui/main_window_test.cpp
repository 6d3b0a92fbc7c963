// The main window against the virtual keypad, headless and in virtual time.

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <fstream>
#include <iterator>

#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "platform/qt_prompter.h"
#include "test_env.h"
#include "ui/main/main_window.h"
#include "ui/main/splash_screen.h"

using namespace orvex;

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string kNotConnected = "Halden Orvex\u2122 not connected..\n";

QString panelLine(const MainWindow& f, int n) {
    return f.statusPanel->toPlainText().split('\n').value(n);
}

// What the user does: pick an entry and commit it.
void pick(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
}

QString shown(const QComboBox* box) {
    return box->currentIndex() >= 0 ? box->currentText() : box->placeholderText();
}

class MainWindowTest : public test::VirtualEnvTest {
protected:
    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::unique_ptr<MainWindow> form;

    void start(uint8_t options = 2) {
        keypad = plugKeypad();
        keypad->model.setOptions(options);
        form = std::make_unique<MainWindow>();
        form->startUp();
        keypad->model.clearLog();
    }
    void TearDown() override {
        form.reset();
        test::VirtualEnvTest::TearDown();
    }
    std::vector<QWidget*> deviceControls() const {
        return {form->keypadTypeList,     form->codeTableButton, form->saveChangesButton,
                form->factoryResetButton, form->selfTestButton,  form->restoreFromFileButton};
    }
    std::vector<QWidget*> settingLists() const {
        return {form->ledBrightnessList, form->ledColourList, form->buzzerList,
                form->buzzerPeriodList};
    }
};

} // namespace

TEST_F(MainWindowTest, ControlsSitWhereTheDesignerPutThem) {
    MainWindow f;
    EXPECT_EQ(f.size(), QSize(891, 499));
    EXPECT_EQ(f.windowTitle(),
              QString::fromUtf8("Halden Orvex™ Illuminated Configuration Utility"));
    const std::pair<const char*, QRect> expected[] = {
        {"scanButton", {27, 82, 109, 67}},           {"statusPanel", {158, 82, 681, 67}},
        {"keypadTypeList", {27, 173, 207, 28}},      {"ledBrightnessList", {330, 173, 207, 28}},
        {"ledColourList", {632, 173, 207, 28}},      {"selfTestButton", {632, 231, 206, 50}},
        {"buzzerList", {27, 245, 207, 28}},          {"buzzerPeriodList", {330, 245, 207, 28}},
        {"codeTableButton", {27, 318, 206, 50}},     {"restoreFromFileButton", {333, 314, 203, 58}},
        {"saveChangesButton", {632, 318, 206, 50}},  {"firmwareButton", {27, 398, 206, 67}},
        {"factoryResetButton", {330, 398, 206, 67}}, {"exitButton", {632, 398, 206, 67}},
        {"titleLabel", {64, 24, 755, 37}},
    };
    for (const auto& [name, rect] : expected) {
        auto* w = f.findChild<QWidget*>(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_EQ(w->geometry(), rect) << name;
    }
    // Before any status read.
    EXPECT_EQ(shown(f.keypadTypeList), QString::fromUtf8("Orvex™ - Layout"));
    EXPECT_EQ(shown(f.buzzerPeriodList), "Buzzer Period -0");
    EXPECT_EQ(f.keypadTypeList->itemText(0), "Default      Table");
    EXPECT_EQ(f.keypadTypeList->itemText(1), "Alternate   Table");
    EXPECT_EQ(f.buzzerPeriodList->count(), 9);
    EXPECT_EQ(f.buzzerPeriodList->itemText(0), "Buzzer Period -1");
    EXPECT_EQ(f.ledColourList->itemText(9), "JACK LED Brightness - 9");
    for (QWidget* w : std::initializer_list<QWidget*>{f.saveChangesButton, f.factoryResetButton,
                                                      f.codeTableButton, f.selfTestButton,
                                                      f.keypadTypeList, f.ledBrightnessList})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(f.restoreFromFileButton->isEnabled());
    EXPECT_TRUE(f.firmwareButton->isEnabled());
}

TEST_F(MainWindowTest, StartWithoutKeypadShowsNoneForm) {
    form = std::make_unique<MainWindow>();
    form->startUp();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kNotConnected});
    EXPECT_EQ(panelLine(*form, 0), "Device Connected   -    None                                "
                                   "Firmware Version        -   None");
    EXPECT_EQ(panelLine(*form, 1), "Keypad Selected     -    None                                "
                                   "Code Table Loaded     -   None");
    EXPECT_EQ(panelLine(*form, 2), "Serial Number          -    None");
    for (QWidget* w : deviceControls())
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    for (QWidget* w : settingLists())
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(shown(form->keypadTypeList), "Keypad - Layout");
    EXPECT_EQ(shown(form->ledBrightnessList), "LED Brightness");
    EXPECT_EQ(shown(form->ledColourList), "LED Colour");
    EXPECT_EQ(shown(form->buzzerList), "Buzzer");
    EXPECT_EQ(shown(form->buzzerPeriodList), "Buzzer Period");
}

TEST_F(MainWindowTest, ConnectedPanelAndListsShowTheKeypad) {
    start(2);
    EXPECT_TRUE(prompts.messages().empty());
    EXPECT_EQ(panelLine(*form, 0),
              QString::fromUtf8("Device Connected   -    Orvex™                "
                                "Firmware Version        -   2.7"));
    EXPECT_EQ(panelLine(*form, 1), "Keypad Selected     -    8Way Keypad         Code Table Loaded "
                                   "    -   Default      Table");
    EXPECT_EQ(panelLine(*form, 2), "Serial Number          -    OVX000123456");
    EXPECT_EQ(shown(form->ledBrightnessList), "LED Brightness - 5");
    EXPECT_EQ(shown(form->buzzerPeriodList), "Buzzer Period -3");
    EXPECT_EQ(MainWindow::lastKeyCodes[1], 0x6A);
}

TEST_F(MainWindowTest, OptionsSevenEnablesAllThenFailedScanDisablesAll) {
    start(7);
    for (QWidget* w : deviceControls())
        EXPECT_TRUE(w->isEnabled());
    for (QWidget* w : settingLists())
        EXPECT_TRUE(w->isEnabled());
    sim::VirtualBus::instance().unplug(keypad);
    form->scanForDevice();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kNotConnected});
    for (QWidget* w : deviceControls())
        EXPECT_FALSE(w->isEnabled());
    for (QWidget* w : settingLists())
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(panelLine(*form, 2), "Serial Number          -    None");
}

TEST_F(MainWindowTest, OptionsZeroKeepsSettingListsEnabledAfterFailedScan) {
    start(0);
    sim::VirtualBus::instance().unplug(keypad);
    form->scanForDevice();
    for (QWidget* w : settingLists())
        EXPECT_TRUE(w->isEnabled());
    EXPECT_FALSE(form->keypadTypeList->isEnabled());
}

TEST_F(MainWindowTest, OptionsBitsSteerEachList) {
    start(2); // bit 1: the LED list follows the state; bit 2 clear: the rest stay on
    form->EnableDisableFunctionButtons(false);
    EXPECT_FALSE(form->ledBrightnessList->isEnabled());
    EXPECT_TRUE(form->ledColourList->isEnabled());
    EXPECT_TRUE(form->buzzerList->isEnabled());
    form->lastOptions = 5; // bits 0 and 2
    form->EnableDisableFunctionButtons(false);
    EXPECT_TRUE(form->ledBrightnessList->isEnabled());
    EXPECT_FALSE(form->ledColourList->isEnabled());
    EXPECT_FALSE(form->buzzerPeriodList->isEnabled());
}

TEST_F(MainWindowTest, EachPickSendsItsCommandAndIsRemembered) {
    start(7);
    struct Case {
        QComboBox* box;
        int index;
        uint8_t command;
        uint8_t byte;
        int* remembered;
    } cases[] = {
        {form->ledBrightnessList, 7, SetLedBrightness, 7, &form->lastLedBrightness},
        {form->ledColourList, 2, SetJackLedBrightness, 2, &form->lastJackLedBrightness},
        {form->buzzerList, 0, SetBuzzer, 0, &form->lastBuzzer},
        {form->buzzerPeriodList, 0, SetBuzzerPeriod, 1, &form->lastBuzzerPeriodIndex},
        {form->keypadTypeList, 2, SetKeypadType, 2, &form->lastKeypadType},
    };
    for (const auto& c : cases) {
        keypad->model.clearLog();
        pick(c.box, c.index);
        const auto log = keypad->model.log();
        ASSERT_EQ(log.size(), 1u) << c.box->objectName().toStdString();
        EXPECT_EQ(log[0].command, c.command);
        EXPECT_EQ(log[0].payload, std::vector<uint8_t>{c.byte});
        EXPECT_EQ(*c.remembered, c.index);
    }
    const auto held = keypad->model.running();
    EXPECT_EQ(held.ledBrightness, 7);
    EXPECT_EQ(held.jackLedBrightness, 2);
    EXPECT_EQ(held.buzzer, 0);
    EXPECT_EQ(held.buzzerPeriod, 1);
    EXPECT_EQ(held.keypadType, 2);
    EXPECT_TRUE(prompts.messages().empty());
}

TEST_F(MainWindowTest, RefusedOrUnpluggedPickFallsBackWithItsMessage) {
    start(7);
    const std::pair<QComboBox*, const char*> lists[] = {
        {form->keypadTypeList, "Unable to set Keypad Type..\n"},
        {form->ledBrightnessList, "Unable to set the LED Brightness..\n"},
        {form->ledColourList, "Unable to set LED colour..\n"},
        {form->buzzerList, "Unable to set Buzzer On/Off..\n"},
        {form->buzzerPeriodList, "Unable to set Buzzer Period..\n"},
    };
    for (const auto& [box, message] : lists) {
        prompts.clear();
        const int before = box->currentIndex();
        keypad->model.injectFault({sim::Fault::Refuse});
        pick(box, 1);
        ASSERT_EQ(prompts.messages().size(), 1u);
        EXPECT_EQ(prompts.messages()[0].text, message);
        EXPECT_EQ(prompts.messages()[0].caption, "Halden Orvex\u2122");
        EXPECT_EQ(box->currentIndex(), before) << box->objectName().toStdString();
    }
    // Unplugged: "LED Brightness - 7" fails with its own message, the strip
    // says why, and the list shows the old entry.
    sim::VirtualBus::instance().unplug(keypad);
    prompts.clear();
    form->statusBar->clearMessage();
    pick(form->ledBrightnessList, 7);
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to set the LED Brightness..\n"});
    EXPECT_EQ(form->statusBar->currentMessage(), "The keypad was unplugged.");
    EXPECT_EQ(form->ledBrightnessList->currentText(), "LED Brightness - 5");
    EXPECT_EQ(form->lastLedBrightness, 5);
}

TEST_F(MainWindowTest, ListsSwallowTypingAndAFailedPickPutsBackOnlyItsOwnList) {
    start(7);
    // A typed letter neither selects "Customise Table" nor sends anything;
    // arrow keys still move the selection.
    QTest::keyClick(form->keypadTypeList, Qt::Key_C);
    QTest::keyClick(form->buzzerList, Qt::Key_B);
    QTest::keyClick(form->keypadTypeList->view(), Qt::Key_C);
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(form->keypadTypeList->currentIndex(), 0);
    QTest::keyClick(form->ledBrightnessList, Qt::Key_Down);
    EXPECT_EQ(form->ledBrightnessList->currentIndex(), 6);

    // After a failed status read the lists show their texts in the normal
    // colour; one failed pick brings back only its own list's entry.
    sim::VirtualBus::instance().unplug(keypad);
    form->scanForDevice();
    prompts.clear();
    pick(form->buzzerList, 1);
    EXPECT_EQ(form->buzzerList->currentIndex(), form->lastBuzzer);
    EXPECT_EQ(shown(form->ledBrightnessList), "LED Brightness");
    EXPECT_EQ(shown(form->buzzerPeriodList), "Buzzer Period");
    const QPalette palette = form->ledColourList->palette();
    EXPECT_EQ(palette.color(QPalette::Active, QPalette::PlaceholderText),
              palette.color(QPalette::Active, QPalette::ButtonText));
}

TEST_F(MainWindowTest, SelectionByTheProgramSendsNothing) {
    start(7);
    form->ledBrightnessList->setCurrentIndex(9);
    form->scanForDevice();
    for (const auto& c : keypad->model.log())
        EXPECT_EQ(c.command, GetStatus);
}

TEST_F(MainWindowTest, AlternateTableNamedInPanelAfterPick) {
    start(2);
    pick(form->keypadTypeList, 1);
    EXPECT_TRUE(panelLine(*form, 1).endsWith("Code Table Loaded     -   Alternate   Table"));
}

TEST_F(MainWindowTest, PeriodByteZeroShowsSecondEntry) {
    keypad = plugKeypad();
    auto s = keypad->model.running();
    s.buzzerPeriod = 0;
    keypad->model.setRunning(s);
    form = std::make_unique<MainWindow>();
    form->startUp();
    EXPECT_EQ(form->buzzerPeriodList->currentText(), "Buzzer Period -2");
    EXPECT_EQ(form->lastBuzzerPeriodIndex, 1);
}

TEST_F(MainWindowTest, ValuesOutsideTheListsAreShownNotMisselected) {
    keypad = plugKeypad();
    keypad->model.setOptions(3);
    ASSERT_TRUE(RescanForDevice());
    ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, 5), LINK_OK);
    form = std::make_unique<MainWindow>();
    form->startUp();
    EXPECT_EQ(form->keypadTypeList->currentIndex(), -1);
    EXPECT_EQ(shown(form->keypadTypeList), "Keypad Type 5");
    EXPECT_TRUE(panelLine(*form, 1).startsWith("Keypad Selected     -    Keypad Code 3"));
    EXPECT_TRUE(panelLine(*form, 1).endsWith("-   Keypad Type 5"));
}

TEST_F(MainWindowTest, SaveChangesKeepsSettingsAcrossRestart) {
    start(7);
    pick(form->ledBrightnessList, 8);
    keypad->model.clearLog();
    form->saveChanges();
    // WriteDefaults, then the status read of the configuration snapshot.
    EXPECT_EQ(keypad->model.log().front().command, WriteDefaults);
    keypad->model.powerCycle();
    EXPECT_EQ(keypad->model.running().ledBrightness, 8);

    sim::VirtualBus::instance().unplug(keypad);
    form->saveChanges();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to Write Default..\n"});
}

TEST_F(MainWindowTest, FactoryResetWithKeypadReturning) {
    start(7);
    keypad->model.setRestartDelayMs(1500);
    pick(form->ledBrightnessList, 9);
    pick(form->buzzerList, 0);
    form->saveChanges();
    const std::string saved = fileText(FileName);
    const uint64_t before = clock.tick_ms();
    form->resetToFactoryDefault();
    EXPECT_GE(clock.tick_ms() - before, 3000u);
    EXPECT_TRUE(prompts.messages().empty());
    // The strip claims only what the window knows: the reset went out, the
    // lists show what the keypad reports, the file stayed as saved.
    EXPECT_EQ(form->statusBar->currentMessage(),
              "Reset To Factory Default was sent; the settings shown are read from the keypad "
              "now. The configuration file was not changed.");
    EXPECT_EQ(fileText(FileName), saved);
    const auto factory = sim::KeypadModel::factorySettings();
    EXPECT_EQ(form->ledBrightnessList->currentIndex(), factory.ledBrightness);
    EXPECT_EQ(form->buzzerList->currentIndex(), factory.buzzer);
    EXPECT_EQ(keypad->model.running(), factory);
    EXPECT_TRUE(form->factoryResetButton->isEnabled());
}

TEST_F(MainWindowTest, FactoryResetWithKeypadNotReturning) {
    start(7);
    keypad->model.setRestartDelayMs(8000);
    form->resetToFactoryDefault();
    EXPECT_EQ(prompts.texts(),
              (std::vector<std::string>{kNotConnected, "Please power off/on the Orvex\u2122.\n"}));
    EXPECT_EQ(panelLine(*form, 0).right(4), "None");
    EXPECT_EQ(shown(form->ledBrightnessList), "LED Brightness");
    EXPECT_FALSE(form->factoryResetButton->isEnabled());
}

TEST_F(MainWindowTest, ExitClosesTheHandleAndEndsTheApplication) {
    start(7);
    QSignalSpy spy(form.get(), &MainWindow::exitRequested);
    form->exitUtility();
    EXPECT_EQ(hid_handle, nullptr);
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(sim::VirtualBus::instance().openHandles(), 0);
    EXPECT_TRUE(keypad->model.log().empty());
}

TEST_F(MainWindowTest, ExitWithoutKeypadStillEnds) {
    form = std::make_unique<MainWindow>();
    form->startUp();
    QSignalSpy spy(form.get(), &MainWindow::exitRequested);
    form->exitAction->trigger();
    EXPECT_EQ(spy.count(), 1);
}

TEST_F(MainWindowTest, PermissionHintWhenKeypadCannotBeOpened) {
    keypad = plugKeypad();
    keypad->openFails = true;
    form = std::make_unique<MainWindow>();
    form->startUp();
    EXPECT_EQ(form->statusBar->currentMessage(), MainWindow::PermissionHintText());
    // The product's own message is unchanged.
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kNotConnected});

    keypad->openFails = false;
    form->scanForDevice();
    EXPECT_EQ(form->statusBar->currentMessage(), MainWindow::ScanFoundText());
    EXPECT_EQ(panelLine(*form, 2), "Serial Number          -    OVX000123456");
}

TEST_F(MainWindowTest, NoHintWhenNothingIsPluggedIn) {
    form = std::make_unique<MainWindow>();
    form->startUp();
    EXPECT_EQ(form->statusBar->currentMessage(), MainWindow::NoKeypadText());
}

TEST(SplashScreenTest, OuterSizeAroundThePictureArea) {
    SplashScreen splash;
    EXPECT_EQ(splash.size(), QSize(724, 417));
    EXPECT_EQ(splash.minimumSize(), splash.maximumSize());
    const auto* area = splash.findChild<QWidget*>("pictureArea");
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->geometry(), QRect(1, 1, 722, 415));
}

TEST_F(MainWindowTest, ExportFolderPickerStartsInTheHomeFolder) {
    start(2);
    QtPrompter dialogs;
    setPrompter(&dialogs);
    QString startedIn;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            startedIn = dialog->directory().absolutePath();
            dialog->reject();
        } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box->accept(); // "Unable to save the cfg file." after the cancel
        }
    });
    poll.start(10);
    form->exportConfigFile();
    setPrompter(&prompts);
    EXPECT_EQ(startedIn, QDir::homePath());
}

// Keyboard: Space opens a setting list without sending anything (typed
// characters stay swallowed), the tab order reads row by row, Enter presses
// the focused button, and the menus carry mnemonics and Ctrl+Q.
TEST_F(MainWindowTest, KeyboardOpensListsPressesButtonsAndReachesTheMenus) {
    start();
    QTest::keyClick(form->ledBrightnessList, Qt::Key_X);
    QTest::keyClick(form->ledBrightnessList, Qt::Key_Space);
    EXPECT_TRUE(form->ledBrightnessList->view()->isVisible());
    form->ledBrightnessList->hidePopup();
    EXPECT_TRUE(keypad->model.log().empty());

    EXPECT_EQ(form->buzzerPeriodList->nextInFocusChain(), form->selfTestButton);
    EXPECT_EQ(form->selfTestButton->nextInFocusChain(), form->codeTableButton);
    QTest::keyClick(form->scanButton, Qt::Key_Return);
    ASSERT_EQ(keypad->model.log().size(), 1u); // Scan For Device read the status
    EXPECT_EQ(keypad->model.log().front().command, GetStatus);

    EXPECT_EQ(form->menuBar->actions().at(0)->text(), "&File");
    EXPECT_EQ(form->menuBar->actions().at(1)->text(), "&Help");
    EXPECT_EQ(form->exitAction->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
}
