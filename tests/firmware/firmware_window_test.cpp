// The firmware upgrade window and the main window's firmware button against the
// virtual keypad and its loader, headless and in virtual time. Workers are
// waited for with bounded event-processing loops.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <utility>

#include "bsl/bsl430.h"
#include "bsl/bsl_protocol.h"
#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "firmware/standin_images.h"
#include "ops/upgrade_journal.h"
#include "platform/qt_prompter.h"
#include "test_env.h"
#include "ui/firmware/firmware_upgrade_window.h"
#include "ui/main/main_window.h"
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

// Another upgrade (of any program) would be refused now.
bool upgradeLocked() {
    std::string refusal;
    return !firmware::UpgradeLock::Acquire("test", refusal);
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
        FirmwareUpgradeWindow::ForgetHandOver();
        firmware::UseBuiltInLoaderImages(firmware::StandInLoaderImages());
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
        firmware::UseBuiltInLoaderImages(std::nullopt);
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
        form = std::make_unique<MainWindow>();
        form->startUp();
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
    FirmwareUpgradeWindow* showWindow() {
        window = std::make_unique<FirmwareUpgradeWindow>();
        window->show();
        clock.advance(1000); // the loader's arrival
        EXPECT_TRUE(waitFor([&] { return window->deviceCountLabel->text() == "Found 1 device"; }));
        EXPECT_TRUE(settle(window.get()));
        return window.get();
    }
    // The loader's arrival may have been seen by a count and also be queued
    // as a change: let every count it causes finish.
    static bool settle(FirmwareUpgradeWindow* w) {
        QCoreApplication::processEvents();
        return waitFor([&] { return !w->countBusy() && !w->scanDeviceAgain; });
    }
    static void pick(FirmwareUpgradeWindow* w, const std::string& path,
                     test::RecordingPrompter& p) {
        p.chooseFile(path);
        w->browseForImage();
    }
    // Until the upgrade and the device count after it are over.
    static bool waitForUpgradeEnd(FirmwareUpgradeWindow* w, int countsBefore) {
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
    std::unique_ptr<MainWindow> form;
    std::unique_ptr<FirmwareUpgradeWindow> window;
};

// After the factory reset's restart the keypad's status must report the serial
// number just sent before anything more goes to it.
const std::vector<uint8_t> kRestoreOrder = {
    SetOptions,    SetSerialNumber,  FactoryReset, GetStatus,       SetKeypadType,
    LoadCodeTable, SetLedBrightness, SetBuzzer,    SetBuzzerPeriod, WriteDefaults};

} // namespace

TEST_F(FirmwareWindowTest, ControlsAndStartState) {
    FirmwareUpgradeWindow w;
    EXPECT_EQ(w.size(), QSize(682, 432));
    EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Halden Orvex™ Firmware Upgrade"));
    EXPECT_EQ(w.firmwareGroup->title(), "Select which firmware to download");
    EXPECT_EQ(w.selectFirmwareLabel->text(), "Select Firmware");
    EXPECT_EQ(w.fileLabel->text(), "File to download");
    EXPECT_EQ(w.browseButton->text(), "&Browse");
    EXPECT_EQ(w.upgradeButton->text(), "Upgrade Firmware");
    EXPECT_EQ(w.closeButton->text(), "&Close");
    EXPECT_DOUBLE_EQ(w.upgradeButton->font().pointSizeF(), 19.8);
    EXPECT_DOUBLE_EQ(w.closeButton->font().pointSizeF(), 19.8);
    EXPECT_EQ(w.vidCaption->text(), "VID");
    EXPECT_EQ(w.vidLabel->text(), "0x2047");
    EXPECT_EQ(w.pidCaption->text(), "PID");
    EXPECT_EQ(w.pidLabel->text(), "0x0200");
    EXPECT_EQ(w.deviceCountLabel->text(), "Searching for devices");
    EXPECT_TRUE(w.fileNameEdit->text().isEmpty());
    EXPECT_TRUE(w.fileNameEdit->isReadOnly());
    EXPECT_TRUE(w.statusBox->isReadOnly());
    EXPECT_TRUE(w.statusBox->toPlainText().isEmpty());
    EXPECT_EQ(w.progressBar->minimum(), 0);
    EXPECT_EQ(w.progressBar->maximum(), 100);
    EXPECT_EQ(w.progressBar->value(), 0);
    EXPECT_FALSE(w.browseButton->isEnabled());
    EXPECT_FALSE(w.upgradeButton->isEnabled());
    EXPECT_TRUE(w.closeButton->isEnabled());
    // Every control lies inside the window.
    for (QWidget* c : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(w.rect().contains(c->geometry())) << c->objectName().toStdString();
}

TEST_F(FirmwareWindowTest, CountsLoadersAsTheyComeAndGo) {
    window = std::make_unique<FirmwareUpgradeWindow>();
    window->show();
    ASSERT_TRUE(waitFor([&] { return window->deviceCountsRun() == 1 && !window->countBusy(); }));
    EXPECT_EQ(window->deviceCountLabel->text(), "No device connected");
    EXPECT_FALSE(window->upgradeButton->isEnabled());
    EXPECT_FALSE(window->browseButton->isEnabled());

    // Arrivals and removals reach the window through the loader library.
    auto first = sim::makeLoader();
    auto second = sim::makeLoader();
    sim::VirtualBus::instance().plug(first);
    ASSERT_TRUE(waitFor([&] { return window->deviceCountLabel->text() == "Found 1 device"; }));
    EXPECT_TRUE(window->upgradeButton->isEnabled());
    EXPECT_TRUE(window->browseButton->isEnabled());
    EXPECT_EQ(window->numberOfUSBDevicesConnected, 1u);
    sim::VirtualBus::instance().plug(second);
    ASSERT_TRUE(waitFor([&] { return window->deviceCountLabel->text() == "Found 2 devices"; }));
    sim::VirtualBus::instance().unplug(first);
    sim::VirtualBus::instance().unplug(second);
    ASSERT_TRUE(waitFor([&] { return window->deviceCountLabel->text() == "No device connected"; }));
    EXPECT_FALSE(window->upgradeButton->isEnabled());
    EXPECT_FALSE(window->browseButton->isEnabled());
}

TEST_F(FirmwareWindowTest, FirmwareButtonHandsOverTheStatusAndAsksFirst) {
    startMainWindow();
    keypad->model.clearLog();
    // No: the status was read (and handed over), nothing else sent, no window.
    form->openFirmwareUpgrade();
    EXPECT_EQ(keypadCommands(), std::vector<uint8_t>{GetStatus});
    ASSERT_EQ(prompts.messages().size(), 1u);
    EXPECT_EQ(prompts.messages()[0].text, "Are you sure you want to upgrade the firmware?");
    EXPECT_EQ(prompts.messages()[0].caption, "Firmware Upgrade");
    EXPECT_EQ(prompts.messages()[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(form->findChild<FirmwareUpgradeWindow*>(), nullptr);
    const auto handed = FirmwareUpgradeWindow::HandedOverSettings();
    EXPECT_TRUE(handed.captured);
    EXPECT_EQ(handed.led_brightness, form->lastLedBrightness);
    EXPECT_EQ(handed.buzzer_enable, form->lastBuzzer);
    EXPECT_EQ(handed.buzzer_period, form->lastBuzzerPeriodIndex);
    EXPECT_EQ(handed.keypad_table, form->lastKeypadType);
    EXPECT_EQ(handed.no_of_keys, form->lastOptions);
    EXPECT_EQ(handed.serialNumber, "OVX000123456");
    for (size_t i = 0; i < 20; ++i)
        EXPECT_EQ(handed.key_codes[i], MainWindow::lastKeyCodes[i]) << i;

    // A failed status read keeps the earlier hand-over.
    auto s = keypad->model.running();
    s.ledBrightness = 1;
    keypad->model.setRunning(s);
    keypad->model.injectFault({sim::Fault::Silence});
    prompts.clear();
    form->openFirmwareUpgrade();
    EXPECT_EQ(prompts.texts(),
              (std::vector<std::string>{"Unable to get device status information\n",
                                        "Are you sure you want to upgrade the "
                                        "firmware?"}));
    EXPECT_EQ(FirmwareUpgradeWindow::HandedOverSettings().led_brightness, handed.led_brightness);

    // Yes: the keypad leaves for its loader without answering, the device
    // controls go off and the window opens.
    keypad->model.clearLog();
    prompts.answerYes();
    form->openFirmwareUpgrade();
    EXPECT_EQ(keypadCommands(), (std::vector<uint8_t>{GetStatus, EnterBootloader}));
    EXPECT_FALSE(form->saveChangesButton->isEnabled());
    EXPECT_FALSE(form->keypadTypeList->isEnabled());
    auto* w = form->findChild<FirmwareUpgradeWindow*>();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->testAttribute(Qt::WA_DeleteOnClose));
}

// Only the settings read for this press go back: a press whose status read
// fails sends none, whatever an earlier press read. Closing the window on a
// keypad left in its loader asks first (default No), then the status strip
// says how to finish.
TEST_F(FirmwareWindowTest, ClosingOnAKeypadLeftInItsLoaderAsksAndTheStripSaysSo) {
    startMainWindow();
    form->openFirmwareUpgrade(); // read, then No
    keypad->model.injectFault({sim::Fault::Silence});
    prompts.clear();
    prompts.answerYes();
    form->openFirmwareUpgrade();
    auto* w = form->findChild<FirmwareUpgradeWindow*>();
    ASSERT_NE(w, nullptr);
    std::string why;
    const auto journal = firmware::ReadUpgradeJournal(why);
    ASSERT_TRUE(journal) << why;
    EXPECT_FALSE(journal->settings.captured);
    EXPECT_FALSE(journal->downloadStarted);
    clock.advance(2000); // the loader's arrival
    ASSERT_TRUE(settle(w));

    prompts.clear();
    w->closeWindow(); // No, the default
    EXPECT_EQ(prompts.texts(),
              std::vector<std::string>{FirmwareUpgradeWindow::kLeaveInLoaderQuestion});
    EXPECT_TRUE(w->isVisible());
    prompts.clear();
    prompts.answerYes();
    w->closeWindow();
    QCoreApplication::processEvents();
    EXPECT_EQ(form->findChild<FirmwareUpgradeWindow*>(), nullptr);
    EXPECT_EQ(form->statusBar->currentMessage(), MainWindow::LeftInLoaderText());
    EXPECT_TRUE(fs::exists(firmware::UpgradeJournalPath()));
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
    form = std::make_unique<MainWindow>();
    form->startUp();

    prompts.answerYes();
    form->openFirmwareUpgrade();
    QPointer<FirmwareUpgradeWindow> w = form->findChild<FirmwareUpgradeWindow*>();
    ASSERT_TRUE(w);
    // The hand-over is on disk until the settings are back.
    const fs::path journal = stateHome / "orvex-config" / "upgrade-journal.json";
    EXPECT_TRUE(fs::exists(journal));
    clock.advance(1000);
    ASSERT_TRUE(waitFor([&] { return w->deviceCountLabel->text() == "Found 1 device"; }));
    ASSERT_TRUE(settle(w));
    // The main window's strip says where the keypad has gone.
    ASSERT_TRUE(waitFor([&] {
        return form->statusBar->currentMessage() == MainWindow::KeypadInLoaderText();
    })) << form->statusBar->currentMessage().toStdString();

    // Browse: a cancelled dialog changes nothing; a pick fills the box and
    // keeps the file's name in the configuration file.
    // The virtual keypad's window starts the dialog among the sample images,
    // here those of the user's data folder.
    const fs::path samples = dataHome / "orvex-config" / "firmware";
    fs::create_directories(samples);
    prompts.chooseFile(std::nullopt);
    QTest::mouseClick(w->browseButton, Qt::LeftButton);
    EXPECT_TRUE(w->fileNameEdit->text().isEmpty());
    EXPECT_EQ(fs::path(prompts.fileDialogFolder()), fs::canonical(samples));
    EXPECT_EQ(GetSettings("FirmwareFile", FileName), "");
    prompts.chooseFile(kSample209);
    QTest::mouseClick(w->browseButton, Qt::LeftButton);
    EXPECT_EQ(w->fileNameEdit->text().toStdString(), kSample209);
    EXPECT_EQ(GetSettings("FirmwareFile", FileName), "orvex_fw_2_09.txt");

    keypad->model.clearLog();
    prompts.clear();
    const int counts = w->deviceCountsRun();
    QTest::mouseClick(w->upgradeButton, Qt::LeftButton);
    EXPECT_FALSE(w->upgradeButton->isEnabled());
    ASSERT_TRUE(waitForUpgradeEnd(w, counts));

    const QString box = w->statusBox->toPlainText();
    EXPECT_EQ(box.toStdString(), successText(box, true, kSample209));
    EXPECT_EQ(w->progressBar->value(), 100);
    EXPECT_TRUE(warnings(prompts).empty());
    // The restore, then the main window's own read of the keypad it gave back.
    ASSERT_TRUE(waitFor([&] { return keypadCommands().size() > kRestoreOrder.size(); }));
    auto restoreThenRead = kRestoreOrder;
    restoreThenRead.push_back(GetStatus);
    EXPECT_EQ(keypadCommands(), restoreThenRead);
    EXPECT_FALSE(fs::exists(journal));
    // The loader has gone: counted once after the upgrade.
    EXPECT_EQ(w->deviceCountsRun(), counts + 1);
    EXPECT_EQ(w->deviceCountLabel->text(), "No device connected");
    EXPECT_FALSE(w->upgradeButton->isEnabled());
    EXPECT_FALSE(w->browseButton->isEnabled());

    // The main window shows the keypad on the new firmware with its settings,
    // without Scan For Device.
    EXPECT_EQ(form->firmwareVersion, "2.9");
    EXPECT_EQ(form->serialNumber, "OVX000777111");
    EXPECT_EQ(form->lastLedBrightness, 8);
    EXPECT_EQ(form->lastBuzzer, 0);
    EXPECT_EQ(form->lastBuzzerPeriodIndex, 5);
    EXPECT_EQ(form->lastKeypadType, 2);
    EXPECT_EQ(form->lastOptions, 7);
    EXPECT_TRUE(std::equal(mine.customTables[0].begin(), mine.customTables[0].begin() + 20,
                           MainWindow::lastKeyCodes.begin()));
    EXPECT_TRUE(form->statusPanel->toPlainText().split('\n').value(0).endsWith("2.9"));

    // Close ends the window.
    QTest::mouseClick(w->closeButton, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return w.isNull(); }));
}

TEST_F(FirmwareWindowTest, UpgradeSendsTheImageAsBrowseReadIt) {
    startInLoader();
    FirmwareUpgradeWindow* w = showWindow();
    const fs::path image = dataHome / "image.txt";
    fs::copy_file(kSample209, image);
    pick(w, image.string(), prompts);
    // Replaced on disk after it was picked and checked.
    fs::copy_file(kSample208, image, fs::copy_options::overwrite_existing);
    const int counts = w->deviceCountsRun();
    w->startUpgrade();
    ASSERT_TRUE(waitForUpgradeEnd(w, counts));
    EXPECT_TRUE(w->statusBox->toPlainText().endsWith("Done!"))
        << w->statusBox->toPlainText().toStdString();
    EXPECT_EQ(loader->model.imageVersion(), "2.9");
}

TEST_F(FirmwareWindowTest, EmptyPathEndsAtOnceAndTheLoaderIsOfferedAgain) {
    startInLoader();
    FirmwareUpgradeWindow* w = showWindow();
    const int counts = w->deviceCountsRun();
    w->startUpgrade();
    ASSERT_TRUE(waitForUpgradeEnd(w, counts));
    EXPECT_EQ(w->statusBox->toPlainText(), "Starting\nNo file specified\n");
    EXPECT_EQ(w->progressBar->value(), 0);
    // The count after the failure offers the loader again.
    EXPECT_EQ(w->deviceCountLabel->text(), "Found 1 device");
    EXPECT_TRUE(w->upgradeButton->isEnabled());
    EXPECT_TRUE(w->browseButton->isEnabled());
    EXPECT_EQ(loader->model.totalReports(), 0);
}

TEST_F(FirmwareWindowTest, NoSecondUpgradeWhileOneRunsAndChangesAreCountedOnceAfter) {
    startInLoader();
    FirmwareUpgradeWindow* w = showWindow();
    pick(w, kSample209, prompts);
    loader->model.injectFault({sim::LoaderFault::WrongCrc, 0});
    FirmwareUpgradeWindow other;

    w->startUpgrade();
    EXPECT_TRUE(upgradeLocked());
    // A count that ends now, a second press here and one in another window,
    // and a device change: none of them starts anything.
    w->loaderCountFinished(1, false);
    EXPECT_EQ(w->deviceCountLabel->text(), "Found 1 device");
    EXPECT_FALSE(w->upgradeButton->isEnabled());
    w->startUpgrade();
    other.startUpgrade();
    EXPECT_EQ(warnings(prompts),
              std::vector<std::string>{"Another firmware upgrade is running (orvex-config, "
                                       "process " +
                                       std::to_string(::getpid()) + ").\n"});
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
    EXPECT_TRUE(upgradeLocked()) << "kept for another try";
    const QString failed = w->statusBox->toPlainText();
    EXPECT_EQ(failed.count("Starting"), 1);
    EXPECT_TRUE(failed.endsWith("Verifying memory\nMemory verification error\n"));
    EXPECT_EQ(loaderCommands(bsl::CMD_RX_PASSWORD), 2);

    // The keypad is still in its loader and another try succeeds. Nothing was
    // ever read from it in this run, so nothing is sent back. The image that
    // did not verify lost its reset vector, so the stored password no longer
    // matches: the loader mass-erases first.
    ASSERT_TRUE(w->upgradeButton->isEnabled());
    const int again = w->deviceCountsRun();
    keypad->model.clearLog();
    w->startUpgrade();
    ASSERT_TRUE(waitForUpgradeEnd(w, again));
    const QString box = w->statusBox->toPlainText();
    EXPECT_EQ(box.toStdString(), successText(box, false, kSample209));
    EXPECT_EQ(warnings(prompts).back(), std::string(firmware::kNotRestoredText) + "\n");
    EXPECT_TRUE(keypadCommands().empty());
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(FirmwareWindowTest, ClosingDuringAnUpgradeWaitsForIt) {
    startInLoader();
    FirmwareUpgradeWindow* w = showWindow();
    pick(w, kSample208, prompts);
    w->startUpgrade();
    w->closeWindow();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(warnings(prompts).size(), 1u);
    EXPECT_TRUE(waitFor([&] { return !w->upgrading(); }));
    w->closeWindow();
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(keypadVersion(), "2.8");
}

TEST_F(FirmwareWindowTest, DestroyedDuringAnUpgradeLetsTheWorkerFinish) {
    startInLoader();
    FirmwareUpgradeWindow* w = showWindow();
    pick(w, kSample208, prompts);
    keypad->model.clearLog();
    w->startUpgrade();
    window.reset(); // waits for the worker; its reports go nowhere
    EXPECT_FALSE(upgradeLocked());
    QCoreApplication::processEvents();
    EXPECT_TRUE(keypadCommands().empty()); // no restore without the window
    EXPECT_EQ(keypadVersion(), "2.8");
}

TEST_F(FirmwareWindowTest, BrowseRefusesAnUnusableImageAndUpgradeStaysOff) {
    startInLoader();
    FirmwareUpgradeWindow* w = showWindow();
    const fs::path bad = dataHome / "bad.txt";
    std::ofstream(bad) << "@FFFE\n00 44\n@4400\n01 0\nq\n";
    pick(w, bad.string(), prompts);
    EXPECT_EQ(w->statusBox->toPlainText().toStdString(),
              bad.string() + ": line 4: not a two-digit byte");
    EXPECT_FALSE(w->upgradeButton->isEnabled());
    w->ParseMessages(BSL_DEVICE_ARRIVAL); // a recount keeps it off
    ASSERT_TRUE(settle(w));
    EXPECT_FALSE(w->upgradeButton->isEnabled());
    EXPECT_EQ(loader->model.totalReports(), 0);

    pick(w, kSample209, prompts);
    EXPECT_TRUE(w->statusBox->toPlainText().isEmpty());
    EXPECT_TRUE(w->upgradeButton->isEnabled());
}

TEST_F(FirmwareWindowTest, FirmwareButtonRefusesBeforeTheKeypadLeavesWithoutLoaderOrConsent) {
    firmware::UseBuiltInLoaderImages(std::nullopt);
    startMainWindow();
    const fs::path folder = dataHome / "HaldenInterface" / "loader";
    form->openFirmwareUpgrade();
    ASSERT_EQ(warnings(prompts).size(), 1u);
    EXPECT_NE(warnings(prompts)[0].find("RAM_BSL.Text was not found"), std::string::npos);
    EXPECT_NE(warnings(prompts)[0].find(folder.string()), std::string::npos);

    // A RAM loader but no password: the mass erase is asked about; No stops.
    fs::create_directories(folder);
    std::string ram(firmware::StandInLoaderResource("RAM_BSL.Text"));
    ram.replace(ram.find("4F 72 76 65 78"), 14, "54 45 53 54 21");
    std::ofstream(folder / "RAM_BSL.Text", std::ios::binary) << ram;
    std::ofstream(folder / "RAM_BSL_VERSION") << "00.06.05.34\n";
    prompts.clear();
    prompts.answerYes();
    form->openFirmwareUpgrade();
    ASSERT_EQ(prompts.texts().size(), 2u);
    EXPECT_NE(prompts.texts()[1].find("mass-erase"), std::string::npos);
    for (uint8_t c : keypadCommands())
        EXPECT_NE(c, EnterBootloader);
    EXPECT_EQ(form->findChild<FirmwareUpgradeWindow*>(), nullptr);
}

// The keypad left in its loader and no keypad open: the firmware button
// opens the window for the one loader attached once the user says it is the
// keypad's; two loaders cannot be told apart.
TEST_F(FirmwareWindowTest, FirmwareButtonOpensTheWindowForALoneLoaderTheUserNames) {
    startInLoader();
    CloseDevice();
    clock.advance(1000);
    form = std::make_unique<MainWindow>();
    form->startUp();
    prompts.clear();
    const std::string notRead = "Unable to get device status information\n";
    form->openFirmwareUpgrade(); // the question is answered No
    EXPECT_EQ(prompts.texts(),
              (std::vector<std::string>{notRead, MainWindow::LoneLoaderQuestion()}));
    EXPECT_EQ(form->findChild<FirmwareUpgradeWindow*>(), nullptr);

    prompts.clear();
    prompts.answerYes(2);
    form->openFirmwareUpgrade();
    EXPECT_EQ(prompts.texts(),
              (std::vector<std::string>{notRead, MainWindow::LoneLoaderQuestion(),
                                        "Are you sure you want to upgrade the firmware?"}));
    QPointer<FirmwareUpgradeWindow> w = form->findChild<FirmwareUpgradeWindow*>();
    ASSERT_TRUE(w);
    ASSERT_TRUE(waitFor([&] { return w->deviceCountLabel->text() == "Found 1 device"; }));
    ASSERT_TRUE(settle(w));
    pick(w, kSample209, prompts);
    const int counts = w->deviceCountsRun();
    w->startUpgrade();
    ASSERT_TRUE(waitForUpgradeEnd(w, counts));
    EXPECT_TRUE(w->statusBox->toPlainText().endsWith("Done!"));
    EXPECT_EQ(keypadVersion(), "2.9");
    EXPECT_FALSE(fs::exists(stateHome / "orvex-config" / "upgrade-journal.json"));
    w->close();
    ASSERT_TRUE(waitFor([&] { return w.isNull(); }));

    SendDeviceCommand(EnterBootloader);
    CloseDevice();
    const auto foreign = sim::makeLoader();
    sim::VirtualBus::instance().plug(foreign);
    clock.advance(1000);
    prompts.clear();
    prompts.answerYes(2);
    form->openFirmwareUpgrade();
    EXPECT_EQ(warnings(prompts).back(), std::string(firmware::kLoaderNotToldApartText) + "\n");
    EXPECT_EQ(form->findChild<FirmwareUpgradeWindow*>(), nullptr);

    // Neither keypad nor loader: nothing to upgrade, and no window that would
    // program whatever loader comes along later.
    sim::VirtualBus::instance().unplug(foreign);
    sim::VirtualBus::instance().unplug(loader);
    prompts.clear();
    prompts.answerYes(2);
    form->openFirmwareUpgrade();
    EXPECT_EQ(warnings(prompts).back(), std::string(firmware::kNothingToUpgradeText) + "\n");
    EXPECT_EQ(form->findChild<FirmwareUpgradeWindow*>(), nullptr);
    EXPECT_FALSE(fs::exists(firmware::UpgradeJournalPath()));
}

// Settings read from one keypad are never sent to another: here the keypad
// whose settings were handed over is gone, and another one, left in its
// loader, is upgraded in its place. It keeps its own serial number.
TEST_F(FirmwareWindowTest, SettingsReadEarlierGoOnlyToTheKeypadTheyCameFrom) {
    startMainWindow();
    keypad->model.setSerial("OVXAAAAAAAAA");
    form->scanForDevice();
    form->openFirmwareUpgrade(); // handed over, the question answered No
    ASSERT_TRUE(FirmwareUpgradeWindow::HandedOverSettings().captured);
    sim::VirtualBus::instance().unplug(keypad);

    auto other = plugKeypad();
    auto otherLoader = sim::attachLoader(other);
    other->model.setSerial("OVXBBBBBBBBB");
    ASSERT_TRUE(RescanForDevice());
    SendDeviceCommand(EnterBootloader);
    CloseDevice();
    clock.advance(1000);
    QCoreApplication::processEvents();
    prompts.clear();
    prompts.answerYes(2);
    form->openFirmwareUpgrade();
    QPointer<FirmwareUpgradeWindow> w = form->findChild<FirmwareUpgradeWindow*>();
    ASSERT_TRUE(w);
    std::string error;
    const auto journal = firmware::ReadUpgradeJournal(error);
    ASSERT_TRUE(journal) << error;
    EXPECT_FALSE(journal->settings.captured);
    ASSERT_TRUE(waitFor([&] { return w->deviceCountLabel->text() == "Found 1 device"; }));
    ASSERT_TRUE(settle(w));
    pick(w, kSample209, prompts);
    const int counts = w->deviceCountsRun();
    w->startUpgrade();
    ASSERT_TRUE(waitForUpgradeEnd(w, counts));
    EXPECT_TRUE(w->statusBox->toPlainText().endsWith("Done!"));
    EXPECT_EQ(warnings(prompts).back(), std::string(firmware::kNotRestoredText) + "\n");
    EXPECT_EQ(otherLoader->model.imageVersion(), "2.9");
    EXPECT_EQ(other->model.serial(), "OVXBBBBBBBBB");
    for (const auto& c : other->model.log())
        EXPECT_NE(c.command, SetSerialNumber);
}

// An upgrade whose restore did not finish: at start-up the window offers to
// send the settings kept in the journal back, and does. Another keypad on the
// journal's port is named in the question, and No (the default) leaves it as
// it is.
TEST_F(FirmwareWindowTest, InterruptedRestoreIsOfferedAtStartUp) {
    keypad = plugKeypad();
    keypad->model.setSerial("OVX000999888");
    keypad->model.setOptions(3);
    firmware::UpgradeJournal journal;
    journal.settings.captured = true;
    journal.settings.keypad_table = 1;
    journal.settings.led_brightness = 9;
    journal.settings.buzzer_period = 6;
    journal.settings.no_of_keys = 7;
    journal.settings.serialNumber = "OVX000555444";
    journal.settings.usbPort = keypad->port();
    journal.program = "orvexctl";
    journal.downloadStarted = true;
    std::string error;
    ASSERT_TRUE(firmware::WriteUpgradeJournal(journal, error)) << error;

    form = std::make_unique<MainWindow>();
    form->startUp();
    QCoreApplication::processEvents();
    ASSERT_EQ(prompts.texts().size(), 1u);
    EXPECT_EQ(prompts.texts()[0],
              "The keypad on USB port " + keypad->port() +
                  " reports serial number OVX000999888 (options 3), but the unfinished upgrade "
                  "was of the keypad with serial number OVX000555444. Send serial number "
                  "OVX000555444 and the settings of that keypad to this one, replacing what it "
                  "holds?");
    EXPECT_EQ(keypad->model.serial(), "OVX000999888");
    for (const auto& c : keypad->model.log())
        EXPECT_EQ(c.command, GetStatus);
    EXPECT_EQ(form->serialNumber, "OVX000999888");
    ASSERT_TRUE(fs::exists(firmware::UpgradeJournalPath()));

    // As new firmware starts it: its own, asked plainly.
    keypad->model.setSerial("OVX000000000");
    keypad->model.setOptions(0);
    prompts.clear();
    prompts.answerYes();
    form->offerToFinishUpgrade(true);
    ASSERT_EQ(prompts.texts().size(), 1u);
    EXPECT_NE(prompts.texts()[0].find("OVX000555444 was interrupted"), std::string::npos);
    EXPECT_EQ(keypad->model.serial(), "OVX000555444");
    EXPECT_EQ(keypad->model.options(), 7);
    EXPECT_EQ(keypad->model.powerUp().ledBrightness, 9);
    EXPECT_EQ(keypad->model.powerUp().buzzerPeriod, 7);
    EXPECT_EQ(form->serialNumber, "OVX000555444");
    EXPECT_FALSE(fs::exists(firmware::UpgradeJournalPath()));
    EXPECT_EQ(form->statusBar->currentMessage(), MainWindow::SettingsSentBackText());
}

// A journal without a USB port names the loader alone on the bus; one that
// has gone while the user was being asked is not guessed at.
TEST_F(FirmwareWindowTest, LoaderGoneWhileAskedIsNotGuessed) {
    startInLoader();
    CloseDevice();
    clock.advance(1000);
    firmware::UpgradeJournal journal;
    journal.settings.serialNumber = "OVX000555444";
    journal.program = "orvexctl";
    std::string error;
    ASSERT_TRUE(firmware::WriteUpgradeJournal(journal, error)) << error;
    test::RecordingPrompter boxes;
    boxes.beforeNextQuestion = [&] { sim::VirtualBus::instance().unplug(loader); };
    boxes.answerYes(2);
    setPrompter(&boxes);
    form = std::make_unique<MainWindow>();
    form->startUp();
    QCoreApplication::processEvents();
    setPrompter(&prompts);
    ASSERT_EQ(boxes.texts().size(), 4u);
    EXPECT_NE(boxes.texts()[1].find("still in its bootstrap loader"), std::string::npos);
    EXPECT_NE(boxes.texts()[2].find("Is it that keypad?"), std::string::npos);
    EXPECT_EQ(boxes.texts()[3], "No MSP430 USB bootstrap loader (USB 2047:0200) is attached.\n");
    EXPECT_EQ(form->findChild<FirmwareUpgradeWindow*>(), nullptr);
    EXPECT_TRUE(fs::exists(firmware::UpgradeJournalPath()));
}

// The keypad swapped for another one on its port while the question is up:
// nothing reaches the other keypad, no journal names it, no window opens.
TEST_F(FirmwareWindowTest, KeypadSwappedWhileAskedGetsNothing) {
    startMainWindow();
    auto other = plugKeypad(); // plugged in later, on the same port
    sim::VirtualBus::instance().unplug(other);
    other->model.setSerial("OVX000999999");
    other->usbPort = keypad->usbPort;
    test::RecordingPrompter boxes;
    boxes.beforeNextQuestion = [&] {
        sim::VirtualBus::instance().unplug(keypad);
        sim::VirtualBus::instance().plug(other);
        for (int i = 0; i < 50; ++i) // the window's own events, as under a message box
            QCoreApplication::processEvents();
    };
    boxes.answerYes();
    setPrompter(&boxes);
    other->model.clearLog();
    form->openFirmwareUpgrade();
    setPrompter(&prompts);
    EXPECT_EQ(boxes.texts().back(), "The keypad was unplugged.\n");
    EXPECT_TRUE(other->model.log().empty()) << "the other keypad heard something";
    EXPECT_FALSE(fs::exists(firmware::UpgradeJournalPath()));
    EXPECT_EQ(form->findChild<FirmwareUpgradeWindow*>(), nullptr);
}

// Enter alone never confirms a question that can lead to an erase.
TEST_F(FirmwareWindowTest, QuestionsDefaultToNo) {
    QtPrompter qt;
    bool defaultIsNo = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        defaultIsNo = box->defaultButton() == box->button(QMessageBox::No);
        QTest::keyClick(box, Qt::Key_Return);
    });
    EXPECT_EQ(qt.message("Are you sure you want to upgrade the firmware?", "Firmware Upgrade",
                         MsgButtons::YesNo, MsgIcon::Question),
              MsgAnswer::No);
    EXPECT_TRUE(defaultIsNo);
}
