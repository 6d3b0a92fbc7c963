// The main window against the virtual keypad, headless and in virtual time.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTextEdit>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "test_env.h"
#include "ui/main/form1.h"

using namespace orvex;

namespace {

const std::string kNotConnected = "Halden Orvex\u2122 not connected..\n";

QString panelLine(const Form1& f, int n) {
    return f.richTextBox1->toPlainText().split('\n').value(n);
}

// What the user does: pick an entry and commit it.
void pick(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
}

QString shown(const QComboBox* box) {
    return box->currentIndex() >= 0 ? box->currentText() : box->placeholderText();
}

class Form1Test : public test::VirtualEnvTest {
protected:
    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::unique_ptr<Form1> form;

    void start(uint8_t options = 2) {
        keypad = plugKeypad();
        keypad->model.setOptions(options);
        form = std::make_unique<Form1>();
        form->Form1_Load();
        keypad->model.clearLog();
    }
    void TearDown() override {
        form.reset();
        test::VirtualEnvTest::TearDown();
    }
    std::vector<QWidget*> deviceControls() const {
        return {form->keypadTypeCbox, form->button1, form->button8,
                form->button9,        form->button2, form->button3};
    }
    std::vector<QWidget*> settingLists() const {
        return {form->ledBrightnessCbox, form->ledColourCbox, form->buzzerCbox,
                form->buzzerPeriodCbox};
    }
};

} // namespace

TEST_F(Form1Test, ControlsSitWhereTheDesignerPutThem) {
    Form1 f;
    EXPECT_EQ(f.size(), QSize(891, 499));
    EXPECT_EQ(f.windowTitle(),
              QString::fromUtf8("Halden Orvex™ Illuminated Configuration Utility"));
    const std::pair<const char*, QRect> expected[] = {
        {"button11", {27, 82, 109, 67}},        {"richTextBox1", {158, 82, 681, 67}},
        {"keypadTypeCbox", {27, 173, 207, 28}}, {"ledBrightnessCbox", {330, 173, 207, 28}},
        {"ledColourCbox", {632, 173, 207, 28}}, {"button2", {632, 231, 206, 50}},
        {"buzzerCbox", {27, 245, 207, 28}},     {"buzzerPeriodCbox", {330, 245, 207, 28}},
        {"button1", {27, 318, 206, 50}},        {"button3", {333, 314, 203, 58}},
        {"button8", {632, 318, 206, 50}},       {"btnLoadFirmware", {27, 398, 206, 67}},
        {"button9", {330, 398, 206, 67}},       {"button10", {632, 398, 206, 67}},
        {"label1", {64, 24, 755, 37}},
    };
    for (const auto& [name, rect] : expected) {
        auto* w = f.findChild<QWidget*>(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_EQ(w->geometry(), rect) << name;
    }
    // Before any status read.
    EXPECT_EQ(shown(f.keypadTypeCbox), QString::fromUtf8("Orvex™ - Layout"));
    EXPECT_EQ(shown(f.buzzerPeriodCbox), "Buzzer Period -0");
    EXPECT_EQ(f.keypadTypeCbox->itemText(0), "Default      Table");
    EXPECT_EQ(f.keypadTypeCbox->itemText(1), "Alternate   Table");
    EXPECT_EQ(f.buzzerPeriodCbox->count(), 9);
    EXPECT_EQ(f.buzzerPeriodCbox->itemText(0), "Buzzer Period -1");
    EXPECT_EQ(f.ledColourCbox->itemText(9), "JACK LED Brightness - 9");
    for (QWidget* w : std::initializer_list<QWidget*>{f.button8, f.button9, f.button1, f.button2,
                                                      f.keypadTypeCbox, f.ledBrightnessCbox})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(f.button3->isEnabled());
    EXPECT_TRUE(f.btnLoadFirmware->isEnabled());
}

TEST_F(Form1Test, StartWithoutKeypadShowsNoneForm) {
    form = std::make_unique<Form1>();
    form->Form1_Load();
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
    EXPECT_EQ(shown(form->keypadTypeCbox), "Keypad - Layout");
    EXPECT_EQ(shown(form->ledBrightnessCbox), "LED Brightness");
    EXPECT_EQ(shown(form->ledColourCbox), "LED Colour");
    EXPECT_EQ(shown(form->buzzerCbox), "Buzzer");
    EXPECT_EQ(shown(form->buzzerPeriodCbox), "Buzzer Period");
}

TEST_F(Form1Test, ConnectedPanelAndListsShowTheKeypad) {
    start(2);
    EXPECT_TRUE(prompts.messages().empty());
    EXPECT_EQ(panelLine(*form, 0),
              QString::fromUtf8("Device Connected   -    Orvex™                "
                                "Firmware Version        -   2.7"));
    EXPECT_EQ(panelLine(*form, 1), "Keypad Selected     -    8Way Keypad         Code Table Loaded "
                                   "    -   Default      Table");
    EXPECT_EQ(panelLine(*form, 2), "Serial Number          -    OVX000123456");
    EXPECT_EQ(shown(form->ledBrightnessCbox), "LED Brightness - 5");
    EXPECT_EQ(shown(form->buzzerPeriodCbox), "Buzzer Period -3");
    EXPECT_EQ(Form1::keyCodeArray[1], 0x6A);
}

TEST_F(Form1Test, OptionsSevenEnablesAllThenFailedScanDisablesAll) {
    start(7);
    for (QWidget* w : deviceControls())
        EXPECT_TRUE(w->isEnabled());
    for (QWidget* w : settingLists())
        EXPECT_TRUE(w->isEnabled());
    sim::VirtualBus::instance().unplug(keypad);
    form->button11_Click();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kNotConnected});
    for (QWidget* w : deviceControls())
        EXPECT_FALSE(w->isEnabled());
    for (QWidget* w : settingLists())
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(panelLine(*form, 2), "Serial Number          -    None");
}

TEST_F(Form1Test, OptionsZeroKeepsSettingListsEnabledAfterFailedScan) {
    start(0);
    sim::VirtualBus::instance().unplug(keypad);
    form->button11_Click();
    for (QWidget* w : settingLists())
        EXPECT_TRUE(w->isEnabled());
    EXPECT_FALSE(form->keypadTypeCbox->isEnabled());
}

TEST_F(Form1Test, OptionsBitsSteerEachList) {
    start(2); // bit 1: the LED list follows the state; bit 2 clear: the rest stay on
    form->EnableDisableFunctionButtons(false);
    EXPECT_FALSE(form->ledBrightnessCbox->isEnabled());
    EXPECT_TRUE(form->ledColourCbox->isEnabled());
    EXPECT_TRUE(form->buzzerCbox->isEnabled());
    form->prev_options_fitted = 5; // bits 0 and 2
    form->EnableDisableFunctionButtons(false);
    EXPECT_TRUE(form->ledBrightnessCbox->isEnabled());
    EXPECT_FALSE(form->ledColourCbox->isEnabled());
    EXPECT_FALSE(form->buzzerPeriodCbox->isEnabled());
}

TEST_F(Form1Test, EachPickSendsItsCommandAndIsRemembered) {
    start(7);
    struct Case {
        QComboBox* box;
        int index;
        uint8_t command;
        uint8_t byte;
        int* remembered;
    } cases[] = {
        {form->ledBrightnessCbox, 7, SetLedBrightness, 7, &form->prev_ledBrightness_index},
        {form->ledColourCbox, 2, SetJackLedBrightness, 2, &form->prev_jackLedBrightness_index},
        {form->buzzerCbox, 0, SetBuzzer, 0, &form->prev_buzzer_index},
        {form->buzzerPeriodCbox, 0, SetBuzzerPeriod, 1, &form->prev_buzzerPeriod_index},
        {form->keypadTypeCbox, 2, SetKeypadType, 2, &form->prev_keypadType_index},
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

TEST_F(Form1Test, RefusedOrUnpluggedPickFallsBackWithItsMessage) {
    start(7);
    const std::pair<QComboBox*, const char*> lists[] = {
        {form->keypadTypeCbox, "Unable to set Keypad Type..\n"},
        {form->ledBrightnessCbox, "Unable to set the LED Brightness..\n"},
        {form->ledColourCbox, "Unable to set LED colour..\n"},
        {form->buzzerCbox, "Unable to set Buzzer On/Off..\n"},
        {form->buzzerPeriodCbox, "Unable to set Buzzer Period..\n"},
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
    // Unplugged: "LED Brightness - 7" fails and the list shows the old entry.
    sim::VirtualBus::instance().unplug(keypad);
    prompts.clear();
    pick(form->ledBrightnessCbox, 7);
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to set the LED Brightness..\n"});
    EXPECT_EQ(form->ledBrightnessCbox->currentText(), "LED Brightness - 5");
    EXPECT_EQ(form->prev_ledBrightness_index, 5);
}

TEST_F(Form1Test, SelectionByTheProgramSendsNothing) {
    start(7);
    form->ledBrightnessCbox->setCurrentIndex(9);
    form->button11_Click();
    for (const auto& c : keypad->model.log())
        EXPECT_EQ(c.command, GetStatus);
}

TEST_F(Form1Test, AlternateTableNamedInPanelAfterPick) {
    start(2);
    pick(form->keypadTypeCbox, 1);
    EXPECT_TRUE(panelLine(*form, 1).endsWith("Code Table Loaded     -   Alternate   Table"));
}

TEST_F(Form1Test, PeriodByteZeroShowsSecondEntry) {
    keypad = plugKeypad();
    auto s = keypad->model.running();
    s.buzzerPeriod = 0;
    keypad->model.setRunning(s);
    form = std::make_unique<Form1>();
    form->Form1_Load();
    EXPECT_EQ(form->buzzerPeriodCbox->currentText(), "Buzzer Period -2");
    EXPECT_EQ(form->prev_buzzerPeriod_index, 1);
}

TEST_F(Form1Test, ValuesOutsideTheListsAreShownNotMisselected) {
    keypad = plugKeypad();
    keypad->model.setOptions(3);
    ASSERT_TRUE(RescanForDevice());
    ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, 5), LINK_OK);
    form = std::make_unique<Form1>();
    form->Form1_Load();
    EXPECT_EQ(form->keypadTypeCbox->currentIndex(), -1);
    EXPECT_EQ(shown(form->keypadTypeCbox), "Keypad Type 5");
    EXPECT_TRUE(panelLine(*form, 1).startsWith("Keypad Selected     -    Keypad Code 3"));
    EXPECT_TRUE(panelLine(*form, 1).endsWith("-   Keypad Type 5"));
}

TEST_F(Form1Test, SaveChangesKeepsSettingsAcrossRestart) {
    start(7);
    pick(form->ledBrightnessCbox, 8);
    keypad->model.clearLog();
    form->button8_Click();
    // WriteDefaults, then the status read of the configuration snapshot.
    EXPECT_EQ(keypad->model.log().front().command, WriteDefaults);
    keypad->model.powerCycle();
    EXPECT_EQ(keypad->model.running().ledBrightness, 8);

    sim::VirtualBus::instance().unplug(keypad);
    form->button8_Click();
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to Write Default..\n"});
}

TEST_F(Form1Test, FactoryResetWithKeypadReturning) {
    start(7);
    keypad->model.setRestartDelayMs(1500);
    pick(form->ledBrightnessCbox, 9);
    pick(form->buzzerCbox, 0);
    form->button8_Click();
    const uint64_t before = clock.tick_ms();
    form->button9_Click();
    EXPECT_GE(clock.tick_ms() - before, 3000u);
    EXPECT_TRUE(prompts.messages().empty());
    const auto factory = sim::KeypadModel::factorySettings();
    EXPECT_EQ(form->ledBrightnessCbox->currentIndex(), factory.ledBrightness);
    EXPECT_EQ(form->buzzerCbox->currentIndex(), factory.buzzer);
    EXPECT_EQ(keypad->model.running(), factory);
    EXPECT_TRUE(form->button9->isEnabled());
}

TEST_F(Form1Test, FactoryResetWithKeypadNotReturning) {
    start(7);
    keypad->model.setRestartDelayMs(8000);
    form->button9_Click();
    EXPECT_EQ(prompts.texts(),
              (std::vector<std::string>{kNotConnected, "Please power off/on the Orvex\u2122.\n"}));
    EXPECT_EQ(panelLine(*form, 0).right(4), "None");
    EXPECT_EQ(shown(form->ledBrightnessCbox), "LED Brightness");
    EXPECT_FALSE(form->button9->isEnabled());
}

TEST_F(Form1Test, ExitClosesTheHandleAndEndsTheApplication) {
    start(7);
    QSignalSpy spy(form.get(), &Form1::exitRequested);
    form->button10_Click();
    EXPECT_EQ(hid_handle, nullptr);
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(sim::VirtualBus::instance().openHandles(), 0);
    EXPECT_TRUE(keypad->model.log().empty());
}

TEST_F(Form1Test, ExitWithoutKeypadStillEnds) {
    form = std::make_unique<Form1>();
    form->Form1_Load();
    QSignalSpy spy(form.get(), &Form1::exitRequested);
    form->exitToolStripMenuItem->trigger();
    EXPECT_EQ(spy.count(), 1);
}

TEST_F(Form1Test, PermissionHintWhenKeypadCannotBeOpened) {
    keypad = plugKeypad();
    keypad->openFails = true;
    form = std::make_unique<Form1>();
    form->Form1_Load();
    EXPECT_EQ(form->statusStrip1->currentMessage(), Form1::PermissionHintText());
    // The product's own message is unchanged.
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{kNotConnected});

    keypad->openFails = false;
    form->button11_Click();
    EXPECT_TRUE(form->statusStrip1->currentMessage().isEmpty());
    EXPECT_EQ(panelLine(*form, 2), "Serial Number          -    OVX000123456");
}

TEST_F(Form1Test, NoHintWhenNothingIsPluggedIn) {
    form = std::make_unique<Form1>();
    form->Form1_Load();
    EXPECT_TRUE(form->statusStrip1->currentMessage().isEmpty());
}
