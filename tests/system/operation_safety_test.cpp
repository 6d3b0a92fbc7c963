// The production orvexctl on the real hidapi and libudev against emulated
// keypads: operations that restart a keypad stay with the keypad chosen, an
// upgrade stopped during its restore is finished from its journal, and a
// second upgrade waits for the first.

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <memory>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "hidraw_keypad.h"
#include "polling.h"

using namespace orvex::systest;
using namespace std::chrono_literals;
using orvex::sim::KeypadModel;
using orvex::sim::KeypadSettings;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSerialA = "SYSAAAAAAAAA";
constexpr const char* kSerialB = "SYSBBBBBBBBB";

std::string slurp(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// What a keypad holds and what it heard.
struct Held {
    KeypadSettings running, powerUp;
    uint8_t options;
    std::string serial, version;
    bool operator==(const Held&) const = default;
};

class OperationSafety : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!UmockdevWorks(ORVEX_FSTAT_SHIM, &why))
            GTEST_SKIP() << "umockdev cannot run here: " << why;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::path(ORVEX_SYSTEM_OUTPUT) /
              (std::string(info->test_suite_name()) + "." + info->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "home");
        fs::create_directories(dir / "run");
        bed = std::make_unique<Testbed>();
        // The loader files orvexctl reads (a RAM loader image of our own).
        const fs::path loader = dir / "home/.local/share/HaldenInterface/loader";
        fs::create_directories(loader);
        std::ofstream(loader / "RAM_BSL.Text")
            << "@2500\n00 06 05 34 3F 40 0A 43 B0 12 00 25 FF 3F 30 41\nq\n";
        std::ofstream(loader / "RAM_BSL_VERSION") << "00.06.05.34\n";
    }
    void TearDown() override {
        keypads.clear();
        bed.reset();
    }

    // A keypad with its loader on USB port 1-(slot+1), settings an upgrade
    // must carry over, and its password placed for it.
    HidrawKeypad& plugKeypad(const std::string& serial, uint8_t led) {
        auto k = std::make_unique<HidrawKeypad>(*bed, static_cast<int>(keypads.size()));
        k->emulateLoader();
        KeypadSettings s = KeypadModel::factorySettings();
        s.ledBrightness = led;
        s.buzzerPeriod = 5;
        s.keypadType = 2;
        for (size_t i = 0; i < 20; ++i)
            s.customTables[0][i] = static_cast<uint8_t>(0x04 + 2 * i + led);
        k->model.setPowerUp(s);
        k->model.setRunning(s);
        k->model.setOptions(6);
        k->model.setSerial(serial);
        k->loader.loadFactoryImage(k->model.version());
        k->plug();
        const fs::path own = dir / "home/.local/share/HaldenInterface/loader" / serial;
        fs::create_directories(own);
        std::ofstream password(own / "password.Text");
        password << "@FFE0\n";
        for (uint8_t b : orvex::sim::LoaderModel::factoryVectors())
            password << std::hex << std::uppercase << std::setw(2) << std::setfill('0') << int(b)
                     << ' ';
        password << "\nq\n";
        keypads.push_back(std::move(k));
        return *keypads.back();
    }

    // As a freshly programmed keypad starts: nothing of what it held.
    static void newFirmwareStartsBlank(HidrawKeypad& k) {
        k.model.setPowerUp(KeypadModel::factorySettings());
        k.model.setRunning(KeypadModel::factorySettings());
        k.model.setOptions(0);
        k.model.setSerial("OVX000000000");
    }

    static Held held(const HidrawKeypad& k) {
        return {k.model.running(), k.model.powerUp(), k.model.options(), k.model.serial(),
                k.model.version()};
    }

    ChildProcess::Options options(const std::vector<std::string>& args, const std::string& log) {
        ChildProcess::Options o;
        o.argv = {ORVEXCTL_PROGRAM};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = bed->programEnv(ORVEX_FSTAT_SHIM);
        o.env["HOME"] = (dir / "home").string();
        o.env["XDG_DATA_HOME"] = (dir / "home/.local/share").string();
        o.env["XDG_STATE_HOME"] = (dir / "home/.local/state").string();
        o.env["XDG_RUNTIME_DIR"] = (dir / "run").string();
        o.env["XDG_DATA_DIRS"] = (dir / "no-system-data").string();
        o.logFile = (dir / log).string();
        fs::remove(o.logFile);
        return o;
    }

    // Runs orvexctl to its end; its exit code, and its output in `output`.
    int orvexctl(const std::vector<std::string>& args, std::string* output) {
        ChildProcess p;
        const auto o = options(args, "orvexctl.log");
        std::string why;
        if (!p.start(o, &why)) {
            ADD_FAILURE() << why;
            return -1;
        }
        const int rc = p.waitExit(60000);
        *output = slurp(o.logFile);
        return rc;
    }

    fs::path journal() const { return dir / "home/.local/state/orvex-config/upgrade-journal.json"; }

    fs::path dir;
    std::unique_ptr<Testbed> bed;
    std::vector<std::unique_ptr<HidrawKeypad>> keypads;
};

} // namespace

// With keypads A and B plugged in, --serial B restores and upgrades B, even
// though its new firmware reports another serial number; A hears nothing but
// status reads. B not back after its factory reset ends the restore with exit
// 3, A untouched.
TEST_F(OperationSafety, OnlyTheChosenOfTwoKeypadsIsRestoredAndUpgraded) {
    HidrawKeypad& a = plugKeypad(kSerialA, 3);
    HidrawKeypad& b = plugKeypad(kSerialB, 7);
    const Held aBefore = held(a);
    const KeypadSettings bSettings = b.model.powerUp();

    std::string output;
    ASSERT_EQ(orvexctl({"--serial", kSerialB, "save"}, &output), 0) << output;
    ASSERT_EQ(orvexctl({"--serial", kSerialB, "restore"}, &output), 0) << output;
    EXPECT_EQ(b.arrivals(), (std::vector<std::string>{"keypad", "keypad"}));

    ChildProcess flash;
    const auto o = options({"--serial", kSerialB, "flash", ORVEX_SAMPLE_FIRMWARE}, "flash.log");
    ASSERT_TRUE(flash.start(o));
    ASSERT_TRUE(waitUntil([&] { return b.arrivals().size() >= 3; }, 20s)); // B in its loader
    newFirmwareStartsBlank(b);
    ASSERT_EQ(flash.waitExit(60000), 0) << slurp(o.logFile);
    EXPECT_EQ(b.model.version(), "2.9");
    EXPECT_EQ(b.model.serial(), kSerialB);
    EXPECT_EQ(b.model.options(), 6);
    EXPECT_EQ(b.model.powerUp().customTables[0], bSettings.customTables[0]);
    EXPECT_EQ(b.model.powerUp().ledBrightness, 7);
    EXPECT_FALSE(fs::exists(journal()));

    b.model.setRestartDelayMs(10000);
    EXPECT_EQ(orvexctl({"--serial", kSerialB, "restore"}, &output), 3) << output;
    EXPECT_NE(output.find("did not come back"), std::string::npos) << output;

    EXPECT_EQ(held(a), aBefore);
    EXPECT_EQ(a.arrivals(), std::vector<std::string>{"keypad"});
    EXPECT_EQ(a.loaderOpens(), 0);
    for (const auto& c : a.model.log())
        EXPECT_EQ(c.command, 1) << "keypad A heard command " << int(c.command);
}

// Ctrl-C in the silent seconds after "Done!": the keypad runs its new
// firmware with nothing of its own, and the journal keeps what it held;
// `orvexctl resume` sends it all back and removes the journal.
TEST_F(OperationSafety, InterruptedRestoreIsFinishedByResume) {
    HidrawKeypad& k = plugKeypad(kSerialA, 8);
    const KeypadSettings before = k.model.powerUp();
    ChildProcess flash;
    const auto o = options({"flash", ORVEX_SAMPLE_FIRMWARE}, "flash.log");
    ASSERT_TRUE(flash.start(o));
    ASSERT_TRUE(waitUntil([&] { return k.arrivals().size() >= 2; }, 20s));
    newFirmwareStartsBlank(k);
    ASSERT_TRUE(waitUntil([&] { return slurp(o.logFile).find("Done!") != std::string::npos; }, 40s))
        << slurp(o.logFile);
    ::kill(flash.pid(), SIGINT);
    EXPECT_EQ(flash.waitExit(10000), 128 + SIGINT) << slurp(o.logFile);
    ASSERT_TRUE(fs::exists(journal()));
    ASSERT_TRUE(waitUntil([&] { return k.arrivals().size() >= 4; }, 10s)); // back, blank
    EXPECT_EQ(k.model.serial(), "OVX000000000");

    std::string output;
    ASSERT_EQ(orvexctl({"resume"}, &output), 0) << output;
    EXPECT_EQ(k.model.serial(), kSerialA);
    EXPECT_EQ(k.model.options(), 6);
    EXPECT_EQ(k.model.powerUp().ledBrightness, 8);
    EXPECT_EQ(k.model.powerUp().buzzerPeriod, before.buzzerPeriod);
    EXPECT_EQ(k.model.powerUp().keypadType, 2);
    EXPECT_EQ(k.model.powerUp().customTables[0], before.customTables[0]);
    EXPECT_EQ(k.model.version(), "2.9");
    EXPECT_FALSE(fs::exists(journal()));
}

// A second upgrade started while one runs is refused at once, naming the
// first, and sends nothing; the first completes.
TEST_F(OperationSafety, ASecondUpgradeIsRefusedWhileOneRuns) {
    HidrawKeypad& k = plugKeypad(kSerialA, 5);
    ChildProcess first;
    const auto o = options({"flash", ORVEX_SAMPLE_FIRMWARE}, "first.log");
    ASSERT_TRUE(first.start(o));
    ASSERT_TRUE(waitUntil([&] { return k.arrivals().size() >= 2; }, 20s));

    std::string output;
    EXPECT_EQ(orvexctl({"flash", "--allow-mass-erase", ORVEX_SAMPLE_FIRMWARE}, &output), 4);
    EXPECT_NE(output.find("Another firmware upgrade is running (orvexctl, process " +
                          std::to_string(first.pid()) + ")"),
              std::string::npos)
        << output;

    ASSERT_EQ(first.waitExit(60000), 0) << slurp(o.logFile);
    EXPECT_EQ(k.loaderOpens(), 2) << "the second upgrade reached the loader";
    EXPECT_EQ(k.loader.massErases(), 0);
    EXPECT_EQ(k.model.version(), "2.9");
    EXPECT_EQ(k.model.serial(), kSerialA);
}
