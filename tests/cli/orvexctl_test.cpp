// orvexctl against the virtual keypad: what the keypad received and holds,
// what the tool prints, and its exit codes.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "bsl/device_notifier.h"
#include "cli/orvexctl.h"
#include "config/ini_file.h"
#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"
#include "firmware/standin_images.h"
#include "firmware/upgrade_sequence.h"
#include "ops/change_lock.h"
#include "ops/upgrade_journal.h"
#include "test_env.h"
#include "virtual_loader.h"

using namespace orvex;
using namespace orvex::cli;
namespace fs = std::filesystem;

namespace {

class OrvexctlTest : public test::VirtualEnvTest {
protected:
    void SetUp() override {
        VirtualEnvTest::SetUp();
        home = fs::temp_directory_path() /
               ("orvexctl-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home);
        fs::create_directories(home);
        keypad = plugKeypad();
    }
    void TearDown() override {
        fs::remove_all(home);
        VirtualEnvTest::TearDown();
    }
    int run(std::vector<std::string> args) {
        out.str("");
        err.str("");
        return cli::Run(args, out, err, home.string());
    }
    std::vector<uint8_t> commands() const {
        std::vector<uint8_t> c;
        for (const auto& r : keypad->model.log())
            c.push_back(r.command);
        return c;
    }
    std::string configFile() const {
        return (home / "HaldenInterface" / "USBOrvexIllumUtilityCfg.ini").string();
    }

    fs::path home;
    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::ostringstream out, err;
};

} // namespace

TEST_F(OrvexctlTest, StatusPrintsEveryFieldAndJson) {
    keypad->model.setSerial("AB\"C\\12345678");
    ASSERT_EQ(run({"status"}), EXIT_OK);
    EXPECT_NE(out.str().find("led-brightness: 5\n"), std::string::npos);
    EXPECT_NE(out.str().find("firmware-version: 2.7\n"), std::string::npos);
    EXPECT_NE(out.str().find("key-codes: 00:6A 00:6B"), std::string::npos);

    ASSERT_EQ(run({"status", "--json"}), EXIT_OK);
    const std::string j = out.str();
    EXPECT_EQ(j.front(), '{');
    EXPECT_EQ(j.substr(j.size() - 2), "}\n");
    EXPECT_NE(j.find("\"keypad_type\":0,\"keypad_type_name\":\"default\",\"keys\":10,"),
              std::string::npos);
    EXPECT_NE(j.find("\"buzzer\":true,"), std::string::npos);
    EXPECT_NE(j.find("\"key_codes\":[0,106,0,107,"), std::string::npos);
    // Quotes and backslashes in the serial number stay valid JSON.
    EXPECT_NE(j.find("\"serial_number\":\"AB\\\"C\\\\1234567\""), std::string::npos);
    EXPECT_EQ(commands(), (std::vector<uint8_t>{GetStatus, GetStatus}));
}

TEST_F(OrvexctlTest, SetSendsEachSettingWithItsRange) {
    EXPECT_EQ(run({"set", "led", "7"}), EXIT_OK);
    EXPECT_EQ(run({"set", "jack-led", "0"}), EXIT_OK);
    EXPECT_EQ(run({"set", "buzzer", "off"}), EXIT_OK);
    EXPECT_EQ(run({"set", "buzzer-period", "1"}), EXIT_OK);
    EXPECT_EQ(run({"set", "table", "alternate"}), EXIT_OK);
    const auto held = keypad->model.running();
    EXPECT_EQ(held.ledBrightness, 7);
    EXPECT_EQ(held.jackLedBrightness, 0);
    EXPECT_EQ(held.buzzer, 0);
    EXPECT_EQ(held.buzzerPeriod, 1);
    EXPECT_EQ(held.keypadType, 1);
}

TEST_F(OrvexctlTest, BadArgumentsNeverReachTheKeypad) {
    const std::vector<std::vector<std::string>> bad = {
        {"set", "led", "10"},
        {"set", "led", "-1"},
        {"set", "led", "5x"},
        {"set", "buzzer-period", "0"},
        {"set", "table", "3"},
        {"set", "volume", "1"},
        {"set", "led"},
        {"status", "--xml"},
        {"table", "set", "E9:04"},
        {"table", "set", "00:4"},
        {"table", "frob"},
        {"frobnicate"},
        {"export"},
        {"save", "now"},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(run(args), EXIT_USAGE) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_FALSE(err.str().empty());
        EXPECT_EQ(err.str().find('\n'), err.str().size() - 1) << "one line: " << err.str();
    }
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(run({}), EXIT_USAGE);
}

// An invalid value is refused with the values that are valid, on one line.
TEST_F(OrvexctlTest, InvalidValuesListTheValidOnes) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"set", "led", "x"}, "set led: 'x' is not valid (valid: 0 to 9)"},
        {{"set", "buzzer", "ON"}, "set buzzer: 'ON' is not valid (valid: on, off, 1, 0)"},
        {{"set", "buzzer-period", "10"}, "(valid: 1 to 9)"},
        {{"set", "table", "Customise"},
         "set table: 'Customise' is not valid (valid: default, alternate, customise, or 0 to 2)"},
        {{"set", "volume", "1"}, "(valid: led, jack-led, buzzer, buzzer-period, table)"},
        {{"frobnicate"}, "(commands: diagnose, export, factory-reset, flash, import, list, "},
        {{"--frob"}, "unknown option '--frob'"},
    };
    for (const auto& [args, text] : cases) {
        EXPECT_EQ(run(args), EXIT_USAGE);
        EXPECT_NE(err.str().find(text), std::string::npos) << err.str();
    }
    EXPECT_TRUE(keypad->model.log().empty());
}

TEST_F(OrvexctlTest, HelpForToolAndEachCommand) {
    EXPECT_EQ(run({"--version"}), EXIT_OK);
    EXPECT_EQ(out.str(), "orvexctl-virtual " ORVEX_PROGRAM_VERSION "\n");
    EXPECT_EQ(run({"--help"}), EXIT_OK);
    EXPECT_NE(out.str().find("exit codes"), std::string::npos);
    for (const char* cmd : {"status", "set", "save", "restore", "export", "import", "table",
                            "factory-reset", "flash", "list", "diagnose"}) {
        EXPECT_EQ(run({cmd, "--help"}), EXIT_OK) << cmd;
        EXPECT_EQ(out.str().rfind(std::string("usage: orvexctl ") + cmd, 0), 0u) << cmd;
    }
    EXPECT_TRUE(keypad->model.log().empty());
}

TEST_F(OrvexctlTest, DistinctCodesForMissingAndRefusingKeypads) {
    keypad->model.injectFault({sim::Fault::Refuse});
    EXPECT_EQ(run({"set", "led", "3"}), EXIT_REFUSED);
    EXPECT_NE(err.str().find("refused"), std::string::npos);

    sim::VirtualBus::instance().unplug(keypad);
    EXPECT_EQ(run({"status"}), EXIT_NO_KEYPAD);
    EXPECT_EQ(err.str(), "orvexctl: no keypad found (USB 2047:09bf)\n");

    keypad->openFails = true;
    sim::VirtualBus::instance().plug(keypad);
    EXPECT_EQ(run({"status"}), EXIT_NO_KEYPAD);
    EXPECT_NE(err.str().find("permission"), std::string::npos);
}

TEST_F(OrvexctlTest, SaveThenRestoreBringsSettingsBackAfterChanges) {
    ASSERT_EQ(run({"set", "led", "8"}), EXIT_OK);
    ASSERT_EQ(run({"set", "buzzer-period", "3"}), EXIT_OK);
    ASSERT_EQ(run({"save"}), EXIT_OK);
    EXPECT_EQ(GetSettings("LedBrightness", configFile()), "8");
    EXPECT_EQ(GetSettings("BuzzerPeriod", configFile()), "2");
    EXPECT_EQ(keypad->model.powerUp().ledBrightness, 8);

    ASSERT_EQ(run({"set", "led", "1"}), EXIT_OK);
    keypad->model.clearLog();
    ASSERT_EQ(run({"restore"}), EXIT_OK) << err.str();
    EXPECT_EQ(keypad->model.running().ledBrightness, 8);
    EXPECT_EQ(keypad->model.running().buzzerPeriod, 3);
    // The serial number read first, so the keypad back from the restart can
    // be told from one swapped in on its port.
    const auto c = commands();
    ASSERT_GE(c.size(), 4u);
    EXPECT_EQ(c[0], GetStatus);
    EXPECT_EQ(c[1], SetOptions);
    EXPECT_EQ(c[2], FactoryReset);
    EXPECT_EQ(c[3], GetStatus);
    EXPECT_EQ(c.back(), WriteDefaults);
}

TEST_F(OrvexctlTest, RestoreOfMalformedOrUnsavedFileSendsNothing) {
    ASSERT_EQ(run({"restore"}), EXIT_FILE); // fresh file: FirstUp empty
    EXPECT_NE(err.str().find("holds no saved settings"), std::string::npos);
    ASSERT_EQ(run({"save"}), EXIT_OK);
    ASSERT_TRUE(SetSettings("LedBrightness", "bright"));
    keypad->model.clearLog();
    EXPECT_EQ(run({"restore"}), EXIT_FILE); // readable, but not what restore wants
    EXPECT_NE(err.str().find("LedBrightness"), std::string::npos);
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(run({"restore", (home / "missing.ini").string()}), EXIT_FILE);
}

TEST_F(OrvexctlTest, ExportAndImportCloneSettingsOntoAnotherKeypad) {
    ASSERT_EQ(run({"set", "jack-led", "9"}), EXIT_OK);
    ASSERT_EQ(run({"save"}), EXIT_OK);
    const fs::path share = home / "share";
    fs::create_directories(share);
    ASSERT_EQ(run({"export", share.string()}), EXIT_OK);
    const std::string copy = (share / "USBUtilityIllumCfg.ini").string();
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_EQ(run({"export", share.string()}), EXIT_FILE); // no silent overwrite
    EXPECT_EQ(run({"export", share.string(), "--force"}), EXIT_OK);

    // Another keypad, another user's folder.
    sim::VirtualBus::instance().unplug(keypad);
    keypad = plugKeypad();
    const fs::path otherHome = home / "other";
    out.str("");
    err.str("");
    ASSERT_EQ(cli::Run({"import", copy}, out, err, otherHome.string()), EXIT_OK) << err.str();
    EXPECT_EQ(keypad->model.powerUp().jackLedBrightness, 9);
    EXPECT_EQ(GetSettings("LedColour",
                          (otherHome / "HaldenInterface" / "USBOrvexIllumUtilityCfg.ini").string()),
              "9");
}

// A link at the export target, even one pointing nowhere, is an existing
// file: kept without --force, replaced itself (never written through) with it.
// Import takes a backup of any name but only one holding saved settings.
TEST_F(OrvexctlTest, ExportKeepsLinksAndImportNeedsSavedSettings) {
    ASSERT_EQ(run({"save"}), EXIT_OK);
    const fs::path share = home / "share";
    fs::create_directories(share);
    const fs::path target = share / "USBUtilityIllumCfg.ini";
    const fs::path pointee = home / "pointee";
    fs::create_symlink(pointee, target);
    EXPECT_EQ(run({"export", share.string()}), EXIT_FILE);
    EXPECT_NE(err.str().find("already exists"), std::string::npos);
    EXPECT_FALSE(fs::exists(pointee));
    ASSERT_EQ(run({"export", share.string(), "--force"}), EXIT_OK) << err.str();
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_FALSE(fs::exists(pointee));
    EXPECT_EQ(GetSettings("FirstUp", target.string()), "Yes");

    // Any name will do; it becomes the configuration file under its own name.
    const fs::path backup = home / "keypad-backup-2024.ini";
    fs::rename(target, backup);
    ASSERT_TRUE(CIniFile::SetValue("LedBrightness", "1", "appSettings", backup.string()));
    keypad->model.clearLog();
    ASSERT_EQ(run({"import", backup.string()}), EXIT_OK) << err.str();
    EXPECT_EQ(keypad->model.powerUp().ledBrightness, 1);
    EXPECT_EQ(GetSettings("LedBrightness", configFile()), "1");

    // Without saved settings: an error, nothing sent, the saved file kept.
    const std::string before = GetSettings("SerialNumber", configFile());
    ASSERT_TRUE(CIniFile::SetValue("FirstUp", "", "appSettings", backup.string()));
    keypad->model.clearLog();
    EXPECT_EQ(run({"import", backup.string()}), EXIT_FILE);
    EXPECT_NE(err.str().find("holds no saved settings"), std::string::npos);
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_EQ(GetSettings("FirstUp", configFile()), "Yes");
    EXPECT_EQ(GetSettings("SerialNumber", configFile()), before);
    EXPECT_EQ(run({"import", (home / "missing.ini").string()}), EXIT_FILE);
}

TEST_F(OrvexctlTest, TableGetAndSetUseTheEditorsByteLayout) {
    ASSERT_EQ(run({"table", "get"}), EXIT_OK);
    EXPECT_EQ(out.str().substr(0, 12), "00:6A 00:6B ");
    // Not a customised table yet.
    EXPECT_EQ(run({"table", "set", "00:04"}), EXIT_REFUSED);

    ASSERT_EQ(run({"set", "table", "customise"}), EXIT_OK);
    EXPECT_EQ(run({"table", "set", "00:04", "00:05"}), EXIT_USAGE); // 2 pairs for 10 keys
    std::string pairs = "E0:28";
    for (int k = 1; k < 10; ++k)
        pairs += " 00:" + std::string(k < 10 ? "0" : "") + std::to_string(k);
    keypad->model.clearLog();
    ASSERT_EQ(run({"table", "set", pairs}), EXIT_OK) << err.str();
    const auto log = keypad->model.log();
    ASSERT_EQ(log.back().command, LoadCodeTable);
    ASSERT_EQ(log.back().payload.size(), 20u);
    EXPECT_EQ(log.back().payload[0], 0xE0);
    EXPECT_EQ(log.back().payload[1], 0x28);
    ASSERT_EQ(run({"table", "get"}), EXIT_OK);
    EXPECT_EQ(out.str().substr(0, 12), "E0:28 00:01 ");

    // The 12-key layout: 12 pairs sent as 32 bytes, padded with zeros.
    ASSERT_TRUE(RescanForDevice());
    ASSERT_EQ(SendDeviceCommandByte(SetKeypadType, 5), LINK_OK);
    std::string twelve;
    for (int k = 0; k < 12; ++k)
        twelve += "00:1E ";
    ASSERT_EQ(run({"table", "set", twelve}), EXIT_OK) << err.str();
    const auto sent = keypad->model.log().back().payload;
    ASSERT_EQ(sent.size(), 32u);
    EXPECT_EQ(sent[23], 0x1E);
    EXPECT_EQ(sent[24], 0);
}

TEST_F(OrvexctlTest, FactoryResetWaitsForTheKeypad) {
    ASSERT_EQ(run({"set", "led", "2"}), EXIT_OK);
    ASSERT_EQ(run({"factory-reset"}), EXIT_OK) << err.str();
    EXPECT_EQ(keypad->model.running(), sim::KeypadModel::factorySettings());

    keypad->model.setRestartDelayMs(10000);
    EXPECT_EQ(run({"factory-reset"}), EXIT_NO_KEYPAD);
    EXPECT_NE(err.str().find("did not come back"), std::string::npos);
}

TEST_F(OrvexctlTest, ListShowsKeypadsOnceAndNothingIsAnError) {
    ASSERT_EQ(run({"list"}), EXIT_OK);
    const std::string listed = out.str();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 1);
    EXPECT_EQ(listed.rfind("keypad\t2047:09bf\t", 0), 0u);

    sim::VirtualBus::instance().unplug(keypad);
    EXPECT_EQ(run({"list"}), EXIT_NO_KEYPAD);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "orvexctl: list: no keypad or loader present\n");
}

TEST_F(OrvexctlTest, SeveralKeypadsListedAndPickedBySerialOrPath) {
    keypad->model.setSerial("OVX-A");
    auto second = plugKeypad();
    second->model.setSerial("OVX-B");
    ASSERT_EQ(run({"list"}), EXIT_OK);
    EXPECT_EQ(out.str(), "keypad\t2047:09bf\tsim:1:1\tOrvex Illuminated Keypad\tserial "
                         "OVX-A\tfirmware 2.7\n"
                         "keypad\t2047:09bf\tsim:2:1\tOrvex Illuminated Keypad\tserial "
                         "OVX-B\tfirmware 2.7\n");

    ASSERT_EQ(run({"--serial", "OVX-B", "set", "led", "4"}), EXIT_OK) << err.str();
    ASSERT_EQ(run({"set", "jack-led", "1", "--path", "sim:1:1"}), EXIT_OK) << err.str();
    EXPECT_EQ(second->model.running().ledBrightness, 4);
    EXPECT_EQ(second->model.running().jackLedBrightness, 5);
    EXPECT_EQ(keypad->model.running().ledBrightness, 5);
    EXPECT_EQ(keypad->model.running().jackLedBrightness, 1);

    for (const auto& pick : {std::vector<std::string>{"--serial", "OVX-C"},
                             std::vector<std::string>{"--path", "sim:1:0"}}) {
        auto args = pick;
        args.insert(args.end(), {"set", "led", "0"});
        EXPECT_EQ(run(args), EXIT_NO_KEYPAD);
        EXPECT_EQ(err.str().find('\n'), err.str().size() - 1) << "one line: " << err.str();
    }
    EXPECT_NE(keypad->model.running().ledBrightness, 0);
    EXPECT_NE(second->model.running().ledBrightness, 0);

    // What restarts or overwrites a keypad wants it named when there are
    // two; reading takes the first. Neither hears more than its status.
    ASSERT_EQ(run({"save"}), EXIT_OK) << err.str();
    keypad->model.clearLog();
    second->model.clearLog();
    const auto paths = KeypadCommandPaths();
    ASSERT_EQ(paths.size(), 2u);
    const std::string listing =
        "--serial or --path:\n  " + paths[0] + "\tserial OVX-A\n  " + paths[1] + "\tserial OVX-B\n";
    for (const auto& args : {std::vector<std::string>{"restore"},
                             {"import", configFile()},
                             {"factory-reset"},
                             {"flash", ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt"}}) {
        EXPECT_EQ(run(args), EXIT_USAGE) << args[0];
        EXPECT_NE(err.str().find("more than one keypad is attached"), std::string::npos)
            << err.str();
        EXPECT_NE(err.str().find(listing), std::string::npos) << err.str();
    }
    for (const auto& k : {keypad, second})
        for (const auto& c : k->model.log())
            EXPECT_EQ(c.command, GetStatus);
    ASSERT_EQ(run({"status"}), EXIT_OK);
    EXPECT_NE(out.str().find("serial-number: OVX-A"), std::string::npos);

    // Two keypads reporting one serial number cannot be told apart by it.
    second->model.setSerial("OVX-A");
    EXPECT_EQ(run({"--serial", "OVX-A", "set", "led", "0"}), EXIT_USAGE);
    EXPECT_NE(err.str().find("more than one keypad reports serial number OVX-A; name the one "
                             "to use with --path"),
              std::string::npos)
        << err.str();
    EXPECT_NE(keypad->model.running().ledBrightness, 0);
    EXPECT_NE(second->model.running().ledBrightness, 0);
}

// The report with a keypad, with one it cannot open and with none; it reads
// the status and nothing else, and never creates the configuration file.
TEST_F(OrvexctlTest, DiagnoseReportsWithoutChangingAnything) {
    ASSERT_EQ(run({"diagnose", "--mask-serial"}), EXIT_OK) << err.str();
    std::string report = out.str();
    EXPECT_NE(report.find("keypad 2047:09bf interface 1: sim:1:1\n"), std::string::npos);
    EXPECT_NE(report.find("    firmware-version: 2.7\n    serial-number: XXXXXXXXXXXX\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("trace of the status read:\n    {\"n\":1,"), std::string::npos);
    EXPECT_NE(report.find("\"ev\":\"read\""), std::string::npos);
    EXPECT_EQ(report.find("OVX"), std::string::npos);
    EXPECT_EQ(report.find("4f5658"), std::string::npos); // nor in the report bytes
    EXPECT_NE(report.find(configFile() + "\n    missing"), std::string::npos);
    EXPECT_FALSE(fs::exists(configFile()));
    EXPECT_EQ(commands(), std::vector<uint8_t>{GetStatus});

    keypad->openFails = true;
    const std::string file = (home / "report.txt").string();
    ASSERT_EQ(run({"diagnose", "--output", file}), EXIT_OK);
    std::ifstream in(file);
    report.assign(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(report.find("sim:1:1\n"), std::string::npos);
    EXPECT_NE(report.find("    failed: keypad found but it cannot be opened (no permission"),
              std::string::npos)
        << report;

    sim::VirtualBus::instance().unplug(keypad);
    ASSERT_EQ(run({"diagnose"}), EXIT_OK);
    EXPECT_NE(out.str().find("no keypad (2047:09bf) or loader (2047:0200) present\n"),
              std::string::npos);
    EXPECT_NE(out.str().find("    failed: no keypad found"), std::string::npos);
    EXPECT_EQ(commands(), std::vector<uint8_t>{GetStatus});

    // Masked, the unfinished upgrade's keypad and the --serial asked for too.
    firmware::UpgradeJournal journal;
    journal.settings.serialNumber = "OVXJJJJJJJJJ";
    journal.program = "orvexctl";
    std::string error;
    ASSERT_TRUE(firmware::WriteUpgradeJournal(journal, error)) << error;
    ASSERT_EQ(run({"diagnose"}), EXIT_OK);
    EXPECT_NE(out.str().find("OVXJJJJJJJJJ"), std::string::npos); // shown unmasked
    ASSERT_EQ(run({"--serial=OVXASKED0001", "diagnose", "--mask-serial"}), EXIT_OK);
    EXPECT_EQ(out.str().find("OVXJJJJJJJJJ"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("OVXASKED0001"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("unfinished upgrade: "), std::string::npos);
}

namespace {

class OrvexctlFlashTest : public OrvexctlTest {
protected:
    void SetUp() override {
        OrvexctlTest::SetUp();
        loader = sim::attachLoader(keypad);
        firmware::UseBuiltInLoaderImages(firmware::StandInLoaderImages());
    }
    void TearDown() override {
        firmware::UseBuiltInLoaderImages(std::nullopt);
        OrvexctlTest::TearDown();
    }
    // The real-keypad programs' way: the loader images from the data folders.
    fs::path loaderFolder() {
        firmware::UseBuiltInLoaderImages(std::nullopt);
        const fs::path dir = home / "HaldenInterface" / "loader";
        fs::create_directories(dir);
        std::string ram(firmware::StandInLoaderResource("RAM_BSL.Text"));
        ram.replace(ram.find("4F 72 76 65 78"), 14, "54 45 53 54 21"); // not the stand-in
        std::ofstream(dir / "RAM_BSL.Text", std::ios::binary) << ram;
        std::ofstream(dir / "RAM_BSL_VERSION") << "00.06.05.34\n";
        return dir;
    }
    // Nothing reached the loader: no EnterBootloader, the flash as it was.
    void expectKeypadUntouched(const std::vector<uint8_t>& flash) {
        for (const auto& r : keypad->model.log())
            EXPECT_NE(r.command, EnterBootloader);
        EXPECT_EQ(loader->model.totalReports(), 0);
        EXPECT_TRUE(loader->model.memory(0, sim::LoaderModel::kMemorySize) == flash);
    }
    std::shared_ptr<sim::VirtualLoader> loader;
    const std::string image = ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt";
};

} // namespace

TEST_F(OrvexctlFlashTest, UpgradeKeepsTheSettingsAndReportsProgress) {
    ASSERT_EQ(run({"set", "led", "8"}), EXIT_OK);
    ASSERT_EQ(run({"flash", image}), EXIT_OK) << err.str();
    EXPECT_NE(err.str().find("[ 85%] Memory successfully verified\n"), std::string::npos);
    EXPECT_NE(err.str().find("[100%] Done!\n"), std::string::npos);
    ASSERT_EQ(run({"status"}), EXIT_OK);
    EXPECT_NE(out.str().find("firmware-version: 2.9\n"), std::string::npos);
    EXPECT_NE(out.str().find("led-brightness: 8\n"), std::string::npos);
    EXPECT_EQ(keypad->model.powerUp().ledBrightness, 8);
}

TEST_F(OrvexctlFlashTest, UnusableImageIsRefusedBeforeTheKeypadLeaves) {
    const fs::path bad = home / "bad.txt";
    std::ofstream(bad) << "@4400\n01 02 0\nq\n";
    EXPECT_EQ(run({"flash", bad.string()}), EXIT_FILE);
    EXPECT_EQ(run({"flash", (home / "none.txt").string()}), EXIT_FILE);
    EXPECT_EQ(run({"flash", std::string(250, 'x')}), EXIT_USAGE);
    EXPECT_TRUE(keypad->model.log().empty());
    EXPECT_TRUE(sim::VirtualBus::instance().present(keypad));
}

TEST_F(OrvexctlFlashTest, ImageFromAPipeFlashes) {
    // As the shell hands over `<(...)`: a pipe that gives the image once.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        std::ifstream in(image, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::close(fds[1]);
    });
    const int rc = run({"flash", "/dev/fd/" + std::to_string(fds[0])});
    writer.join();
    ::close(fds[0]);
    ASSERT_EQ(rc, EXIT_OK) << err.str();
    EXPECT_EQ(loader->model.imageVersion(), "2.9");
    ASSERT_EQ(run({"status"}), EXIT_OK);
    EXPECT_NE(out.str().find("firmware-version: 2.9\n"), std::string::npos);
}

TEST_F(OrvexctlFlashTest, VerificationFailureHasItsOwnCode) {
    loader->model.injectFault({sim::LoaderFault::WrongCrc});
    EXPECT_EQ(run({"flash", image}), EXIT_VERIFY);
    EXPECT_NE(err.str().find("upgrade failed"), std::string::npos);
    EXPECT_FALSE(sim::VirtualBus::instance().present(keypad));
}

TEST_F(OrvexctlFlashTest, MissingOrStandInRamLoaderIsRefusedBeforeTheKeypadLeaves) {
    const fs::path dir = loaderFolder();
    const auto flash = loader->model.memory(0, sim::LoaderModel::kMemorySize);
    fs::remove(dir / "RAM_BSL.Text");
    EXPECT_EQ(run({"flash", "--allow-mass-erase", image}), EXIT_FILE);
    EXPECT_NE(err.str().find("RAM_BSL.Text was not found"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find(dir.string()), std::string::npos);
    std::ofstream(dir / "RAM_BSL.Text", std::ios::binary)
        << firmware::StandInLoaderResource("RAM_BSL.Text");
    EXPECT_EQ(run({"flash", "--allow-mass-erase", image}), EXIT_FILE);
    EXPECT_NE(err.str().find("the stand-in"), std::string::npos) << err.str();
    expectKeypadUntouched(flash);
}

TEST_F(OrvexctlFlashTest, MassEraseNeedsConsentAndTheKeptPasswordSparesTheNextUpgrade) {
    const fs::path dir = loaderFolder();
    const auto flash = loader->model.memory(0, sim::LoaderModel::kMemorySize);
    EXPECT_EQ(run({"flash", image}), EXIT_USAGE);
    EXPECT_NE(err.str().find("--allow-mass-erase"), std::string::npos);
    expectKeypadUntouched(flash);

    ASSERT_EQ(run({"flash", "--allow-mass-erase", image}), EXIT_OK) << err.str();
    EXPECT_EQ(loader->model.massErases(), 1);
    const std::string serial = keypad->model.serial();
    EXPECT_TRUE(fs::exists(dir / serial / "password.Text"));
    ASSERT_EQ(run({"flash", ORVEX_SAMPLES_DIR "/orvex_fw_2_08.txt"}), EXIT_OK) << err.str();
    EXPECT_EQ(loader->model.massErases(), 1);
    EXPECT_EQ(err.str().find("Mass erase"), std::string::npos);
}

TEST_F(OrvexctlFlashTest, OnlyTheLoaderOnTheKeypadsPortIsProgrammed) {
    // Another MSP430 device's loader, plugged in before the keypad's.
    const auto other = sim::makeLoader();
    sim::VirtualBus::instance().plug(other);
    const auto flash = other->model.memory(0, sim::LoaderModel::kMemorySize);
    ASSERT_EQ(run({"flash", image}), EXIT_OK) << err.str();
    EXPECT_EQ(other->model.totalReports(), 0);
    EXPECT_TRUE(other->model.memory(0, sim::LoaderModel::kMemorySize) == flash);
    EXPECT_EQ(loader->model.imageVersion(), "2.9");
}

// --- operations on the chosen keypad, with consent, finished later ----------------

namespace {

std::vector<uint8_t> codesOf(const std::shared_ptr<sim::VirtualKeypad>& k) {
    std::vector<uint8_t> c;
    for (const auto& r : k->model.log())
        c.push_back(r.command);
    return c;
}

// What a keypad holds, to tell it was not changed.
struct Held {
    sim::KeypadSettings running, powerUp;
    uint8_t options;
    std::string serial, version;
    bool operator==(const Held&) const = default;
};
Held held(const std::shared_ptr<sim::VirtualKeypad>& k) {
    return {k->model.running(), k->model.powerUp(), k->model.options(), k->model.serial(),
            k->model.version()};
}

} // namespace

// With keypads A and B, --serial B restores, imports and flashes B; A hears
// nothing but status reads. B not back after its factory reset is an error,
// and A is not taken in its place.
TEST_F(OrvexctlFlashTest, OnlyTheChosenOfTwoKeypadsIsChanged) {
    keypad->model.setSerial("OVXAAAAAAAAA");
    auto b = plugKeypad();
    auto bLoader = sim::attachLoader(b);
    b->model.setSerial("OVXBBBBBBBBB");
    ASSERT_EQ(run({"--serial", "OVXBBBBBBBBB", "set", "led", "8"}), EXIT_OK);
    ASSERT_EQ(run({"--serial", "OVXBBBBBBBBB", "save"}), EXIT_OK) << err.str();
    ASSERT_EQ(run({"--serial", "OVXBBBBBBBBB", "export", home.string()}), EXIT_OK);
    const Held a = held(keypad);
    keypad->model.clearLog();

    ASSERT_EQ(run({"--serial", "OVXBBBBBBBBB", "set", "led", "1"}), EXIT_OK);
    ASSERT_EQ(run({"--serial", "OVXBBBBBBBBB", "restore"}), EXIT_OK) << err.str();
    EXPECT_EQ(b->model.running().ledBrightness, 8);
    ASSERT_EQ(run({"--serial", "OVXBBBBBBBBB", "import", (home / kExchangeFileName).string()}),
              EXIT_OK)
        << err.str();
    ASSERT_EQ(run({"--serial", "OVXBBBBBBBBB", "flash", image}), EXIT_OK) << err.str();
    EXPECT_EQ(bLoader->model.imageVersion(), "2.9");
    EXPECT_EQ(b->model.version(), "2.9");
    EXPECT_EQ(b->model.serial(), "OVXBBBBBBBBB");
    EXPECT_EQ(b->model.powerUp().ledBrightness, 8);
    EXPECT_EQ(loader->model.totalReports(), 0);

    // B stays away after its factory reset.
    b->model.setRestartDelayMs(60000);
    EXPECT_EQ(run({"--serial", "OVXBBBBBBBBB", "restore"}), EXIT_NO_KEYPAD);
    EXPECT_NE(err.str().find("did not come back"), std::string::npos) << err.str();
    EXPECT_EQ(held(keypad), a);
    for (uint8_t c : codesOf(keypad))
        EXPECT_EQ(c, GetStatus);
}

// A password that is not known to match (a shared password.Text) needs consent
// before the keypad leaves; the password kept afterwards goes to the keypad's
// own folder, and a serial number that differs only in a dot or a space does
// not find it.
TEST_F(OrvexctlFlashTest, OnlyThePasswordKeptForThisKeypadIsSentWithoutConsent) {
    const fs::path dir = loaderFolder();
    std::string wrong = "@FFE0\n";
    for (int i = 0; i < 32; ++i)
        wrong += "12 ";
    wrong += "\nq\n";
    std::ofstream(dir / "password.Text") << wrong;
    keypad->model.setSerial("OVX.00012345");
    const auto flash = loader->model.memory(0, sim::LoaderModel::kMemorySize);
    EXPECT_EQ(run({"flash", image}), EXIT_USAGE);
    EXPECT_NE(err.str().find("not known to match"), std::string::npos) << err.str();
    expectKeypadUntouched(flash);
    EXPECT_FALSE(fs::exists(stateHome / "orvex-config" / "upgrade-journal.json"));

    ASSERT_EQ(run({"flash", "--allow-mass-erase", image}), EXIT_OK) << err.str();
    EXPECT_EQ(loader->model.massErases(), 1);
    EXPECT_TRUE(fs::exists(dir / "OVX%2E00012345" / "password.Text"));
    std::ifstream in(dir / "password.Text");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), wrong) << "shared file written";
    EXPECT_FALSE(fs::exists(stateHome / "orvex-config" / "upgrade-journal.json"));

    // The kept password spares this keypad the question...
    ASSERT_EQ(run({"flash", ORVEX_SAMPLES_DIR "/orvex_fw_2_08.txt"}), EXIT_OK) << err.str();
    EXPECT_EQ(loader->model.massErases(), 1);
    // ...but not one whose serial number only looks alike.
    keypad->model.setSerial("OVX 00012345");
    keypad->model.clearLog();
    EXPECT_EQ(run({"flash", image}), EXIT_USAGE);
    for (uint8_t c : commands())
        EXPECT_NE(c, EnterBootloader);
}

// The keypad left in its loader by an interrupted upgrade, no journal: any
// MSP430 device looks the same, so only --recover programs it, and the
// password of its new image is kept nowhere (its serial number is unknown).
TEST_F(OrvexctlFlashTest, ALoneLoaderIsProgrammedOnlyWhenTheUserSaysSo) {
    const fs::path dir = loaderFolder();
    ASSERT_TRUE(RescanForDevice());
    SendDeviceCommand(EnterBootloader);
    CloseDevice();
    clock.advance(2000);
    const auto flash = loader->model.memory(0, sim::LoaderModel::kMemorySize);
    EXPECT_EQ(run({"flash", "--allow-mass-erase", image}), EXIT_USAGE);
    EXPECT_NE(err.str().find("--recover"), std::string::npos) << err.str();
    EXPECT_EQ(loader->model.totalReports(), 0);
    EXPECT_TRUE(loader->model.memory(0, sim::LoaderModel::kMemorySize) == flash);

    EXPECT_EQ(run({"flash", "--recover", image}), EXIT_USAGE); // the mass erase, unagreed
    EXPECT_EQ(loader->model.totalReports(), 0);
    // Another keypad running meanwhile is never opened by --recover.
    const auto running = plugKeypad();
    running->model.setSerial("OVXAAAAAAAAA");
    const Held runningBefore = held(running);
    EXPECT_EQ(run({"--serial", "OVXAAAAAAAAA", "flash", "--recover", image}), EXIT_USAGE);
    ASSERT_EQ(run({"flash", "--recover", "--allow-mass-erase", image}), EXIT_OK) << err.str();
    EXPECT_NE(err.str().find(firmware::kNotRestoredText), std::string::npos) << err.str();
    EXPECT_EQ(loader->model.imageVersion(), "2.9");
    EXPECT_FALSE(fs::exists(dir / "password.Text"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2) << "only the RAM loader files";
    EXPECT_TRUE(running->model.log().empty());
    EXPECT_EQ(held(running), runningBefore);

    // Two loaders: only the one named with --path is programmed.
    clock.advance(3000);
    for (const auto& path : KeypadCommandPaths()) {
        if (KeypadUsbPort(path) == keypad->port()) {
            ASSERT_TRUE(OpenKeypadAtPath(path));
        }
    }
    ASSERT_EQ(OpenKeypadIdentity().usbPort, keypad->port());
    SendDeviceCommand(EnterBootloader);
    CloseDevice();
    const auto foreign = sim::makeLoader();
    sim::VirtualBus::instance().plug(foreign);
    clock.advance(2000);
    EXPECT_EQ(run({"flash", "--recover", "--allow-mass-erase", image}), EXIT_USAGE);
    EXPECT_NE(err.str().find(firmware::kLoaderNotToldApartText), std::string::npos) << err.str();
    std::string keypadsLoader;
    hid_device_info* list = hid_enumerate(0x2047, 0x0200);
    for (hid_device_info* it = list; it; it = it->next)
        if (bsl::UsbPortOfHidPath(it->path) == keypad->port())
            keypadsLoader = it->path;
    hid_free_enumeration(list);
    ASSERT_FALSE(keypadsLoader.empty());
    ASSERT_EQ(run({"--path", keypadsLoader, "flash", "--recover", "--allow-mass-erase",
                   ORVEX_SAMPLES_DIR "/orvex_fw_2_08.txt"}),
              EXIT_OK)
        << err.str();
    EXPECT_EQ(loader->model.imageVersion(), "2.8");
    EXPECT_EQ(foreign->model.totalReports(), 0);
    EXPECT_TRUE(running->model.log().empty());
}

// The restore after "Done!" interrupted (here: the keypad is not back in
// time) leaves the journal; `resume` sends serial number, options, settings
// and table back from it. The same for a keypad still in its loader.
TEST_F(OrvexctlFlashTest, ResumeFinishesAnInterruptedUpgradeFromTheJournal) {
    auto s = keypad->model.running();
    s.ledBrightness = 8;
    s.keypadType = 2;
    for (size_t i = 0; i < 20; ++i)
        s.customTables[0][i] = static_cast<uint8_t>(i % 2 ? 0x1E + i : 0xE1);
    keypad->model.setRunning(s);
    keypad->model.setPowerUp(s);
    keypad->model.setOptions(7);
    keypad->model.setSerial("OVX000777111");
    const fs::path journal = stateHome / "orvex-config" / "upgrade-journal.json";

    loader->keypadReturnMs = 20000;
    EXPECT_EQ(run({"flash", image}), EXIT_NO_KEYPAD);
    EXPECT_NE(err.str().find("[100%] Done!"), std::string::npos);
    ASSERT_TRUE(fs::exists(journal));
    ASSERT_EQ(run({"diagnose"}), EXIT_OK);
    EXPECT_NE(out.str().find("unfinished upgrade: " + journal.string()), std::string::npos);
    EXPECT_NE(out.str().find("serial number OVX000777111, USB port " + keypad->port()),
              std::string::npos)
        << out.str();
    EXPECT_EQ(run({"flash", image}), EXIT_USAGE); // not over it
    EXPECT_NE(err.str().find("orvexctl resume"), std::string::npos);

    // Back, as new firmware starts: factory settings, serial number and options.
    clock.advance(20000);
    keypad->model.setRunning(sim::KeypadModel::factorySettings());
    keypad->model.setPowerUp(sim::KeypadModel::factorySettings());
    keypad->model.setOptions(0);
    keypad->model.setSerial("OVX000000000");
    ASSERT_EQ(run({"resume"}), EXIT_OK) << err.str();
    EXPECT_EQ(keypad->model.serial(), "OVX000777111");
    EXPECT_EQ(keypad->model.options(), 7);
    EXPECT_EQ(keypad->model.powerUp().ledBrightness, 8);
    EXPECT_EQ(keypad->model.powerUp().keypadType, 2);
    EXPECT_EQ(keypad->model.powerUp().customTables[0], s.customTables[0]);
    EXPECT_FALSE(fs::exists(journal));
    EXPECT_EQ(run({"resume"}), EXIT_USAGE);

    // Failed in the loader: resume needs the image, then finishes.
    loader->keypadReturnMs = 1200;
    loader->model.injectFault({sim::LoaderFault::WrongCrc});
    EXPECT_EQ(run({"flash", ORVEX_SAMPLES_DIR "/orvex_fw_2_08.txt"}), EXIT_VERIFY);
    ASSERT_TRUE(fs::exists(journal));
    EXPECT_EQ(run({"resume"}), EXIT_USAGE);
    EXPECT_NE(err.str().find("still in its loader"), std::string::npos) << err.str();
    keypad->model.setSerial("OVX000000000");
    EXPECT_EQ(run({"resume", image}), EXIT_USAGE); // a loader this run did not send it to
    EXPECT_NE(err.str().find("--recover"), std::string::npos) << err.str();
    ASSERT_EQ(run({"resume", "--recover", image}), EXIT_OK) << err.str();
    EXPECT_NE(err.str().find("not the image of the interrupted upgrade"), std::string::npos);
    EXPECT_EQ(loader->model.imageVersion(), "2.9");
    EXPECT_EQ(keypad->model.serial(), "OVX000777111");
    EXPECT_FALSE(fs::exists(journal));
}

// The settings of an unfinished upgrade go only to the keypad that was
// upgraded: one reporting its serial number, or as new firmware starts. Any
// other keypad, on the journal's port or named by mistake, hears nothing but
// a status read unless the user insists.
TEST_F(OrvexctlFlashTest, ResumeSendsTheSettingsOnlyToTheUpgradedKeypad) {
    keypad->model.setSerial("OVXCCCCCCCCC");
    keypad->model.setOptions(5);
    firmware::UpgradeJournal journal;
    journal.settings.captured = true;
    journal.settings.led_brightness = 9;
    journal.settings.no_of_keys = 7;
    journal.settings.serialNumber = "OVXJJJJJJJJJ";
    journal.settings.usbPort = keypad->port();
    journal.program = "orvex-config";
    journal.downloadStarted = true;
    std::string error;
    ASSERT_TRUE(firmware::WriteUpgradeJournal(journal, error)) << error;
    const auto other = plugKeypad();
    other->model.setSerial("OVXBBBBBBBBB");
    const Held before = held(keypad), otherBefore = held(other);

    EXPECT_EQ(run({"resume"}), EXIT_USAGE);
    EXPECT_NE(err.str().find("USB port " + keypad->port() +
                             " reports serial number OVXCCCCCCCCC (options 5), but the "
                             "unfinished upgrade was of the keypad with serial number "
                             "OVXJJJJJJJJJ; nothing was sent"),
              std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find("--force"), std::string::npos);
    EXPECT_EQ(run({"--serial", "OVXBBBBBBBBB", "resume"}), EXIT_USAGE);
    EXPECT_EQ(held(keypad), before);
    EXPECT_EQ(held(other), otherBefore);
    for (const auto& k : {keypad, other})
        for (uint8_t c : codesOf(k))
            EXPECT_EQ(c, GetStatus);
    EXPECT_TRUE(fs::exists(firmware::UpgradeJournalPath()));

    // Its own serial number: the restore was cut off after sending it.
    keypad->model.setSerial("OVXJJJJJJJJJ");
    ASSERT_EQ(run({"resume"}), EXIT_OK) << err.str();
    EXPECT_EQ(keypad->model.options(), 7);
    EXPECT_EQ(keypad->model.powerUp().ledBrightness, 9);
    EXPECT_FALSE(fs::exists(firmware::UpgradeJournalPath()));

    // Told to, it overwrites the keypad it finds.
    ASSERT_TRUE(firmware::WriteUpgradeJournal(journal, error)) << error;
    keypad->model.setSerial("OVXCCCCCCCCC");
    ASSERT_EQ(run({"resume", "--force"}), EXIT_OK) << err.str();
    EXPECT_EQ(keypad->model.serial(), "OVXJJJJJJJJJ");
    EXPECT_EQ(held(other), otherBefore);
}

// Where a keypad's USB port cannot be told, it could not be told from another
// keypad once it restarts: nothing that restarts it is sent while another is
// attached.
TEST_F(OrvexctlFlashTest, NoRestartOfAKeypadThatCouldNotBeFoundAgain) {
    keypad->usbPort.clear();
    keypad->model.setSerial("OVXAAAAAAAAA");
    ASSERT_EQ(run({"save"}), EXIT_OK) << err.str();
    const auto other = plugKeypad();
    other->model.setSerial("OVXBBBBBBBBB");
    keypad->model.clearLog();
    const Held before = held(keypad);
    for (const auto& args :
         {std::vector<std::string>{"factory-reset"}, {"restore"}, {"flash", image}}) {
        auto named = args;
        named.insert(named.begin(), {"--serial", "OVXAAAAAAAAA"});
        EXPECT_EQ(run(named), EXIT_USAGE) << args[0];
        EXPECT_NE(err.str().find("could not be told apart"), std::string::npos) << err.str();
    }
    for (uint8_t c : codesOf(keypad))
        EXPECT_EQ(c, GetStatus);
    EXPECT_EQ(held(keypad), before);
    for (uint8_t c : codesOf(other))
        EXPECT_EQ(c, GetStatus);

    // Alone, it is found again all the same.
    sim::VirtualBus::instance().unplug(other);
    ASSERT_EQ(run({"factory-reset"}), EXIT_OK) << err.str();
}

// A running keypad whose status cannot be read is not sent to its loader
// unless the user does without the restore; another upgrade holding the
// lock stops this one before anything is sent.
TEST_F(OrvexctlFlashTest, NoUpgradeWithoutTheStatusOrWhileAnotherRuns) {
    keypad->model.injectFault({sim::Fault::Silence});
    EXPECT_EQ(run({"flash", image}), EXIT_REFUSED);
    EXPECT_NE(err.str().find("--no-restore"), std::string::npos) << err.str();
    EXPECT_EQ(commands(), std::vector<uint8_t>{GetStatus});

    {
        std::string refusal;
        const auto other = firmware::UpgradeLock::Acquire("orvex-config", refusal);
        ASSERT_TRUE(other) << refusal;
        keypad->model.clearLog();
        EXPECT_EQ(run({"flash", image}), EXIT_REFUSED);
        EXPECT_NE(err.str().find("(orvex-config, process " + std::to_string(::getpid()) + ")"),
                  std::string::npos)
            << err.str();
        EXPECT_TRUE(keypad->model.log().empty());
    }

    keypad->model.injectFault({sim::Fault::Silence});
    ASSERT_EQ(run({"flash", "--no-restore", image}), EXIT_OK) << err.str();
    EXPECT_EQ(loader->model.imageVersion(), "2.9");
    EXPECT_EQ(commands(), (std::vector<uint8_t>{GetStatus, EnterBootloader}));
    EXPECT_FALSE(fs::exists(stateHome / "orvex-config" / "upgrade-journal.json"));
}

// Every change holds the one lock: while another holds it nothing is sent and
// the holder is named. --serial and --path naming two keypads change neither.
TEST_F(OrvexctlTest, ChangesWaitForTheOneLockAndTwoNamesForTwoKeypadsAreRefused) {
    ASSERT_EQ(run({"save"}), EXIT_OK) << err.str();
    {
        std::string refusal;
        const auto other = ops::TakeChangeLock("orvex-config", "restore", refusal);
        ASSERT_TRUE(other) << refusal;
        keypad->model.clearLog();
        for (const auto& args : std::vector<std::vector<std::string>>{{"set", "led", "7"},
                                                                      {"save"},
                                                                      {"restore"},
                                                                      {"factory-reset"},
                                                                      {"table", "set", "00:04"}}) {
            EXPECT_EQ(run(args), EXIT_REFUSED) << args[0];
            EXPECT_NE(err.str().find("Another change to a keypad is running (restore, "
                                     "orvex-config, process " +
                                     std::to_string(::getpid()) + ")"),
                      std::string::npos)
                << err.str();
        }
        EXPECT_TRUE(keypad->model.log().empty());
    }
    EXPECT_EQ(run({"set", "led", "7"}), EXIT_OK) << err.str();

    keypad->model.setSerial("OVXAAAAAAAAA");
    const auto other = plugKeypad();
    other->model.setSerial("OVXBBBBBBBBB");
    std::string otherPath;
    for (const auto& path : KeypadCommandPaths())
        if (KeypadUsbPort(path) == other->port())
            otherPath = path;
    ASSERT_FALSE(otherPath.empty());
    keypad->model.clearLog();
    other->model.clearLog();
    EXPECT_EQ(run({"--serial", "OVXAAAAAAAAA", "--path", otherPath, "set", "led", "2"}),
              EXIT_USAGE);
    EXPECT_NE(err.str().find("name two different keypads"), std::string::npos) << err.str();
    for (const auto& k : {keypad, other})
        for (const auto& r : k->model.log())
            EXPECT_EQ(r.command, GetStatus);
    EXPECT_EQ(run({"--serial", "OVXBBBBBBBBB", "--path", otherPath, "set", "led", "2"}), EXIT_OK)
        << err.str();
}
