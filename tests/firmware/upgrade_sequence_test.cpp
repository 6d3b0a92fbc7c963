// The upgrade sequence and the settings restore against the virtual keypad and
// its loader, in virtual time, without a window.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "bsl/bsl430.h"
#include "bsl/bsl_protocol.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "firmware/standin_images.h"
#include "firmware/upgrade_sequence.h"
#include "test_env.h"
#include "upgrade_steps.h"
#include "virtual_loader.h"

namespace orvex::test {
namespace {

using firmware::LoaderIds;
using firmware::LoaderImages;
using firmware::UpgradeSequence;
using sim::LoaderFault;
using sim::VirtualBus;

const std::string kSample208 = ORVEX_SAMPLES_DIR "/orvex_fw_2_08.txt";
const std::string kSample209 = ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt";

struct Step {
    int percent;
    std::string text;
    uint64_t tick;
};

class UpgradeSequenceTest : public VirtualEnvTest {
protected:
    void SetUp() override {
        VirtualEnvTest::SetUp();
        keypad = plugKeypad();
        loader = sim::attachLoader(keypad);
        ASSERT_TRUE(RescanForDevice());
        SendDeviceCommand(EnterBootloader);
    }
    void TearDown() override {
        BSL_close_BSL();
        BSL_closeTI_Text();
        for (const auto& path : temporary)
            std::filesystem::remove_all(path);
        VirtualEnvTest::TearDown();
    }

    bool run(const std::string& path, LoaderImages images = firmware::StandInLoaderImages()) {
        steps.clear();
        sequence = std::make_unique<UpgradeSequence>(
            [this](int percent, const std::string& text) {
                steps.push_back({percent, text, clock.tick_ms()});
            },
            LoaderIds::FromResources(), std::move(images));
        sequence->keepPasswordAs = keepPasswordAs;
        return sequence->Run(path);
    }
    // Sample 2.09 with info memory data from `start` to `end` (exclusive)
    // before it; the file is removed with the test's temporary files.
    std::string withInfoMemory(uint32_t start, uint32_t end) {
        std::ifstream in(kSample209, std::ios::binary);
        std::string image((std::istreambuf_iterator<char>(in)), {});
        char at[16];
        std::snprintf(at, sizeof at, "@%04X\n", start);
        std::string info = at;
        for (uint32_t a = start; a < end; ++a)
            info += "5A" + std::string((a - start) % 16 == 15 || a + 1 == end ? "\n" : " ");
        image.insert(0, info);
        const std::string path = (std::filesystem::temp_directory_path() /
                                  ("orvex_info_image_" + std::to_string(::getpid()) + ".txt"))
                                     .string();
        std::ofstream(path, std::ios::binary) << image;
        temporary.push_back(path);
        return path;
    }
    std::vector<uint32_t> erasedSegments() const {
        std::vector<uint32_t> out;
        for (const auto& c : loader->model.log())
            if (c.command == bsl::CMD_ERASE_SEGMENT)
                out.push_back(c.address);
        return out;
    }
    Steps progress() const {
        Steps out;
        for (const auto& s : steps)
            out.push_back({s.percent, s.text});
        return out;
    }
    uint64_t tickOf(const std::string& text) const {
        for (const auto& s : steps)
            if (s.text == text)
                return s.tick;
        ADD_FAILURE() << "no step " << text;
        return 0;
    }
    int commands(uint8_t code) const {
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

    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::shared_ptr<sim::VirtualLoader> loader;
    std::unique_ptr<UpgradeSequence> sequence;
    std::vector<Step> steps;
    std::string keepPasswordAs;
    std::vector<std::string> temporary;
};

TEST_F(UpgradeSequenceTest, MatchingPasswordErasesDownloadsVerifiesAndBoots) {
    ASSERT_TRUE(run(kSample209));
    Steps expected = StartUpSteps(false);
    append(expected, DownloadSteps(true, kSample209));
    append(expected, VerifiedSteps(sequence->totalProgramTime));
    EXPECT_EQ(progress(), expected);
    EXPECT_FALSE(sequence->massErased);
    EXPECT_EQ(loader->model.massErases(), 0);
    EXPECT_EQ(sequence->bslVersion, "Maker:0x00 CI:0x06 API:0x05 PI:0x34");

    // The erase pass (after the reset vector) comes before any flash write.
    const auto log = loader->model.log();
    const auto firstErase = std::find_if(
        log.begin(), log.end(), [](const auto& c) { return c.command == bsl::CMD_ERASE_SEGMENT; });
    ASSERT_NE(firstErase, log.end());
    EXPECT_EQ(firstErase->address, 0xFFFFu);
    const auto firstFlashWrite = std::find_if(log.begin(), log.end(), [](const auto& c) {
        return c.command == bsl::CMD_RX_DATA_BLOCK_FAST && c.address >= 0x4400;
    });
    const auto lastErase = std::find_if(log.rbegin(), log.rend(), [](const auto& c) {
        return c.command == bsl::CMD_ERASE_SEGMENT;
    });
    EXPECT_GT(commands(bsl::CMD_ERASE_SEGMENT), 4);
    EXPECT_LT(lastErase.base() - 1 - log.begin(), firstFlashWrite - log.begin());

    // Timed from the end of the last one-second wait (before the second
    // initialise) to the end of the verification, in whole seconds.
    const uint64_t lastWait = steps[6].tick;
    ASSERT_EQ(steps[6].percent, 45);
    EXPECT_GE(sequence->startProgramTime, lastWait + 1000);
    EXPECT_LE(sequence->startProgramTime, tickOf("Sending " + kSample209 + "\r\n"));
    EXPECT_GE(sequence->stopProgramTime, tickOf("Memory successfully verified\r\n"));
    EXPECT_LE(sequence->stopProgramTime, tickOf(expected[12].second));
    EXPECT_EQ(sequence->totalProgramTime,
              (sequence->stopProgramTime - sequence->startProgramTime) / 1000);

    EXPECT_FALSE(VirtualBus::instance().present(loader));
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(UpgradeSequenceTest, WrongStoredPasswordMassErasesAndSkipsTheErasePass) {
    loader->model.injectFault({LoaderFault::RefusePassword, 0});
    ASSERT_TRUE(run(kSample208));
    Steps expected = StartUpSteps(true);
    append(expected, DownloadSteps(false, kSample208));
    append(expected, VerifiedSteps(sequence->totalProgramTime));
    EXPECT_EQ(progress(), expected);
    EXPECT_TRUE(sequence->massErased);
    EXPECT_GE(tickOf("Password Sent Successfully\r\n") - tickOf("Mass erase occured!\r\n"), 2000u);
    // Stored, default, then the default again to the RAM loader: a stored one
    // there would have mass-erased a second time and failed.
    EXPECT_EQ(commands(bsl::CMD_RX_PASSWORD), 3);
    EXPECT_EQ(loader->model.massErases(), 1);
    EXPECT_EQ(commands(bsl::CMD_ERASE_SEGMENT), 1); // the reset vector only
    EXPECT_EQ(keypadVersion(), "2.8");
}

TEST_F(UpgradeSequenceTest, FailedStartUpIsRetriedOnceKeepingTheMassErase) {
    // Both passwords refused, then on the retry the blank device takes the
    // default one.
    loader->model.injectFault({LoaderFault::RefusePassword, 0});
    loader->model.injectFault({LoaderFault::RefusePassword, 0});
    ASSERT_TRUE(run(kSample209));
    Steps expected{
        {5, ""}, {5, "Mass erase occured!\r\n"}, {10, "Password FAILED!\r\n"}, kRestarting};
    append(expected, StartUpSteps(true));
    append(expected, DownloadSteps(false, kSample209));
    append(expected, VerifiedSteps(sequence->totalProgramTime));
    EXPECT_EQ(progress(), expected);
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(UpgradeSequenceTest, RamLoaderRefusingThePasswordFailsThenTheRetryUsesTheDefault) {
    // The RAM loader mass-erases and answers once the erase is done; its
    // version is right, so the refused password ends the start-up.
    loader->model.injectFault({LoaderFault::RefusePassword, 1});
    ASSERT_TRUE(run(kSample209));
    Steps expected = StartUpSteps(false);
    expected.push_back({50, "Password FAILED after sending RAM BSL!\r\n"});
    expected.push_back(kRestarting);
    append(expected, StartUpSteps(true));
    append(expected, DownloadSteps(false, kSample209));
    append(expected, VerifiedSteps(sequence->totalProgramTime));
    EXPECT_EQ(progress(), expected);
    EXPECT_EQ(loader->model.massErases(), 2);
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(UpgradeSequenceTest, SecondFailedStartUpEndsTheUpgrade) {
    for (int i = 0; i < 4; ++i)
        loader->model.injectFault({LoaderFault::RefusePassword, 0});
    EXPECT_FALSE(run(kSample209));
    const Steps once{{5, ""}, {5, "Mass erase occured!\r\n"}, {10, "Password FAILED!\r\n"}};
    Steps expected = once;
    expected.push_back(kRestarting);
    append(expected, once);
    EXPECT_EQ(progress(), expected);
    EXPECT_EQ(commands(bsl::CMD_RX_DATA_BLOCK_FAST), 0);
}

TEST_F(UpgradeSequenceTest, WrongRamLoaderVersionFails) {
    LoaderImages images = firmware::StandInLoaderImages();
    const auto at = images.ramLoader.find("00 06 05 34");
    ASSERT_NE(at, std::string::npos);
    images.ramLoader.replace(at, 11, "00 07 05 34");
    EXPECT_FALSE(run(kSample209, images));
    Steps expected = StartUpSteps(false);
    expected.push_back({50, "Failed to read data from RAM BSL\r\n"});
    expected.push_back(kRestarting);
    append(expected, StartUpSteps(false));
    expected.push_back({50, "Failed to read data from RAM BSL\r\n"});
    EXPECT_EQ(progress(), expected);
    // Nothing was erased or written to flash.
    EXPECT_EQ(commands(bsl::CMD_ERASE_SEGMENT), 0);
    EXPECT_EQ(loader->model.imageVersion(), "2.7");
}

TEST_F(UpgradeSequenceTest, VerificationErrorKeepsTheLoaderAndAnotherTryWorks) {
    loader->model.injectFault({LoaderFault::WrongCrc, 1});
    EXPECT_FALSE(run(kSample209));
    Steps expected = StartUpSteps(false);
    append(expected, DownloadSteps(true, kSample209));
    expected.push_back({85, "Memory verification error\r\n"});
    EXPECT_EQ(progress(), expected);
    // No restart into a half-checked image, and none at the next power-up
    // either: its reset vector is blank again.
    EXPECT_TRUE(VirtualBus::instance().present(loader));
    EXPECT_EQ(loader->model.bootTarget(), sim::LoaderModel::Boot::RomLoader);
    EXPECT_NE(sequence->FailureText().find("stays in its loader"), std::string::npos);

    ASSERT_TRUE(run(kSample209));
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(UpgradeSequenceTest, UnusableImagesAreRefusedBeforeTheLoaderHearsAnything) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "orvex_bad_images";
    fs::create_directories(dir);
    const std::string vector = "@FFFE\n00 44\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {vector + "@4400\n0\nq\n", "line 4: not a two-digit byte"},
        {vector + "@4400\n001\nq\n", "line 4: not a two-digit byte"},
        {vector + "@4400\nzz\nq\n", "line 4: not a hexadecimal byte"},
        {vector + "@44G0\n00\nq\n", "line 3: malformed address line"},
        {"00\n" + vector + "q\n", "line 1: data before the first address"},
        {vector + "@100000\n00\nq\n", "line 3: address beyond 20 bits"},
        {"", "missing \"q\""},
        {std::string("\x7f\x45\x4c\x46\x02\x01\x00\x9c", 8), "line 1: not a hexadecimal byte"},
        {vector, "line 3: missing \"q\""},
        {"q\n", "holds no data"},
        {vector + "@4400\n01 02\n@FFFF\n44\nq\n", "line 6: address 0x0FFFF is given twice"},
        {vector + "@2500\n00\nq\n", "line 4: address 0x02500 is outside the keypad's flash"},
        {vector + "@17FF\n00\nq\n", "address 0x017FF is outside"},
        {vector + "@1A00\n00\nq\n", "address 0x01A00 is outside"},
        {vector + "@19FF\n00\nq\n", "address 0x019FF is in info memory A"},
        {"@4400\n00 44\nq\n", "does not program the reset vector"},
        // Images a keypad could not start from: it would never enumerate again.
        {std::string(firmware::StandInLoaderResource("password.Text")),
         "the reset vector points at 0x04400, which the image does not program"},
        {vector + "q\n", "the reset vector points at 0x04400, which the image does not program"},
        {"@FFFE\nFF FF\nq\n", "the reset vector (0x0FFFE-0x0FFFF) is blank"},
        {"@4400\n31 40\n@FFFE\n00 45\nq\n", "points at 0x04500, which the image does not"},
        {"@4400\nFF FF\n@FFFE\n00 44\nq\n", "points at 0x04400, which the image leaves blank"},
        // Info memory holds data, not code, however it is filled.
        {"@1800\n31 40\n@FFFE\n00 18\nq\n", "points at 0x01800, in info memory"},
        // ...nor from its own vector table, however it is filled.
        {"@FFFE\nFE FF\nq\n", "points at 0x0FFFE, inside the interrupt vector table"},
        {"@FFE0\n" +
             [] {
                 std::string vectors;
                 for (int i = 0; i < 16; ++i)
                     vectors += "E0 FF ";
                 return vectors;
             }() +
             "\nq\n",
         "points at 0x0FFE0, inside the interrupt vector table"},
    };
    clock.sleep_ms(1000); // the loader is on the bus
    const std::vector<uint8_t> flash = loader->model.memory(0, sim::LoaderModel::kMemorySize);
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string path = (dir / ("bad" + std::to_string(i) + ".txt")).string();
        std::ofstream(path, std::ios::binary) << cases[i].first;
        EXPECT_FALSE(run(path)) << i;
        ASSERT_EQ(steps.size(), 1u) << i;
        EXPECT_EQ(steps[0].text.rfind(path + ": ", 0), 0u) << steps[0].text;
        EXPECT_NE(steps[0].text.find(cases[i].second), std::string::npos) << steps[0].text;
    }
    EXPECT_FALSE(run((dir / "missing.txt").string()));
    EXPECT_NE(steps[0].text.find("cannot open"), std::string::npos);
    EXPECT_FALSE(run("/dev/zero")); // read up to the limit, not without end
    EXPECT_NE(steps[0].text.find("larger than 16 MiB"), std::string::npos) << steps[0].text;
    fs::remove_all(dir);
    EXPECT_EQ(loader->model.totalReports(), 0);
    EXPECT_TRUE(loader->model.memory(0, sim::LoaderModel::kMemorySize) == flash);
    EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0200), 1u); // still in its loader
}

TEST_F(UpgradeSequenceTest, FileReplacedDuringTheUpgradeChangesNothingSent) {
    namespace fs = std::filesystem;
    const fs::path path =
        fs::temp_directory_path() / ("orvex_replaced_" + std::to_string(::getpid()) + ".txt");
    fs::copy_file(kSample209, path, fs::copy_options::overwrite_existing);
    bool replaced = false;
    sequence = std::make_unique<UpgradeSequence>(
        [&](int percent, const std::string& text) {
            steps.push_back({percent, text, clock.tick_ms()});
            // Once the image is checked, another one takes its place on disk.
            if (!replaced && text == "Password Sent Successfully\r\n") {
                fs::copy_file(kSample208, path, fs::copy_options::overwrite_existing);
                replaced = true;
            }
        },
        LoaderIds::FromResources(), firmware::StandInLoaderImages());
    ASSERT_TRUE(sequence->Run(path.string()));
    fs::remove(path);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(loader->model.imageVersion(), "2.9");
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(UpgradeSequenceTest, WithoutTheSecondResetImageTheKeypadStaysInItsLoader) {
    // A RAM loader of another version gets the reset image once only; its
    // block buffer keeps it, and nothing restarts the chip.
    LoaderImages images = firmware::StandInLoaderImages();
    const auto at = images.ramLoader.find("00 06 05 34");
    ASSERT_NE(at, std::string::npos);
    images.ramLoader.replace(at, 11, "00 06 05 35");
    images.ramLoaderVersion = "00.06.05.35";
    EXPECT_TRUE(run(kSample209, images));
    EXPECT_EQ(keypadVersion(), "<none>");
    EXPECT_TRUE(VirtualBus::instance().present(loader));
    EXPECT_EQ(loader->model.buffered(), 2u);
    EXPECT_EQ(loader->model.resets(), 0);
}

TEST_F(UpgradeSequenceTest, TwoLoadersAndNoPortIsRefusedBeforeEitherHearsAnything) {
    const auto other = sim::makeLoader();
    VirtualBus::instance().plug(other);
    clock.sleep_ms(1000);
    EXPECT_FALSE(run(kSample209));
    EXPECT_EQ(progress(), (Steps{{0, std::string(firmware::kLoaderNotToldApartText) + "\r\n"}}));
    EXPECT_EQ(loader->model.totalReports() + other->model.totalReports(), 0);
}

TEST_F(UpgradeSequenceTest, InfoMemoryOfAUsedKeypadIsReprogrammed) {
    loader->model.poke(0x1800, std::vector<uint8_t>(384, 0x00));
    EXPECT_TRUE(run(withInfoMemory(0x1800, 0x1980)));
    EXPECT_EQ(loader->model.memory(0x1800, 384), std::vector<uint8_t>(384, 0x5A));
}

TEST_F(UpgradeSequenceTest, AfterAMassEraseTheInfoSegmentsOfTheImageAreStillErased) {
    // The mass erase clears main flash only. The image enters info D and, by
    // its last byte, info C; info B it leaves alone, and B keeps its bytes.
    loader->model.poke(0x1800, std::vector<uint8_t>(384, 0x00));
    loader->model.injectFault({LoaderFault::RefusePassword, 0});
    const std::string path = withInfoMemory(0x1810, 0x1881);
    ASSERT_TRUE(run(path));
    Steps expected = StartUpSteps(true);
    append(expected, DownloadSteps(false, path));
    append(expected, VerifiedSteps(sequence->totalProgramTime));
    EXPECT_EQ(progress(), expected);
    // The reset vector's segment at the start-up, then the info segments
    // once each; main flash needs nothing more.
    EXPECT_EQ(erasedSegments(), (std::vector<uint32_t>{0xFFFF, 0x1800, 0x1880}));
    EXPECT_EQ(loader->model.memory(0x1810, 0x71), std::vector<uint8_t>(0x71, 0x5A));
    EXPECT_EQ(loader->model.memory(0x1800, 16), std::vector<uint8_t>(16, 0xFF));
    EXPECT_EQ(loader->model.memory(0x1900, 128), std::vector<uint8_t>(128, 0x00));
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(UpgradeSequenceTest, ALoaderThatStopsAnsweringIsToldToBeRepluggedThenTheUpgradeFinishes) {
    // Flash that does not take the image although its segment was erased:
    // the write check of the flush at 0x4A00 fails, and this RAM loader (API
    // 5) drops the error and answers nothing from then on.
    sequence = std::make_unique<UpgradeSequence>(
        [&](int percent, const std::string& text) {
            steps.push_back({percent, text, clock.tick_ms()});
            if (text == "Sending " + kSample209 + "\r\n")
                loader->model.poke(0x49F0, std::vector<uint8_t>(16, 0x00));
        },
        LoaderIds::FromResources(), firmware::StandInLoaderImages());
    EXPECT_FALSE(sequence->Run(kSample209));
    Steps expected = StartUpSteps(false);
    append(expected, DownloadSteps(true, kSample209));
    expected.push_back({85, "Memory verification error\r\n"});
    expected.push_back({85, std::string(firmware::kLoaderStoppedAnsweringText) + "\r\n"});
    EXPECT_EQ(progress(), expected);
    EXPECT_TRUE(loader->model.stoppedAnswering());
    EXPECT_TRUE(sequence->loaderStoppedAnswering);
    EXPECT_NE(sequence->FailureText().find("unplug the keypad and plug it in again"),
              std::string::npos);

    // Trying again without unplugging it: it still hears nothing, and says so.
    EXPECT_FALSE(run(kSample209));
    EXPECT_EQ(steps.back().text, std::string(firmware::kLoaderStoppedAnsweringText) + "\r\n");

    // As told: the reset vector is still blank, so the keypad comes back in
    // its ROM loader, and the upgrade is finished from there.
    EXPECT_EQ(loader->model.bootTarget(), sim::LoaderModel::Boot::RomLoader);
    loader->replug();
    clock.sleep_ms(2000);
    ASSERT_TRUE(run(kSample209));
    EXPECT_FALSE(sequence->loaderStoppedAnswering);
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(UpgradeSequenceTest, AnUpgradeThatFailsKeepsNoPasswordForTheKeypad) {
    namespace fs = std::filesystem;
    const fs::path folder =
        fs::temp_directory_path() / ("orvex_kept_password_" + std::to_string(::getpid()));
    temporary.push_back(folder.string());
    keepPasswordAs = (folder / "password.Text").string();

    // The whole image was written, its vector table too, but did not verify.
    loader->model.injectFault({LoaderFault::WrongCrc, 0});
    EXPECT_FALSE(run(kSample209));
    EXPECT_FALSE(fs::exists(keepPasswordAs));

    // A verified upgrade keeps the vector table of its image.
    ASSERT_TRUE(run(kSample209));
    std::ifstream in(keepPasswordAs, std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(in)), {});
    const DataBlock_ password = BSL_readTI_Text(kept, 32);
    EXPECT_EQ(password.startAddress, 0xFFE0u);
    const std::vector<uint8_t> vectors = loader->model.memory(0xFFE0, 32);
    EXPECT_TRUE(std::equal(vectors.begin(), vectors.end(), password.data));
}

TEST_F(UpgradeSequenceTest, EmptyOrOverlongPathIsRefusedBeforeAnythingIsSent) {
    EXPECT_FALSE(run(""));
    EXPECT_EQ(progress(), (Steps{{0, "No file specified\r\n"}}));

    const std::string tooLong = "/tmp/" + std::string(191, 'a') + ".txt"; // 200 bytes
    ASSERT_EQ(tooLong.size(), 200u);
    EXPECT_FALSE(run(tooLong));
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].percent, 0);
    EXPECT_NE(steps[0].text.find("too long"), std::string::npos);
    EXPECT_EQ(loader->model.totalReports(), 0);
}

TEST_F(UpgradeSequenceTest, PathFillingTheBufferWorks) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() /
        ("orvex_fw_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::create_directories(dir);
    std::string path = (dir / "").string();
    path += std::string(199 - path.size() - 4, 'f') + ".txt";
    ASSERT_EQ(path.size(), 199u);
    fs::copy_file(kSample209, path, fs::copy_options::overwrite_existing);
    const bool ok = run(path);
    fs::remove_all(dir);
    EXPECT_TRUE(ok);
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(UpgradeSequenceTest, NoLoaderMeansTwoUnpluggedReports) {
    VirtualBus::instance().unplug(loader);
    EXPECT_FALSE(run(kSample209));
    EXPECT_EQ(progress(), (Steps{{0, "USB device was unplugged!\r\n"},
                                 kRestarting,
                                 {0, "USB device was unplugged!\r\n"}}));
}

TEST(UpgradeHelpers, IdsVersionAndTime) {
    using firmware::padHexStringValue;
    EXPECT_EQ(padHexStringValue("0x200"), "0x0200");
    EXPECT_EQ(padHexStringValue("0x2047"), "0x2047");
    EXPECT_EQ(padHexStringValue("0x47"), "0x0047");
    EXPECT_EQ(padHexStringValue("0x7"), "0x0007");
    EXPECT_EQ(padHexStringValue("0x12345"), "0x12345");

    const LoaderIds ids = LoaderIds::FromResources();
    EXPECT_EQ(ids.Selection(), "PID=0x0200,VID=0x2047,DEVICEINDEX=0");
    uint16_t vid = 0, pid = 0;
    ASSERT_TRUE(ids.Numbers(vid, pid));
    EXPECT_EQ(vid, 0x2047);
    EXPECT_EQ(pid, 0x0200);
    EXPECT_FALSE((LoaderIds{"2047", "0x0200", "0", ""}.Numbers(vid, pid)));
    EXPECT_FALSE((LoaderIds{"0x20G7", "0x0200", "0", ""}.Numbers(vid, pid)));

    EXPECT_EQ(firmware::VersionFromLoaderText("Maker:0x00 CI:0x06 API:0x05 PI:0x34"),
              "00.06.05.34");
    EXPECT_EQ(firmware::VersionFromLoaderText("ERROR"), "");

    EXPECT_EQ(firmware::ProgrammingSeconds(5000, 5999), 0u);
    EXPECT_EQ(firmware::ProgrammingSeconds(5000, 7999), 2u);
    // The 32-bit tick count wraps after 49 days.
    EXPECT_EQ(firmware::ProgrammingSeconds(0xFFFFFC18u, 1000u), 2u);
}

// --- the settings restore ----------------------------------------------------

class RestoreTest : public KeypadTest {
protected:
    firmware::KeypadSettingsHandOver handOver() const {
        firmware::KeypadSettingsHandOver s;
        s.captured = true;
        s.keypad_table = 2;
        s.led_brightness = 7;
        s.buzzer_enable = 0;
        s.buzzer_period = 4;
        s.no_of_keys = 6;
        for (int i = 0; i < 20; ++i)
            s.key_codes[static_cast<size_t>(i)] = i % 2 ? 0x04 + i : 0xE0 + (i / 2) % 8;
        s.serialNumber = "OVX000999888";
        s.usbPort = keypad->port();
        return s;
    }
    std::vector<sim::ReceivedCommand> received() const { return keypad->model.log(); }
};

TEST_F(RestoreTest, SendsTheSettingsBackInOrder) {
    const auto s = handOver();
    keypad->model.clearLog();
    EXPECT_EQ(firmware::RestoreSettingsAfterUpgrade(s), firmware::RestoreResult::Restored);
    EXPECT_TRUE(prompts.messages().empty());
    std::vector<uint8_t> table;
    for (int c : s.key_codes)
        table.push_back(static_cast<uint8_t>(c));
    const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> expected = {
        {SetOptions, {6}},
        {SetSerialNumber, {'O', 'V', 'X', '0', '0', '0', '9', '9', '9', '8', '8', '8'}},
        {FactoryReset, {}},
        {GetStatus, {}}, // the same keypad back after the restart
        {SetKeypadType, {2}},
        {LoadCodeTable, table},
        {SetLedBrightness, {7}},
        {SetBuzzer, {0}},
        {SetBuzzerPeriod, {5}},
        {WriteDefaults, {}},
    };
    const auto log = received();
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].command, expected[i].first) << i;
        EXPECT_EQ(log[i].payload, expected[i].second) << i;
    }
    EXPECT_GE(clock.slept_ms(), 6000u);
    // Kept as the power-up settings.
    const auto up = keypad->model.powerUp();
    EXPECT_EQ(up.ledBrightness, 7);
    EXPECT_EQ(up.buzzerPeriod, 5);
    EXPECT_EQ(up.keypadType, 2);
    EXPECT_TRUE(std::equal(table.begin(), table.end(), up.customTables[0].begin()));
    EXPECT_EQ(keypad->model.serial(), "OVX000999888");
    EXPECT_EQ(keypad->model.options(), 6);
}

TEST_F(RestoreTest, NothingCapturedSendsNothing) {
    keypad->model.clearLog();
    EXPECT_EQ(firmware::RestoreSettingsAfterUpgrade({}), firmware::RestoreResult::NothingCaptured);
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(prompts.texts(),
              std::vector<std::string>{std::string(firmware::kNotRestoredText) + "\n"});
}

TEST_F(RestoreTest, FailuresShowTheirMessageAndEndTheRestore) {
    const std::string notConnected = "Halden Orvex\u2122 not connected..\n";
    // The keypad does not come back at all.
    VirtualBus::instance().unplug(keypad);
    EXPECT_EQ(firmware::RestoreSettingsAfterUpgrade(handOver()),
              firmware::RestoreResult::KeypadMissing);
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{notConnected});

    // Refused options.
    VirtualBus::instance().plug(keypad);
    prompts.clear();
    keypad->model.clearLog();
    keypad->model.injectFault({sim::Fault::Refuse});
    EXPECT_EQ(firmware::RestoreSettingsAfterUpgrade(handOver()), firmware::RestoreResult::Stopped);
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{"Unable to set OPTION..\n"});
    EXPECT_EQ(received().size(), 1u);

    // Gone after the factory reset: the warning ends the restore.
    prompts.clear();
    keypad->model.clearLog();
    keypad->model.setRestartDelayMs(60000);
    EXPECT_EQ(firmware::RestoreSettingsAfterUpgrade(handOver()),
              firmware::RestoreResult::KeypadMissing);
    EXPECT_EQ(prompts.texts(), std::vector<std::string>{notConnected});
    EXPECT_EQ(received().size(), 3u);
}

} // namespace
} // namespace orvex::test
