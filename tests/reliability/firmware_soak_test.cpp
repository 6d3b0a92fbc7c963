// Firmware soak: upgrades of the virtual keypad interrupted at random points
// (the loader pulled out at any report, a data packet lost with the loader
// leaving, a refused password, a wrong CRC answer) and upgrades with images
// that cannot be right. Each run must either end in "Done!" with the image
// verified in flash and the keypad back with its version, or end in a failure
// text, never "Done!", after which one plain retry programs and verifies the
// device. Seeded: ORVEX_SOAK_SEED repeats a run, ORVEX_SOAK_ROUNDS lengthens it.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <unistd.h>

#include "bsl/bsl430.h"
#include "bsl/ti_text.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "firmware/standin_images.h"
#include "firmware/upgrade_sequence.h"
#include "soak_support.h"
#include "test_env.h"
#include "virtual_loader.h"

namespace orvex::test {
namespace {

namespace fs = std::filesystem;
using firmware::UpgradeSequence;
using sim::LoaderFault;
using sim::VirtualBus;

const std::string kSample208 = ORVEX_SAMPLES_DIR "/orvex_fw_2_08.txt";
const std::string kSample209 = ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt";

// The loader, pulled out of the bus when a chosen report is written to it
// (whatever the command: password, download, erase, CRC or reset).
class PullableLoader : public sim::VirtualLoader {
public:
    void write(int iface, const uint8_t* data, size_t length, uint64_t now) override {
        ++reports;
        if (pullAt != 0 && reports == pullAt) {
            pullAt = 0;
            VirtualBus::instance().unplug(shared_from_this(), returnAfterMs);
            return;
        }
        VirtualLoader::write(iface, data, length, now);
    }
    uint64_t reports = 0;
    uint64_t pullAt = 0; // 0: never
    uint32_t returnAfterMs = sim::kNever;
};

const std::string kStoppedAnswering = std::string(firmware::kLoaderStoppedAnsweringText) + "\r\n";
const std::set<std::string> kFailureTexts = {
    "USB device was unplugged!\r\n",        "Password FAILED!\r\n",
    "Failed to read data from RAM BSL\r\n", "Password FAILED after sending RAM BSL!\r\n",
    "Memory verification error\r\n",        kStoppedAnswering};

enum Scenario { Clean, Pull, DropOff, RefusePassword, WrongCrc, StuckFlash, BadImage, kScenarios };
const char* const kScenarioNames[kScenarios] = {"clean",
                                                "pulled out",
                                                "packet lost",
                                                "password refused",
                                                "wrong CRC",
                                                "flash write fails",
                                                "image that cannot be right"};

class FirmwareSoak : public VirtualEnvTest {
protected:
    void SetUp() override {
        VirtualEnvTest::SetUp();
        keypad = plugKeypad();
        keypad->model.setVersion("2.07");
        loader = std::make_shared<PullableLoader>();
        loader->attach();
        loader->keypad = keypad;
        loader->model.loadFactoryImage("2.07");
        keypad->loaderFactory = [l = loader](std::shared_ptr<sim::VirtualKeypad>) {
            l->model.enterRom();
            return std::shared_ptr<sim::BusDevice>(l);
        };
        ASSERT_TRUE(RescanForDevice());

        dir =
            fs::temp_directory_path() /
            ("orvex_fw_soak_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        const std::string good = ReadText(kSample209);
        // No "q": a download cut short.
        badImages.push_back(Write("truncated.txt", good.substr(0, good.size() / 2)));
        // A byte that is not hexadecimal.
        std::string malformed = good;
        malformed[malformed.find('\n') + 4] = 'G';
        badImages.push_back(Write("malformed.txt", malformed));
        // Data for the loader's own flash, which cannot be programmed.
        std::string foreign = good;
        foreign.insert(foreign.rfind('q'), "@1000\n12 34 56 78\n");
        badImages.push_back(Write("bsl_area.txt", foreign));
        // Beyond the 20-bit address space.
        std::string beyond = good;
        beyond.insert(beyond.rfind('q'), "@100000\n12\n");
        badImages.push_back(Write("beyond.txt", beyond));
    }
    void TearDown() override {
        BSL_close_BSL();
        BSL_closeTI_Text();
        std::error_code ec;
        fs::remove_all(dir, ec);
        VirtualEnvTest::TearDown();
    }

    static std::string ReadText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string Write(const std::string& name, const std::string& text) const {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // The keypad goes into its loader when it is running; a loader already on
    // the bus (or on its way back) is used as it is.
    void EnterLoader() {
        VirtualBus::instance().pump();
        if (VirtualBus::instance().present(keypad)) {
            ASSERT_TRUE(RescanForDevice());
            (void)SendDeviceCommand(EnterBootloader);
            CloseDevice();
        }
    }

    // The user unplugs and plugs the keypad back in: it boots a programmed
    // application, else it comes up in the ROM loader. A chip whose reset
    // vector points at unprogrammed flash would stay dead: counted, then
    // revived as only hardware could (the PUR pin).
    void Replug() {
        VirtualBus::instance().unplug(loader);
        switch (loader->model.bootTarget()) {
        case sim::LoaderModel::Boot::Application: {
            const std::string v = loader->model.imageVersion();
            // A reset vector in place means the image is whole: a download
            // cut short must leave it blank.
            if (v != "2.07" && !ImageMismatch(kSample208).empty() &&
                !ImageMismatch(kSample209).empty())
                ++halfProgrammed;
            if (!v.empty())
                keypad->model.setVersion(v);
            VirtualBus::instance().plug(keypad);
            return;
        }
        case sim::LoaderModel::Boot::Dead:
            ++deadChips;
            loader->powerUpWithPurPin();
            return;
        case sim::LoaderModel::Boot::RomLoader:
            loader->model.enterRom();
            VirtualBus::instance().plug(loader);
            return;
        }
    }

    bool Upgrade(const std::string& path) {
        steps.clear();
        UpgradeSequence sequence(
            [this](int, const std::string& text) {
                steps.push_back(text);
                // Flash that does not take what is written, although erased.
                if (stuckAt != 0 && text.rfind("Sending ", 0) == 0)
                    loader->model.poke(stuckAt, std::vector<uint8_t>(16, 0x00));
            },
            firmware::LoaderIds::FromResources(), firmware::StandInLoaderImages());
        return sequence.Run(path);
    }

    // Flash holds every byte of the image.
    std::string ImageMismatch(const std::string& path) const {
        bsl::TiTextImage image;
        std::string error;
        if (!image.load(path.c_str(), error))
            return "image not readable: " + error;
        for (const auto& run : image.runs())
            if (loader->model.memory(run.start, run.bytes.size()) != run.bytes)
                return "flash differs from the image in the run at " + std::to_string(run.start);
        return "";
    }

    // The version an image carries in its record at 0xFF40 ("OVX:" and the text).
    static std::string ImageVersion(const std::string& path) {
        bsl::TiTextImage image;
        std::string error;
        std::string record;
        if (image.load(path.c_str(), error))
            for (const auto& run : image.runs())
                for (size_t i = 0; i < run.bytes.size(); ++i)
                    if (run.start + i >= 0xFF40 && run.start + i < 0xFF40 + 16)
                        record.push_back(static_cast<char>(run.bytes[i]));
        if (record.rfind("OVX:", 0) != 0)
            return "<no version record>";
        return record.substr(4, record.find('\0') - 4);
    }

    // The keypad came back running the image's version (plugged back in by the
    // user if the reset request itself was lost).
    std::string KeypadVersion() {
        clock.sleep_ms(3000);
        VirtualBus::instance().pump();
        if (!VirtualBus::instance().present(keypad))
            Replug();
        if (!RescanForDevice())
            return "<no keypad>";
        DeviceStatus status;
        return ReadDeviceStatus(status) == 0 ? status.firmwareVersion : "<no status>";
    }

    std::shared_ptr<sim::VirtualKeypad> keypad;
    std::shared_ptr<PullableLoader> loader;
    fs::path dir;
    std::vector<std::string> badImages;
    std::vector<std::string> steps;
    uint32_t stuckAt = 0; // 0: flash takes every write
    int deadChips = 0;
    int halfProgrammed = 0;
};

TEST_F(FirmwareSoak, InterruptedUpgradesFailCleanlyAndARetryProgramsTheDevice) {
    const uint64_t seed = EnvNumber("ORVEX_SOAK_SEED", 20250611);
    const uint64_t rounds = EnvNumber("ORVEX_SOAK_ROUNDS", 400);
    Random rnd(seed);
    std::ostringstream problems;
    int reported = 0;
    const auto problem = [&](uint64_t round, const std::string& what) {
        if (++reported <= 20)
            problems << "round " << round << ": " << what << "\n";
    };

    // How many reports a whole upgrade writes: the range to pull the loader in.
    EnterLoader();
    ASSERT_TRUE(Upgrade(kSample208));
    const uint64_t reportsPerRun = loader->reports;
    ASSERT_GT(reportsPerRun, 50u);

    uint64_t byScenario[kScenarios] = {}, failed = 0, done = 0, retried = 0;
    uint64_t doneOnBadImage = 0, retryFailures = 0, unclearEnds = 0, replugsAsked = 0;
    std::map<std::string, uint64_t> endings;
    const std::vector<std::string> goodImages = {kSample208, kSample209};

    for (uint64_t round = 0; round < rounds; ++round) {
        EnterLoader();
        loader->model.clearFaults();
        loader->pullAt = 0;
        loader->reports = 0;
        stuckAt = 0;

        const auto scenario = static_cast<Scenario>(rnd.range(0, kScenarios - 1));
        ++byScenario[scenario];
        std::string path = goodImages[round % 2];
        switch (scenario) {
        case Clean:
            break;
        case Pull:
            loader->pullAt =
                static_cast<uint64_t>(rnd.range(1, static_cast<int64_t>(reportsPerRun)));
            loader->returnAfterMs =
                rnd.chance(0.6) ? sim::kNever : static_cast<uint32_t>(rnd.range(0, 4000));
            break;
        case DropOff:
            loader->model.injectFault(
                {LoaderFault::DropOff, static_cast<int>(rnd.range(0, 80)),
                 rnd.chance(0.6) ? sim::kNever : static_cast<uint32_t>(rnd.range(0, 4000))});
            break;
        case RefusePassword:
            for (int64_t n = rnd.range(1, 4); n > 0; --n)
                loader->model.injectFault(
                    {LoaderFault::RefusePassword, static_cast<int>(rnd.range(0, 2))});
            break;
        case WrongCrc:
            loader->model.injectFault({LoaderFault::WrongCrc, static_cast<int>(rnd.range(0, 3))});
            break;
        case StuckFlash: {
            // Anywhere the image writes: the vector table, a full block
            // (written unchecked), or a partial one whose checked flush makes
            // this RAM loader (API 5) stop answering.
            bsl::TiTextImage image;
            std::string error;
            image.load(path.c_str(), error);
            const auto& run = rnd.pick(image.runs());
            stuckAt = run.start + static_cast<uint32_t>(
                                      rnd.range(0, static_cast<int64_t>(run.bytes.size()) - 1));
            break;
        }
        case BadImage:
            path = rnd.pick(badImages);
            break;
        default:
            break;
        }

        const bool ok = Upgrade(path);
        const bool saidDone = std::count(steps.begin(), steps.end(), "Done!") > 0;
        const bool badImage = scenario == BadImage;
        if (ok != saidDone || (saidDone && steps.back() != "Done!"))
            problem(round, "result and \"Done!\" disagree");
        if (ok) {
            ++done;
            if (badImage) {
                ++doneOnBadImage;
                problem(round, "\"Done!\" on " + path);
                continue;
            }
            if (const std::string m = ImageMismatch(path); !m.empty())
                problem(round, "\"Done!\" but " + m + " (" + kScenarioNames[scenario] + ")");
            const std::string expected = ImageVersion(path);
            if (const std::string v = KeypadVersion(); v != expected)
                problem(round, "keypad came back with " + v + " after \"Done!\"");
            continue;
        }

        ++failed;
        const std::string last = steps.empty() ? "" : steps.back();
        ++endings[last];
        // A bad image is refused up front, with its name and the reason.
        const bool refusedImage = scenario == BadImage && last.rfind(path + ": ", 0) == 0;
        if (!kFailureTexts.count(last) && !refusedImage) {
            ++unclearEnds;
            problem(round, "failed without a failure text, last was \"" + last + "\" (" +
                               kScenarioNames[scenario] + ")");
        }

        // Back to a device the user can work with, then one plain retry. A
        // loader that stopped answering is unplugged and plugged in again, as
        // the failure text says.
        loader->model.clearFaults();
        loader->pullAt = 0;
        stuckAt = 0;
        if (last == kStoppedAnswering)
            ++replugsAsked;
        clock.sleep_ms(static_cast<uint32_t>(rnd.range(0, 5000)));
        VirtualBus::instance().pump();
        if ((!VirtualBus::instance().present(loader) && !VirtualBus::instance().present(keypad)) ||
            last == kStoppedAnswering)
            Replug();
        EnterLoader();
        const std::string retryPath = goodImages[(round + 1) % 2];
        ++retried;
        if (!Upgrade(retryPath)) {
            ++retryFailures;
            problem(round, std::string("retry failed after ") + kScenarioNames[scenario] +
                               ", last step \"" + (steps.empty() ? "" : steps.back()) + "\"");
            continue;
        }
        if (const std::string m = ImageMismatch(retryPath); !m.empty())
            problem(round, "retry said \"Done!\" but " + m);
        const std::string expected = ImageVersion(retryPath);
        if (const std::string v = KeypadVersion(); v != expected)
            problem(round, "keypad came back with " + v + " after the retry");
    }

    std::printf(
        "\nFirmware soak, seed %llu (ORVEX_SOAK_SEED to repeat), %llu reports per upgrade\n",
        static_cast<unsigned long long>(seed), static_cast<unsigned long long>(reportsPerRun));
    std::printf("  upgrades             %llu\n", static_cast<unsigned long long>(rounds));
    for (int s = 0; s < kScenarios; ++s)
        std::printf("  %-27s %llu\n", kScenarioNames[s],
                    static_cast<unsigned long long>(byScenario[s]));
    std::printf("  ended \"Done!\"        %llu\n", static_cast<unsigned long long>(done));
    std::printf("  ended in a failure   %llu\n", static_cast<unsigned long long>(failed));
    for (const auto& [text, count] : endings) {
        std::string shown = text;
        shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
        shown.erase(std::remove(shown.begin(), shown.end(), '\n'), shown.end());
        std::printf("    %-40s %llu\n", ("\"" + shown + "\"").c_str(),
                    static_cast<unsigned long long>(count));
    }
    std::printf("  retries              %llu, failed %llu\n",
                static_cast<unsigned long long>(retried),
                static_cast<unsigned long long>(retryFailures));
    std::printf("  unplug and replug asked %llu\n", static_cast<unsigned long long>(replugsAsked));
    std::printf("  failures without a failure text %llu\n",
                static_cast<unsigned long long>(unclearEnds));
    std::printf("  \"Done!\" on a bad image %llu\n",
                static_cast<unsigned long long>(doneOnBadImage));
    std::fflush(stdout);

    EXPECT_EQ(doneOnBadImage, 0u) << problems.str();
    EXPECT_EQ(retryFailures, 0u) << problems.str();
    EXPECT_EQ(unclearEnds, 0u) << problems.str();
    EXPECT_EQ(reported, 0) << problems.str();
    EXPECT_EQ(deadChips, 0) << "an interrupted upgrade left a keypad that cannot start";
    EXPECT_EQ(halfProgrammed, 0) << "a keypad came back running an image that did not verify";
    // Some loaders stopped answering, and the user was asked to replug them.
    EXPECT_GT(replugsAsked, 0u);
    // The soak reached the faults it is about.
    EXPECT_GT(failed, rounds / 4);
    EXPECT_GT(done, rounds / 8);
}

} // namespace
} // namespace orvex::test
