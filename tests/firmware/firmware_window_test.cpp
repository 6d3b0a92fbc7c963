// The firmware upgrade window and the main window's firmware button against the
// virtual keypad and its loader, headless and in virtual time. Workers are
// waited for with bounded event-processing loops.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextEdit>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "bsl/bsl430.h"
#include "bsl/bsl_protocol.h"
#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "firmware/firmware_upgrade.h"
#include "test_env.h"
#include "ui/main/form1.h"
#include "upgrade_steps.h"
#include "virtual_loader.h"

using namespace orvex;
using orvex::test::Steps;

namespace {

namespace fs = std::filesystem;

const std::string kSample208 = ORVEX_SAMPLES_DIR "/orvex_fw_2_08.txt";
const std::string kSample209 = ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt";

bool waitFor(const std::function<bool()>& done) {
    return QTest::qWaitFor(done, 30000);
}

std::vector<std::string> warnings(const test::RecordingPrompter& p) {
    std::vector<std::string> out;
    for (const auto& m : p.messages())
        if (m.icon == MsgIcon::Warning)
            out.push_back(m.text);
    return out;
}

// The whole successful run as the status box shows it; the seconds are taken
// from the box itself.
std::string successText(const QString& box, bool erasePass, const std::string& path) {
    const auto m = QRegularExpression("Total programming time is (\\d+)s").match(box);
    Steps s = test::StartUpSteps(!erasePass);
    test::append(s, test::DownloadSteps(erasePass, path));
    test::append(s, test::VerifiedSteps(m.hasMatch() ? m.captured(1).toUInt() : 9999));
    return test::BoxText(s);
}

class FirmwareWindowTest : public test::VirtualEnvTest {
protected:
    void SetUp() override {
        VirtualEnvTest::SetUp();
        firmware_upgrade::ForgetHandOver();
        dataHome = fs::temp_directory_path() /
                   ("orvex_fw_ui_" + std::to_string(::getpid()) + "_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dataHome);
        if (const char* old = std::getenv("XDG_DATA_HOME"))
            oldDataHome = old;
        ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    }
    void TearDown() override {
        window.reset();
        form.reset();
        BSL_close_BSL();
        VirtualEnvTest::TearDown();
        FileName.clear();
        if (oldDataHome)
            ::setenv("XDG_DATA_HOME", oldDataHome->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
        fs::remove_all(dataHome);
    }

    // A keypad with its loader; the main window loaded on it.
    void startMainWindow() {
        keypad = plugKeypad();
        loader = sim::attachLoader(keypad);
        form = std::make_unique<Form1>();
        form->Form1_Load();
    }
    // The keypad switched to its loader, without the main window.
    void startInLoader() {
        keypad = plugKeypad();
        loader = sim::attachLoader(keypad);
        ASSERT_TRUE(RescanForDevice());
        SendDeviceCommand(EnterBootloader);
        PrepareConfigFileAt(dataHome.string());
    }
    // Shows a window of our own and waits for the loader to be counted.
    firmware_upgrade* showWindow() {
        window = std::make_unique<firmware_upgrade>();
        window->show();
        clock.advance(1000); // the loader's arrival
        EXPECT_TRUE(waitFor([&] { return window->labelNumOfDevices->text() == "Found 1 device"; }));
        EXPECT_TRUE(settle(window.get()));
        return window.get();
    }
    // The loader's arrival may have been seen by a count and also be queued
    // as a change: let every count it causes finish.
    static bool settle(firmware_upgrade* w) {
        QCoreApplication::processEvents();
        return waitFor([&] { return !w->countBusy() && !w->scanDeviceAgain; });
    }
    static void pick(firmware_upgrade* w, const std::string& path, test::RecordingPrompter& p) {
        p.chooseFile(path);
        w->btnBrowse_Click();
    }
    // Until the upgrade and the device count after it are over.
    static bool waitForUpgradeEnd(firmware_upgrade* w, int countsBefore) {
        return waitFor([&] {
            return !w->upgrading() && w->deviceCountsRun() > countsBefore && !w->countBusy();
        });
    }
    std::vector<uint8_t> keypadCommands() const {
        std::vector<uint8_t> out;
        for (const auto& c : keypad->model.log())
            out.push_back(c.command);
        return out;
    }
    int loaderCommands(uint8_t code) const {
        const auto log = loader->model.log();
        return static_cast<int>(std::count_if(log.begin(), log.end(),
                                              [&](const auto& c) { return c.command == code; }));
    }
    std::string keypadVersion() {
        clock.sleep_ms(3000);
        if (!RescanForDevice())
            return "<none>";
        DeviceStatus status;
        return ReadDeviceStatus(status) == 0 ? status.firmwareVersion : "<no status>";
    }

    fs::path dataHome;
    std::optional<std::string> oldDataHome;
    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::shared_ptr<sim::VirtualLoader> loader;
    std::unique_ptr<Form1> form;
    std::unique_ptr<firmware_upgrade> window;
};

const std::vector<uint8_t> kRestoreOrder = {SetOptions,    SetSerialNumber, FactoryReset,
                                            SetKeypadType, LoadCodeTable,   SetLedBrightness,
                                            SetBuzzer,     SetBuzzerPeriod, WriteDefaults};

} // namespace

TEST_F(FirmwareWindowTest, ControlsAndStartState) {
    firmware_upgrade w;
    EXPECT_EQ(w.size(), QSize(682, 432));
    EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Halden Orvex™ Firmware Upgrade"));
    EXPECT_EQ(w.groupBox1->title(), "Select which firmware to download");
    EXPECT_EQ(w.label1->text(), "Select Firmware");
    EXPECT_EQ(w.label2->text(), "File to download");
    EXPECT_EQ(w.btnBrowse->text(), "&Browse");
    EXPECT_EQ(w.btnUpgrade->text(), "Upgrade Firmware");
    EXPECT_EQ(w.btnClose->text(), "&Close");
    EXPECT_DOUBLE_EQ(w.btnUpgrade->font().pointSizeF(), 19.8);
    EXPECT_DOUBLE_EQ(w.btnClose->font().pointSizeF(), 19.8);
    EXPECT_EQ(w.label3->text(), "VID");
    EXPECT_EQ(w.vidLbl->text(), "0x2047");
    EXPECT_EQ(w.label4->text(), "PID");
    EXPECT_EQ(w.pidLbl->text(), "0x0200");
    EXPECT_EQ(w.labelNumOfDevices->text(), "Searching for devices");
    EXPECT_TRUE(w.filenameTextBox->text().isEmpty());
    EXPECT_TRUE(w.filenameTextBox->isReadOnly());
    EXPECT_TRUE(w.statusBox->isReadOnly());
    EXPECT_TRUE(w.statusBox->toPlainText().isEmpty());
    EXPECT_EQ(w.progressBar->minimum(), 0);
    EXPECT_EQ(w.progressBar->maximum(), 100);
    EXPECT_EQ(w.progressBar->value(), 0);
    EXPECT_FALSE(w.btnBrowse->isEnabled());
    EXPECT_FALSE(w.btnUpgrade->isEnabled());
    EXPECT_TRUE(w.btnClose->isEnabled());
    // Every control lies inside the window.
    for (QWidget* c : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(w.rect().contains(c->geometry())) << c->objectName().toStdString();
}

TEST_F(FirmwareWindowTest, CountsLoadersAsTheyComeAndGo) {
    window = std::make_unique<firmware_upgrade>();
    window->show();
    ASSERT_TRUE(waitFor([&] { return window->deviceCountsRun() == 1 && !window->countBusy(); }));
    EXPECT_EQ(window->labelNumOfDevices->text(), "No device connected");
    EXPECT_FALSE(window->btnUpgrade->isEnabled());
    EXPECT_FALSE(window->btnBrowse->isEnabled());

    // Arrivals and removals reach the window through the loader library.
    auto first = sim::makeLoader();
    auto second = sim::makeLoader();
    sim::VirtualBus::instance().plug(first);
    ASSERT_TRUE(waitFor([&] { return window->labelNumOfDevices->text() == "Found 1 device"; }));
    EXPECT_TRUE(window->btnUpgrade->isEnabled());
    EXPECT_TRUE(window->btnBrowse->isEnabled());
    EXPECT_EQ(window->numberOfUSBDevicesConnected, 1u);
    sim::VirtualBus::instance().plug(second);
    ASSERT_TRUE(waitFor([&] { return window->labelNumOfDevices->text() == "Found 2 devices"; }));
    sim::VirtualBus::instance().unplug(first);
    sim::VirtualBus::instance().unplug(second);
    ASSERT_TRUE(
        waitFor([&] { return window->labelNumOfDevices->text() == "No device connected"; }));
    EXPECT_FALSE(window->btnUpgrade->isEnabled());
    EXPECT_FALSE(window->btnBrowse->isEnabled());
}

TEST_F(FirmwareWindowTest, FirmwareButtonHandsOverTheStatusAndAsksFirst) {
    startMainWindow();
    keypad->model.clearLog();
    // No: the status was read (and handed over), nothing else sent, no window.
    form->btnLoadFirmware_Click();
    EXPECT_EQ(keypadCommands(), std::vector<uint8_t>{GetStatus});
    ASSERT_EQ(prompts.messages().size(), 1u);
    EXPECT_EQ(prompts.messages()[0].text, "Are you sure you want to upgrade the firmware?");
    EXPECT_EQ(prompts.messages()[0].caption, "Firmware Upgrade");
    EXPECT_EQ(prompts.messages()[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(form->findChild<firmware_upgrade*>(), nullptr);
    const auto handed = firmware_upgrade::HandedOverSettings();
    EXPECT_TRUE(handed.captured);
    EXPECT_EQ(handed.led_brightness, form->prev_ledBrightness_index);
    EXPECT_EQ(handed.buzzer_enable, form->prev_buzzer_index);
    EXPECT_EQ(handed.buzzer_period, form->prev_buzzerPeriod_index);
    EXPECT_EQ(handed.keypad_table, form->prev_keypadType_index);
    EXPECT_EQ(handed.no_of_keys, form->prev_options_fitted);
    EXPECT_EQ(handed.serialNumber, "OVX000123456");
    for (size_t i = 0; i < 20; ++i)
        EXPECT_EQ(handed.key_codes[i], Form1::keyCodeArray[i]) << i;

    // A failed status read keeps the earlier hand-over.
    auto s = keypad->model.running();
    s.ledBrightness = 1;
    keypad->model.setRunning(s);
    keypad->model.injectFault({sim::Fault::Silence});
    prompts.clear();
    form->btnLoadFirmware_Click();
    EXPECT_EQ(prompts.texts(),
              (std::vector<std::string>{"Unable to get device status information\n",
                                        "Are you sure you want to upgrade the "
                                        "firmware?"}));
    EXPECT_EQ(firmware_upgrade::HandedOverSettings().led_brightness, handed.led_brightness);

    // Yes: the keypad leaves for its loader without answering, the device
    // controls go off and the window opens.
    keypad->model.clearLog();
    prompts.answerYes();
    form->btnLoadFirmware_Click();
    EXPECT_EQ(keypadCommands(), (std::vector<uint8_t>{GetStatus, EnterBootloader}));
    EXPECT_FALSE(form->button8->isEnabled());
    EXPECT_FALSE(form->keypadTypeCbox->isEnabled());
    auto* w = form->findChild<firmware_upgrade*>();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->testAttribute(Qt::WA_DeleteOnClose));
}

TEST_F(FirmwareWindowTest, WholeUpgradeFromTheMainWindowKeepsTheSettings) {
    keypad = plugKeypad();
    loader = sim::attachLoader(keypad);
    sim::KeypadSettings mine = keypad->model.running();
    mine.ledBrightness = 8;
    mine.buzzer = 0;
    mine.buzzerPeriod = 6;
    mine.keypadType = 2;
    for (size_t i = 0; i < 20; ++i)
        mine.customTables[0][i] = static_cast<uint8_t>(i % 2 ? 0x1E + i : 0xE1);
    keypad->model.setRunning(mine);
    keypad->model.setPowerUp(mine);
    keypad->model.setOptions(7);
    keypad->model.setSerial("OVX000777111");
    form = std::make_unique<Form1>();
    form->Form1_Load();

    prompts.answerYes();
    form->btnLoadFirmware_Click();
    QPointer<firmware_upgrade> w = form->findChild<firmware_upgrade*>();
    ASSERT_TRUE(w);
    clock.advance(1000);
    ASSERT_TRUE(waitFor([&] { return w->labelNumOfDevices->text() == "Found 1 device"; }));
    ASSERT_TRUE(settle(w));

    // Browse: a cancelled dialog changes nothing; a pick fills the box and
    // keeps the file's name in the configuration file.
    prompts.chooseFile(std::nullopt);
    QTest::mouseClick(w->btnBrowse, Qt::LeftButton);
    EXPECT_TRUE(w->filenameTextBox->text().isEmpty());
    EXPECT_EQ(GetSettings("FirmwareFile", FileName), "");
    prompts.chooseFile(kSample209);
    QTest::mouseClick(w->btnBrowse, Qt::LeftButton);
    EXPECT_EQ(w->filenameTextBox->text().toStdString(), kSample209);
    EXPECT_EQ(GetSettings("FirmwareFile", FileName), "orvex_fw_2_09.txt");

    keypad->model.clearLog();
    prompts.clear();
    const int counts = w->deviceCountsRun();
    QTest::mouseClick(w->btnUpgrade, Qt::LeftButton);
    EXPECT_FALSE(w->btnUpgrade->isEnabled());
    ASSERT_TRUE(waitForUpgradeEnd(w, counts));

    const QString box = w->statusBox->toPlainText();
    EXPECT_EQ(box.toStdString(), successText(box, true, kSample209));
    EXPECT_EQ(w->progressBar->value(), 100);
    EXPECT_TRUE(warnings(prompts).empty());
    EXPECT_EQ(keypadCommands(), kRestoreOrder);
    // The loader has gone: counted once after the upgrade.
    EXPECT_EQ(w->deviceCountsRun(), counts + 1);
    EXPECT_EQ(w->labelNumOfDevices->text(), "No device connected");
    EXPECT_FALSE(w->btnUpgrade->isEnabled());
    EXPECT_FALSE(w->btnBrowse->isEnabled());

    // The main window finds the keypad on the new firmware with its settings.
    form->button11_Click();
    EXPECT_EQ(form->firmwareVersion, "2.9");
    EXPECT_EQ(form->serialNumber, "OVX000777111");
    EXPECT_EQ(form->prev_ledBrightness_index, 8);
    EXPECT_EQ(form->prev_buzzer_index, 0);
    EXPECT_EQ(form->prev_buzzerPeriod_index, 5);
    EXPECT_EQ(form->prev_keypadType_index, 2);
    EXPECT_EQ(form->prev_options_fitted, 7);
    EXPECT_TRUE(std::equal(mine.customTables[0].begin(), mine.customTables[0].begin() + 20,
                           Form1::keyCodeArray.begin()));
    EXPECT_TRUE(form->richTextBox1->toPlainText().split('\n').value(0).endsWith("2.9"));

    // Close ends the window.
    QTest::mouseClick(w->btnClose, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return w.isNull(); }));
}

TEST_F(FirmwareWindowTest, EmptyPathEndsAtOnceAndTheLoaderIsOfferedAgain) {
    startInLoader();
    firmware_upgrade* w = showWindow();
    const int counts = w->deviceCountsRun();
    w->btnUpgrade_Click();
    ASSERT_TRUE(waitForUpgradeEnd(w, counts));
    EXPECT_EQ(w->statusBox->toPlainText(), "Starting\nNo file specified\n");
    EXPECT_EQ(w->progressBar->value(), 0);
    // The count after the failure offers the loader again.
    EXPECT_EQ(w->labelNumOfDevices->text(), "Found 1 device");
    EXPECT_TRUE(w->btnUpgrade->isEnabled());
    EXPECT_TRUE(w->btnBrowse->isEnabled());
    EXPECT_EQ(loader->model.totalReports(), 0);
}

TEST_F(FirmwareWindowTest, NoSecondUpgradeWhileOneRunsAndChangesAreCountedOnceAfter) {
    startInLoader();
    firmware_upgrade* w = showWindow();
    pick(w, kSample209, prompts);
    loader->model.injectFault({sim::LoaderFault::WrongCrc, 0});
    firmware_upgrade other;

    w->btnUpgrade_Click();
    EXPECT_TRUE(firmware_upgrade::UpgradeRunning());
    // A count that ends now, a second press here and one in another window,
    // and a device change: none of them starts anything.
    w->backgroundWorkerCheckDevice_RunWorkerCompleted(1, false);
    EXPECT_EQ(w->labelNumOfDevices->text(), "Found 1 device");
    EXPECT_FALSE(w->btnUpgrade->isEnabled());
    w->btnUpgrade_Click();
    other.btnUpgrade_Click();
    EXPECT_EQ(warnings(prompts),
              std::vector<std::string>{"Another firmware upgrade is running..\n"});
    EXPECT_TRUE(other.statusBox->toPlainText().isEmpty());
    w->ParseMessages(BSL_DEVICE_ARRIVAL);
    EXPECT_FALSE(w->countBusy());
    EXPECT_TRUE(w->scanDeviceAgain);

    const int counts = w->deviceCountsRun();
    ASSERT_TRUE(waitForUpgradeEnd(w, counts));
    QCoreApplication::processEvents();
    EXPECT_EQ(w->deviceCountsRun(), counts + 1);
    EXPECT_FALSE(w->countBusy());
    EXPECT_FALSE(w->scanDeviceAgain);
    EXPECT_FALSE(firmware_upgrade::UpgradeRunning());
    const QString failed = w->statusBox->toPlainText();
    EXPECT_EQ(failed.count("Starting"), 1);
    EXPECT_TRUE(failed.endsWith("Verifying memory\nMemory verification error\n"));
    EXPECT_EQ(loaderCommands(bsl::CMD_RX_PASSWORD), 2);

    // The keypad is still in its loader and another try succeeds. Nothing was
    // ever read from it in this run, so nothing is sent back.
    ASSERT_TRUE(w->btnUpgrade->isEnabled());
    const int again = w->deviceCountsRun();
    keypad->model.clearLog();
    w->btnUpgrade_Click();
    ASSERT_TRUE(waitForUpgradeEnd(w, again));
    const QString box = w->statusBox->toPlainText();
    EXPECT_EQ(box.toStdString(), successText(box, true, kSample209));
    EXPECT_EQ(warnings(prompts).back(), std::string(firmware::kNotRestoredText) + "\n");
    EXPECT_TRUE(keypadCommands().empty());
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(FirmwareWindowTest, ClosingDuringAnUpgradeWaitsForIt) {
    startInLoader();
    firmware_upgrade* w = showWindow();
    pick(w, kSample208, prompts);
    w->btnUpgrade_Click();
    w->btnClose_Click();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(warnings(prompts).size(), 1u);
    EXPECT_TRUE(waitFor([&] { return !w->upgrading(); }));
    w->btnClose_Click();
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(keypadVersion(), "2.8");
}

TEST_F(FirmwareWindowTest, DestroyedDuringAnUpgradeLetsTheWorkerFinish) {
    startInLoader();
    firmware_upgrade* w = showWindow();
    pick(w, kSample208, prompts);
    keypad->model.clearLog();
    w->btnUpgrade_Click();
    window.reset(); // waits for the worker; its reports go nowhere
    EXPECT_FALSE(firmware_upgrade::UpgradeRunning());
    QCoreApplication::processEvents();
    EXPECT_TRUE(keypadCommands().empty()); // no restore without the window
    EXPECT_EQ(keypadVersion(), "2.8");
}
