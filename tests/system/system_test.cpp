// The production program on the real hidapi (hidraw) and libudev, against the
// virtual keypad's model behind an emulated hidraw device, driven through its
// accessibility interface like a user would drive it.

#include <gtest/gtest.h>

#include <umockdev.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "child_process.h"
#include "desktop_session.h"
#include "hidraw_keypad.h"
#include "orvex_app.h"

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

const std::string kNonePanel =
    "Device Connected   -    None                                Firmware Version        -   None\n"
    "Keypad Selected     -    None                                Code Table Loaded     -   None\n"
    "Serial Number          -    None";

const std::string kNotConnected = "Halden Orvex\u2122 not connected..\n";
const std::string kCaption = "Halden Orvex\u2122";
// Form1::PermissionHintText().
const std::string kPermissionHint =
    "A keypad is plugged in but cannot be opened (no permission). See README, \"USB "
    "permissions (udev rule)\".";

std::string outputDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(ORVEX_SYSTEM_OUTPUT) + "/" + info->test_suite_name() + "." + info->name();
}

// Whether a program started with the testbed's environment sees the testbed's
// sysfs: false (with the reason) when umockdev cannot work on this machine.
bool umockdevWorks(std::string* why) {
    Testbed bed;
    g_free(umockdev_testbed_add_device(bed.get(), "platform", "orvex-probe", nullptr, "idVendor",
                                       "2047", nullptr, nullptr));
    const std::string out = bed.rootDir() + "/probe.out";
    ChildProcess cat;
    ChildProcess::Options o;
    o.argv = {"/bin/cat", "/sys/devices/orvex-probe/idVendor"};
    o.env = bed.programEnv(ORVEX_FSTAT_SHIM);
    o.logFile = out;
    if (!cat.start(o, why))
        return false;
    const int rc = cat.waitExit(10000);
    std::ifstream in(out);
    std::stringstream s;
    s << in.rdbuf();
    if (rc == 0 && s.str().rfind("2047", 0) == 0)
        return true;
    *why = "a program under libumockdev-preload does not see the emulated /sys (exit " +
           std::to_string(rc) + "): " + s.str();
    return false;
}

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

class OrvexConfigSystem : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!umockdevWorks(&why)) {
            GTEST_SKIP() << "umockdev cannot run here: " << why;
        }
        std::filesystem::create_directories(outputDir());
        // Socket paths must stay short: the desktop lives in the temporary folder.
        ASSERT_TRUE(desktop.start(std::filesystem::temp_directory_path().string(), &why)) << why;
        bed = std::make_unique<Testbed>();
        keypad = std::make_unique<HidrawKeypad>(*bed);
    }

    void TearDown() override {
        if (HasFailure() && app) {
            app->screenshot("failure");
            std::cerr << app->describe();
        }
        app.reset();
        keypad.reset();
        bed.reset();
        desktop.stop();
    }

    // Starts orvex-config and waits for its main window (start-up messages
    // must be answered by the caller when `window` is false).
    void launch(bool waitForWindow = true, bool withoutFileOverride = false) {
        OrvexApp::Options o;
        o.program = ORVEX_CONFIG_PROGRAM;
        o.fstatShim = ORVEX_FSTAT_SHIM;
        o.outputDir = outputDir();
        o.withoutFileOverride = withoutFileOverride;
        app = std::make_unique<OrvexApp>(desktop, *bed, o);
        std::string why;
        ASSERT_TRUE(app->start(&why)) << why;
        if (waitForWindow) {
            ASSERT_TRUE(app->waitForMainWindow(25s)) << app->describe();
        }
    }

    // Puts settings into the keypad as its power-up settings (a plug-in is a
    // power-up).
    void keypadHolds(const KeypadSettings& s) {
        keypad->model.setPowerUp(s);
        keypad->model.setRunning(s);
    }

    DesktopSession desktop;
    std::unique_ptr<Testbed> bed;
    std::unique_ptr<HidrawKeypad> keypad;
    std::unique_ptr<OrvexApp> app;
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
    ASSERT_TRUE(OrvexApp::waitUntil([&] { return app->text("richTextBox1") != ""; }, 10s));

    EXPECT_EQ(app->text("richTextBox1"),
              connectedPanel("3.14", "8Way Keypad", "Alternate   Table", "SYS000777001"));
    EXPECT_EQ(app->text("keypadTypeCbox"), "Alternate   Table");
    EXPECT_EQ(app->text("ledBrightnessCbox"), "LED Brightness - 7");
    EXPECT_EQ(app->text("ledColourCbox"), "JACK LED Brightness - 2");
    EXPECT_EQ(app->text("buzzerCbox"), "Buzzer - Off");
    EXPECT_EQ(app->text("buzzerPeriodCbox"), "Buzzer Period -5");
    EXPECT_TRUE(app->enabled("button8"));
    EXPECT_TRUE(app->enabled("button9"));
    EXPECT_EQ(app->text("statusStrip1"), "");
    app->screenshot("connected");

    EXPECT_EQ(commands(keypad->model), std::vector<uint8_t>{1});
    EXPECT_EQ(keypad->opens(1), 1);
    EXPECT_EQ(keypad->opens(0), 0) << "the keyboard interface must not be opened";
    EXPECT_EQ(keypad->keyboardWrites(), 0);
    EXPECT_FALSE(app->waitForMessage(0ms).has_value());
}

} // namespace
