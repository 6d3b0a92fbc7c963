// The production program on the real hidapi (hidraw) and libudev, against the
// virtual keypad's model behind an emulated hidraw device, driven through its
// accessibility interface like a user would drive it.

#include <gtest/gtest.h>

#include <umockdev.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <memory>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "desktop_session.h"
#include "hidraw_keypad.h"
#include "orvex_app.h"
#include "polling.h"
#include "system_fixture.h"

using namespace orvex::systest;
using namespace std::chrono_literals;
using orvex::sim::KeypadModel;
using orvex::sim::KeypadSettings;

namespace {

// Status panel, connected and "None" forms, exactly as the user sees them.
std::string connectedPanel(const std::string& version, const std::string& ways,
                           const std::string& table, const std::string& serial) {
    return "Device Connected   -    Orvex\u2122                Firmware Version        -   " +
           version + "\nKeypad Selected     -    " + ways + "         Code Table Loaded     -   " +
           table + "\nSerial Number          -    " + serial;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

const std::string kNonePanel =
    "Device Connected   -    None                                Firmware Version        -   None\n"
    "Keypad Selected     -    None                                Code Table Loaded     -   None\n"
    "Serial Number          -    None";

const std::string kNotConnected = "Halden Orvex\u2122 not connected..\n";
const std::string kCaption = "Halden Orvex\u2122";
// MainWindow::PermissionHintText().
const std::string kPermissionHint =
    "A keypad is plugged in but cannot be opened (no permission). See README, \"USB "
    "permissions (udev rule)\".";

KeypadSettings settings(uint8_t led, uint8_t jack, uint8_t buzzer, uint8_t period, uint8_t type) {
    KeypadSettings s = KeypadModel::factorySettings();
    s.ledBrightness = led;
    s.jackLedBrightness = jack;
    s.buzzer = buzzer;
    s.buzzerPeriod = period;
    s.keypadType = type;
    return s;
}

std::vector<uint8_t> commands(const KeypadModel& m) {
    std::vector<uint8_t> out;
    for (const auto& c : m.log())
        out.push_back(c.command);
    return out;
}

class OrvexConfigSystem : public WindowSystemTest {
protected:
    void SetUp() override { SetUpDesktop(); }

    // Starts orvex-config and, unless told otherwise (a start-up message to
    // answer first), waits for its main window.
    void launch(bool waitForWindow = true, bool withoutFileOverride = false) {
        OrvexApp::Options o = programOptions();
        o.withoutFileOverride = withoutFileOverride;
        app = std::make_unique<OrvexApp>(desktop, *bed, o);
        std::string why;
        ASSERT_TRUE(app->start(&why)) << why;
        if (waitForWindow) {
            ASSERT_TRUE(app->waitForMainWindow(25s));
        }
    }

    // Puts settings into the keypad as its power-up settings (a plug-in is a
    // power-up).
    void keypadHolds(const KeypadSettings& s) {
        keypad->model.setPowerUp(s);
        keypad->model.setRunning(s);
    }

    // A keypad whose loader is emulated, with settings an upgrade must carry
    // over, and the loader files the real-keypad programs read: a RAM loader
    // image of our own (the emulated loader runs whatever is loaded at 0x2500
    // and reports its first four bytes as its version) and, unless it is
    // unknown, the keypad's password, its vector table.
    void prepareUpgrade(bool passwordKnown = true) {
        keypad->emulateLoader();
        KeypadSettings s = settings(7, 2, 0, 5, 2); // customised table of the first group
        for (size_t i = 0; i < 20; ++i)
            s.customTables[0][i] = static_cast<uint8_t>(0x04 + 2 * i);
        keypadHolds(s);
        keypad->model.setOptions(6);
        keypad->model.setSerial("SYS000777001");
        keypad->loader.loadFactoryImage(keypad->model.version());
        keypad->plug();
        expectedAfterUpgrade = s;
        // The jack LED is not part of the hand-over: it keeps the factory value.
        expectedAfterUpgrade.jackLedBrightness = KeypadModel::factorySettings().jackLedBrightness;

        const std::filesystem::path loaderDir = dataHome() + "/HaldenInterface/loader";
        std::filesystem::create_directories(loaderDir);
        std::ofstream(loaderDir / "RAM_BSL.Text")
            << "@2500\n00 06 05 34 3F 40 0A 43 B0 12 00 25 FF 3F 30 41\nq\n";
        std::ofstream(loaderDir / "RAM_BSL_VERSION") << "00.06.05.34\n";
        if (!passwordKnown)
            return;
        // Placed for this keypad: only then is it known to match.
        std::filesystem::create_directories(loaderDir / "SYS000777001");
        std::ofstream password(loaderDir / "SYS000777001" / "password.Text");
        password << "@FFE0\n";
        for (uint8_t b : orvex::sim::LoaderModel::factoryVectors())
            password << std::hex << std::uppercase << std::setw(2) << std::setfill('0') << int(b)
                     << ' ';
        password << "\nq\n";
    }

    // What a freshly programmed keypad starts with, unlike what it held.
    void newFirmwareStartsBlank() {
        keypadHolds(KeypadModel::factorySettings());
        keypad->model.setOptions(0);
        keypad->model.setSerial("OVX000000000");
    }

    // The sample image with a byte cut short on its line 41.
    std::string malformedImage() {
        std::ifstream sample(ORVEX_SAMPLE_FIRMWARE);
        std::vector<std::string> image;
        for (std::string l; std::getline(sample, l);)
            image.push_back(l);
        EXPECT_GT(image.size(), 40u);
        image.resize(std::max<size_t>(image.size(), 41));
        image[40] = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF F";
        const std::string path = TestOutputDir() + "/malformed.txt";
        std::ofstream out(path);
        for (const auto& l : image)
            out << l << "\n";
        return path;
    }

    // The firmware button, its question answered Yes: the keypad leaves for
    // its ROM loader and the firmware window counts it.
    void openFirmwareWindow(std::optional<Accessible>& window) {
        launch();
        ASSERT_TRUE(waitUntil([&] { return app->enabled("firmwareButton"); }, 10s));
        ASSERT_TRUE(app->click("firmwareButton"));
        const auto question = app->waitForMessage(10s);
        ASSERT_TRUE(question.has_value());
        EXPECT_EQ(question->text, "Are you sure you want to upgrade the firmware?");
        ASSERT_TRUE(app->answerMessage("Yes"));
        window = app->window("Halden Orvex\u2122 Firmware Upgrade", 10s);
        ASSERT_TRUE(window.has_value());
        ASSERT_TRUE(waitUntil([&] { return app->showsLabel(*window, "Found 1 device"); }, 10s));
        EXPECT_EQ(keypad->arrivals(), (std::vector<std::string>{"keypad", "ROM loader"}));
    }

    // The firmware window's status box.
    std::string statusBox(const Accessible& window) {
        const auto t = app->texts(window); // the file name, then the status box
        return t.size() == 2 ? t[1] : std::string("<no status box>");
    }

    std::string dataHome() const { return desktop.programEnv().at("XDG_DATA_HOME"); }

    // Runs the production orvexctl in the testbed; returns its exit code.
    int orvexctl(const std::vector<std::string>& args, std::string* output,
                 const std::function<void()>& whileRunning = {}) {
        ChildProcess p;
        ChildProcess::Options o;
        o.argv = {ORVEXCTL_PROGRAM};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = bed->programEnv(ORVEX_FSTAT_SHIM);
        for (const auto& [k, v] : desktop.programEnv())
            o.env[k] = v;
        o.env["XDG_DATA_DIRS"] = desktop.folder() + "/system-data";
        o.logFile = TestOutputDir() + "/orvexctl.log";
        std::filesystem::remove(o.logFile); // the output of this run only
        std::string why;
        if (!p.start(o, &why)) {
            ADD_FAILURE() << why;
            return -1;
        }
        if (whileRunning)
            whileRunning();
        const int rc = p.waitExit(60000);
        std::ifstream in(o.logFile);
        std::stringstream text;
        text << in.rdbuf();
        *output = text.str();
        return rc;
    }

    // Checks the keypad came back on the image's version with its settings.
    void expectUpgradedAndRestored(bool passwordKnown = true) {
        EXPECT_EQ(keypad->arrivals(), (std::vector<std::string>{"keypad", "ROM loader",
                                                                "RAM loader", "keypad", "keypad"}))
            << "keypad, its two loaders, the new firmware, its restart after the factory reset";
        EXPECT_EQ(keypad->loaderOpens(), 2);
        EXPECT_EQ(keypad->loader.massErases(), passwordKnown ? 0 : 1)
            << "only the blank password is refused";
        EXPECT_EQ(keypad->loader.imageVersion(), "2.9");
        EXPECT_EQ(keypad->model.version(), "2.9");
        EXPECT_EQ(keypad->model.powerUp(), expectedAfterUpgrade);
        EXPECT_EQ(keypad->model.running(), expectedAfterUpgrade);
        EXPECT_EQ(keypad->model.options(), 6);
        EXPECT_EQ(keypad->model.serial(), "SYS000777001");
        // After the bootloader entry: options, serial number, factory reset,
        // then type, table, LED, buzzer, period and the power-up store.
        std::vector<uint8_t> restore;
        for (uint8_t c : commands(keypad->model))
            if (c != 1)
                restore.push_back(c);
        EXPECT_EQ(restore, (std::vector<uint8_t>{12, 11, 14, 10, 7, 5, 2, 4, 6, 9}));
        EXPECT_TRUE(std::filesystem::exists(dataHome() +
                                            "/HaldenInterface/loader/SYS000777001/password.Text"))
            << "the new image's vector table is kept as this keypad's password";
    }

    KeypadSettings expectedAfterUpgrade;
};

// Start-up opens interface 1 only, reads the status once and shows what the
// keypad holds: version and serial in the panel, each setting in its list.
TEST_F(OrvexConfigSystem, StartUpOpensInterfaceOneAndShowsTheKeypadsStatus) {
    keypadHolds(settings(7, 2, 0, 5, 1));
    keypad->model.setVersion("3.14");
    keypad->model.setSerial("SYS000777001");
    keypad->model.setOptions(6); // eight keys; the buzzer lists follow the connection
    keypad->plug();

    launch();
    ASSERT_TRUE(waitUntil([&] { return app->text("statusPanel") != ""; }, 10s));

    EXPECT_EQ(app->text("statusPanel"),
              connectedPanel("3.14", "8Way Keypad", "Alternate   Table", "SYS000777001"));
    EXPECT_EQ(app->text("keypadTypeList"), "Alternate   Table");
    EXPECT_EQ(app->text("ledBrightnessList"), "LED Brightness - 7");
    EXPECT_EQ(app->text("ledColourList"), "JACK LED Brightness - 2");
    EXPECT_EQ(app->text("buzzerList"), "Buzzer - Off");
    EXPECT_EQ(app->text("buzzerPeriodList"), "Buzzer Period -5");
    EXPECT_TRUE(app->enabled("saveChangesButton"));
    EXPECT_TRUE(app->enabled("factoryResetButton"));
    EXPECT_EQ(app->text("statusBar"), "");
    app->screenshot("connected");

    EXPECT_EQ(commands(keypad->model), std::vector<uint8_t>{1});
    EXPECT_EQ(keypad->opens(1), 1);
    EXPECT_EQ(keypad->opens(0), 0) << "the keyboard interface must not be opened";
    EXPECT_EQ(keypad->keyboardWrites(), 0);
    EXPECT_TRUE(keypad->unknownIoctls().empty()) << "hidapi asked what the node cannot answer";
    EXPECT_FALSE(app->waitForMessage(0ms).has_value());
}

// A pick in a list is sent to the keypad at once and changes its running
// settings; "Save Changes" makes them the power-up settings and writes the
// configuration file.
TEST_F(OrvexConfigSystem, PickedSettingsReachTheKeypadAndSaveChangesStoresThem) {
    keypadHolds(KeypadModel::factorySettings());
    keypad->plug();
    launch();
    ASSERT_TRUE(waitUntil([&] { return app->enabled("ledBrightnessList"); }, 10s));
    keypad->model.clearLog();

    ASSERT_TRUE(app->pick("ledBrightnessList", "LED Brightness - 8"));
    ASSERT_TRUE(waitUntil([&] { return keypad->model.log().size() == 1; }, 10s));
    EXPECT_EQ(keypad->model.log()[0].command, 2);
    EXPECT_EQ(keypad->model.log()[0].payload, std::vector<uint8_t>{8});
    EXPECT_EQ(keypad->model.running().ledBrightness, 8);

    // The period list shows values from 1: its ninth entry sends 9.
    ASSERT_TRUE(app->pick("buzzerPeriodList", "Buzzer Period -9"));
    ASSERT_TRUE(waitUntil([&] { return keypad->model.log().size() == 2; }, 10s));
    EXPECT_EQ(keypad->model.log()[1].command, 6);
    EXPECT_EQ(keypad->model.log()[1].payload, std::vector<uint8_t>{9});
    EXPECT_EQ(keypad->model.running().buzzerPeriod, 9);
    EXPECT_EQ(app->text("ledBrightnessList"), "LED Brightness - 8");
    EXPECT_EQ(keypad->model.powerUp(), KeypadModel::factorySettings());

    ASSERT_TRUE(app->click("saveChangesButton"));
    // WriteDefaults, then the status read for the configuration snapshot.
    ASSERT_TRUE(waitUntil([&] { return keypad->model.log().size() == 4; }, 10s));
    EXPECT_EQ(commands(keypad->model), (std::vector<uint8_t>{2, 6, 9, 1}));
    EXPECT_EQ(keypad->model.powerUp(), keypad->model.running());
    EXPECT_EQ(keypad->model.powerUp().ledBrightness, 8);
    const std::string file = app->configFolder() + "/USBOrvexIllumUtilityCfg.ini";
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(file); }, 5s)) << file;
    EXPECT_FALSE(app->waitForMessage(0ms).has_value());
}

// "Scan For Device" keeps its steps beside the window's own following of the
// keypad: with the keypad unplugged it warns and shows the "None" form; with
// the keypad back (which the window has opened and read by itself) it opens
// the node again and reads the status again.
TEST_F(OrvexConfigSystem, ScanForDeviceKeepsItsStepsBesideTheHotPlug) {
    keypadHolds(settings(4, 4, 1, 2, 0));
    keypad->model.setOptions(7);
    keypad->plug();
    launch();
    ASSERT_TRUE(waitUntil([&] { return app->enabled("factoryResetButton"); }, 10s));
    keypad->model.clearLog();

    keypad->unplug();
    ASSERT_TRUE(app->click("scanButton"));
    const auto warning = app->waitForMessage(10s);
    ASSERT_TRUE(warning.has_value());
    EXPECT_EQ(warning->text, kNotConnected);
    EXPECT_EQ(warning->caption, kCaption);
    ASSERT_TRUE(app->answerMessage("OK"));
    ASSERT_TRUE(waitUntil([&] { return app->text("statusPanel") == kNonePanel; }, 10s))
        << app->text("statusPanel");
    app->screenshot("none-form");
    // Options 7: every device control follows the connection.
    for (const char* name : {"keypadTypeList", "ledBrightnessList", "ledColourList", "buzzerList",
                             "buzzerPeriodList", "saveChangesButton", "factoryResetButton"})
        EXPECT_FALSE(app->enabled(name)) << name;
    EXPECT_TRUE(app->enabled("scanButton"));
    EXPECT_EQ(app->text("ledBrightnessList"), "LED Brightness"); // its placeholder
    EXPECT_TRUE(keypad->model.log().empty());

    keypad->plug();
    // Ways code 3 has no name of its own: the panel's middle line is left out.
    const auto expected = lines(connectedPanel("2.7", "", "", "OVX000123456"));
    const auto showsKeypad = [&] {
        const auto panel = lines(app->text("statusPanel"));
        return panel.size() == 3 && panel[0] == expected[0] && panel[2] == expected[2];
    };
    ASSERT_TRUE(waitUntil(showsKeypad, 10s)) << app->text("statusPanel");
    EXPECT_EQ(commands(keypad->model), std::vector<uint8_t>{1});
    EXPECT_EQ(keypad->opens(1), 2);
    ASSERT_TRUE(app->click("scanButton"));
    ASSERT_TRUE(waitUntil([&] { return keypad->model.log().size() == 2; }, 10s));
    EXPECT_TRUE(showsKeypad()) << app->text("statusPanel");
    EXPECT_EQ(commands(keypad->model), (std::vector<uint8_t>{1, 1}));
    EXPECT_EQ(keypad->opens(1), 3);
    EXPECT_EQ(keypad->opens(0), 0);
    EXPECT_TRUE(app->enabled("factoryResetButton"));
    EXPECT_EQ(app->text("ledBrightnessList"), "LED Brightness - 4");
}

// "Reset To Factory Default": the keypad takes its factory settings, drops off
// the bus and comes back; the program waits, rescans and shows the new status.
TEST_F(OrvexConfigSystem, FactoryResetWaitsForTheKeypadToReEnumerate) {
    keypadHolds(settings(9, 0, 0, 7, 1));
    keypad->model.setOptions(6);
    keypad->plug();
    launch();
    ASSERT_TRUE(waitUntil([&] { return app->text("keypadTypeList") == "Alternate   Table"; }, 10s));
    keypad->model.clearLog();

    ASSERT_TRUE(app->click("factoryResetButton"));
    ASSERT_TRUE(waitUntil([&] { return keypad->plugCount() == 2; }, 10s))
        << "the keypad did not restart";
    ASSERT_TRUE(waitUntil(
        [&] {
            return app->text("statusPanel") ==
                   connectedPanel("2.7", "8Way Keypad", "Default      Table", "OVX000123456");
        },
        15s))
        << app->text("statusPanel");
    // The status read after the restart tells it is the same keypad, then
    // the window reads it.
    EXPECT_EQ(commands(keypad->model), (std::vector<uint8_t>{10, 1, 1}));
    EXPECT_EQ(keypad->model.running(), KeypadModel::factorySettings());
    EXPECT_EQ(app->text("ledBrightnessList"), "LED Brightness - 5");
    EXPECT_EQ(app->text("buzzerList"), "Buzzer - On");
    EXPECT_EQ(keypad->opens(1), 2) << "the rescan must open the re-enumerated node";
    EXPECT_FALSE(app->waitForMessage(0ms).has_value()) << "no power-cycle request expected";
}

// A node that exists but cannot be opened: the scan warns, the window shows
// the "None" form, and the status strip says why.
TEST_F(OrvexConfigSystem, UnopenableNodeShowsThePermissionHint) {
    HidrawKeypad::Identity id;
    id.nodeMode = 0;
    keypad->setIdentity(id);
    keypad->plug();
    launch(false, true);

    const auto warning = app->waitForMessage(25s);
    ASSERT_TRUE(warning.has_value());
    EXPECT_EQ(warning->text, kNotConnected);
    ASSERT_TRUE(app->answerMessage("OK"));
    ASSERT_TRUE(app->waitForMainWindow(10s));
    EXPECT_EQ(app->text("statusBar"), kPermissionHint);
    EXPECT_EQ(app->text("statusPanel"), kNonePanel);
    app->screenshot("permission-hint");
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(keypad->opens(0), 0);

    // Once the node can be opened, Scan For Device connects and the hint
    // gives way to its result.
    keypad->unplug();
    keypad->setIdentity(HidrawKeypad::Identity{});
    keypad->plug();
    ASSERT_TRUE(app->click("scanButton"));
    ASSERT_TRUE(waitUntil([&] { return app->text("statusBar") == "Keypad found."; }, 10s))
        << app->text("statusBar");
    EXPECT_EQ(app->text("statusPanel"),
              connectedPanel("2.7", "8Way Keypad", "Default      Table", "OVX000123456"));
}

// The production device notifier on the real libudev sees the emulated
// loader (2047:0200) arrive and leave, and nothing of the keypad itself.
TEST_F(OrvexConfigSystem, NotifierReportsLoaderArrivalAndRemoval) {
    keypad->plug();
    const std::string log = TestOutputDir() + "/notifier.log";
    std::filesystem::remove(log);
    ChildProcess probe;
    ChildProcess::Options o;
    o.argv = {ORVEX_NOTIFIER_PROBE, "2047", "0200", "20"};
    o.env = bed->programEnv(ORVEX_FSTAT_SHIM);
    o.logFile = log;
    std::string why;
    ASSERT_TRUE(probe.start(o, &why)) << why;
    auto events = [&] {
        std::ifstream in(log);
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    };
    ASSERT_TRUE(waitUntil([&] { return events().size() == 1; }, 10s));
    ASSERT_EQ(events()[0], "ready");

    // The keypad leaves and the loader takes its place, as after EnterBootloader.
    keypad->unplug();
    HidrawKeypad::Identity loader;
    loader.productId = 0x0200;
    loader.product = "MSP430 USB BSL";
    loader.keyboardInterface = false;
    keypad->setIdentity(loader);
    keypad->plug();
    ASSERT_TRUE(waitUntil([&] { return events().size() >= 2; }, 5s));
    keypad->unplug();
    ASSERT_TRUE(waitUntil([&] { return events().size() >= 3; }, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events(), (std::vector<std::string>{"ready", "arrival", "removal"}));
}

// orvexctl flash on the real hidapi: the keypad goes to its ROM loader, the RAM
// loader is downloaded and started, the image written and verified, and the
// keypad comes back on the new version with its settings sent back.
TEST_F(OrvexConfigSystem, OrvexctlFlashUpgradesThroughBothLoadersAndRestoresTheSettings) {
    prepareUpgrade();
    std::string output;
    const int rc = orvexctl({"flash", ORVEX_SAMPLE_FIRMWARE}, &output, [&] {
        ASSERT_TRUE(waitUntil([&] { return keypad->arrivals().size() >= 2; }, 10s));
        newFirmwareStartsBlank();
    });
    ASSERT_EQ(rc, 0) << output;
    EXPECT_NE(output.find("Memory successfully verified"), std::string::npos) << output;
    expectUpgradedAndRestored();
}

// Without a password image the first password is the blank one, which the
// loader of a programmed keypad answers with a mass erase. orvexctl flash
// refuses that before the keypad leaves for its loader; with
// --allow-mass-erase it goes through the erase and keeps the new image's
// vector table as the keypad's password, for the next upgrade.
TEST_F(OrvexConfigSystem, OrvexctlFlashWithoutAPasswordNeedsConsentToTheMassErase) {
    prepareUpgrade(/*passwordKnown=*/false);
    const auto flash = keypad->loader.memory(0, orvex::sim::LoaderModel::kMemorySize);

    std::string output;
    EXPECT_EQ(orvexctl({"flash", ORVEX_SAMPLE_FIRMWARE}, &output), 2) << output;
    EXPECT_EQ(lines(output).size(), 1u) << output;
    EXPECT_NE(output.find("--allow-mass-erase"), std::string::npos) << output;
    const auto sent = commands(keypad->model);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), uint8_t{12}), 0) << "EnterBootloader was sent";
    EXPECT_EQ(keypad->arrivals(), std::vector<std::string>{"keypad"});
    EXPECT_EQ(keypad->loaderOpens(), 0);
    EXPECT_EQ(keypad->loader.totalReports(), 0);
    EXPECT_TRUE(keypad->loader.memory(0, orvex::sim::LoaderModel::kMemorySize) == flash)
        << "the flash changed";

    const int rc = orvexctl({"flash", "--allow-mass-erase", ORVEX_SAMPLE_FIRMWARE}, &output, [&] {
        ASSERT_TRUE(waitUntil([&] { return keypad->arrivals().size() >= 2; }, 10s));
        newFirmwareStartsBlank();
    });
    ASSERT_EQ(rc, 0) << output;
    EXPECT_NE(output.find("Memory successfully verified"), std::string::npos) << output;
    expectUpgradedAndRestored(/*passwordKnown=*/false);
    std::ifstream kept(dataHome() + "/HaldenInterface/loader/SYS000777001/password.Text");
    std::vector<uint8_t> password;
    for (std::string word; kept >> word;)
        if (word.size() == 2)
            password.push_back(static_cast<uint8_t>(std::stoi(word, nullptr, 16)));
    EXPECT_EQ(password, keypad->loader.memory(0xFFE0, 32)) << "not the new image's vector table";
}

// The same upgrade in the window: the firmware button asks, the keypad leaves
// for its loader, the image is picked with Browse and "Upgrade Firmware" runs
// it; the settings read before go back to the keypad on its new firmware.
TEST_F(OrvexConfigSystem, FirmwareWindowUpgradesThroughBothLoadersAndRestoresTheSettings) {
    prepareUpgrade();
    std::optional<Accessible> window;
    ASSERT_NO_FATAL_FAILURE(openFirmwareWindow(window));
    newFirmwareStartsBlank();

    const auto browse = app->button(*window, "Browse");
    ASSERT_TRUE(browse && app->click(*browse));
    ASSERT_TRUE(app->chooseFile(ORVEX_SAMPLE_FIRMWARE, 10s));
    EXPECT_EQ(statusBox(*window), "") << "the image was refused";
    const auto upgrade = app->button(*window, "Upgrade Firmware");
    ASSERT_TRUE(upgrade.has_value());
    ASSERT_TRUE(waitUntil([&] { return app->click(*upgrade); }, 5s));
    // Done once the settings are stored as the power-up settings again (the
    // main window's status read may follow).
    ASSERT_TRUE(waitUntil(
        [&] {
            auto c = commands(keypad->model);
            std::erase(c, uint8_t{1});
            return !c.empty() && c.back() == 9;
        },
        40s))
        << statusBox(*window);
    app->screenshot("upgraded");
    EXPECT_NE(statusBox(*window).find("Memory successfully verified"), std::string::npos)
        << statusBox(*window);
    expectUpgradedAndRestored();
    // The main window shows the keypad on its new firmware, without Scan For
    // Device.
    EXPECT_TRUE(waitUntil(
        [&] {
            return app->text("statusPanel") ==
                   connectedPanel("2.9", "8Way Keypad", "Customise Table", "SYS000777001");
        },
        10s))
        << app->text("statusPanel");
    EXPECT_EQ(app->text("ledBrightnessList"), "LED Brightness - 7");
    EXPECT_TRUE(app->enabled("factoryResetButton"));
    EXPECT_FALSE(app->waitForMessage(0ms).has_value());
    // A screen reader knows the progress and the log by name and is told the end.
    AtSpi& a = app->atspi();
    EXPECT_EQ(a.roleName(*window), "dialog");
    EXPECT_TRUE(a.findByRole(*window, "progress bar", "Upgrade progress").has_value());
    EXPECT_TRUE(a.findByRole(*window, "text", "Upgrade log").has_value());
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto told = a.findByRole(*window, "notification", "Done!");
            return told && a.showing(*told);
        },
        5s))
        << app->describe();
}

// A malformed image is refused before the keypad is sent to its loader, even
// with consent to a mass erase: nothing reaches the loader, the flash is as it
// was.
TEST_F(OrvexConfigSystem, OrvexctlFlashRefusesAMalformedImageAndLeavesTheFlashUntouched) {
    prepareUpgrade();
    const std::string bad = malformedImage();
    const auto flash = keypad->loader.memory(0, orvex::sim::LoaderModel::kMemorySize);

    std::string output;
    EXPECT_EQ(orvexctl({"flash", "--allow-mass-erase", bad}, &output), 6) << output;
    EXPECT_NE(output.find("malformed.txt"), std::string::npos) << output;
    EXPECT_NE(output.find("line 41"), std::string::npos) << output;
    EXPECT_TRUE(keypad->loader.memory(0, orvex::sim::LoaderModel::kMemorySize) == flash)
        << "the flash changed";
    EXPECT_EQ(keypad->loader.totalReports(), 0);
    EXPECT_EQ(keypad->loaderOpens(), 0);
    EXPECT_EQ(keypad->arrivals(), std::vector<std::string>{"keypad"});
    EXPECT_TRUE(keypad->model.log().empty()) << "the keypad was not even asked";
}

// In the window the keypad is already in its loader when the image is picked:
// Browse names the fault, "Upgrade Firmware" stays off, the loader hears
// nothing and its flash is as it was.
TEST_F(OrvexConfigSystem, FirmwareWindowRefusesAMalformedImageAndLeavesTheFlashUntouched) {
    prepareUpgrade();
    const std::string bad = malformedImage();
    const auto flash = keypad->loader.memory(0, orvex::sim::LoaderModel::kMemorySize);
    std::optional<Accessible> window;
    ASSERT_NO_FATAL_FAILURE(openFirmwareWindow(window));

    const auto browse = app->button(*window, "Browse");
    ASSERT_TRUE(browse && app->click(*browse));
    ASSERT_TRUE(app->chooseFile(bad, 10s));
    ASSERT_TRUE(waitUntil([&] { return statusBox(*window) != ""; }, 5s));
    EXPECT_NE(statusBox(*window).find("malformed.txt: line 41"), std::string::npos)
        << statusBox(*window);
    const auto upgrade = app->button(*window, "Upgrade Firmware");
    ASSERT_TRUE(upgrade.has_value());
    EXPECT_FALSE(app->click(*upgrade)) << "Upgrade Firmware is offered for a refused image";
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(keypad->loader.totalReports(), 0);
    EXPECT_EQ(keypad->loaderOpens(), 0);
    EXPECT_TRUE(keypad->loader.memory(0, orvex::sim::LoaderModel::kMemorySize) == flash)
        << "the flash changed";
}

} // namespace

// A program the harness starts on a testbed has a home and XDG folders of
// that testbed alone, whatever the person running the tests has set: its
// upgrade journal and lock never land in their state folder, and two tests
// running side by side never share them.
TEST(SystemHarness, ProgramsGetXdgFoldersOfTheirOwnTestbed) {
    const char* const names[] = {"HOME",           "XDG_DATA_HOME",  "XDG_CONFIG_HOME",
                                 "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                                 "XDG_DATA_DIRS",  "XDG_CONFIG_DIRS"};
    std::map<std::string, std::string> saved;
    for (const char* name : names) {
        if (const char* v = std::getenv(name))
            saved[name] = v;
        ::setenv(name, "/the/runners/own", 1);
    }
    Testbed first, second;
    std::map<std::string, std::string> seen[2];
    int i = 0;
    for (Testbed* bed : {&first, &second}) {
        ChildProcess env;
        ChildProcess::Options o;
        o.argv = {"/usr/bin/env"};
        o.env = bed->programEnv(ORVEX_FSTAT_SHIM);
        o.env.erase("LD_PRELOAD"); // env needs no emulated devices
        o.logFile = bed->rootDir() + "/env.out";
        ASSERT_TRUE(env.start(o));
        ASSERT_EQ(env.waitExit(10000), 0);
        std::ifstream in(o.logFile);
        for (std::string line; std::getline(in, line);)
            if (const auto eq = line.find('='); eq != std::string::npos)
                seen[i][line.substr(0, eq)] = line.substr(eq + 1);
        ++i;
    }
    for (const char* name : names) {
        unsetenv(name);
        if (saved.count(name))
            ::setenv(name, saved[name].c_str(), 1);
    }
    for (const char* name : names) {
        EXPECT_EQ(seen[0][name].rfind(first.rootDir() + "/", 0), 0u)
            << name << "=" << seen[0][name];
        EXPECT_EQ(seen[1][name].rfind(second.rootDir() + "/", 0), 0u)
            << name << "=" << seen[1][name];
        EXPECT_NE(seen[0][name], seen[1][name]) << name;
    }
    EXPECT_TRUE(std::filesystem::is_directory(seen[0]["XDG_STATE_HOME"]));
}
