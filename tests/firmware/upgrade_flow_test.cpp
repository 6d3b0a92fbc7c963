// The loader calls of the firmware upgrade, in its order, against the virtual
// keypad: switch to the loader, password, RAM loader, erase, download, verify
// block by block, reset into the new image.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "bsl/bsl_protocol.h"
#include "bsl/ti_text.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "firmware/image_checks.h"
#include "firmware/loader_images.h"
#include "firmware/standin_images.h"
#include "loader_fixture.h"

namespace orvex::test {
namespace {

using firmware::LoaderResource;
using firmware::StandInLoaderResource;
using sim::LoaderFault;
using sim::VirtualBus;

const std::string kSample208 = ORVEX_SAMPLES_DIR "/orvex_fw_2_08.txt";
const std::string kSample209 = ORVEX_SAMPLES_DIR "/orvex_fw_2_09.txt";

// Fixed, zero-filled buffers as the window hands texts to the library.
template <size_t N> struct TextBuffer {
    explicit TextBuffer(std::string_view text) { text.copy(data, std::min(text.size(), N)); }
    std::string_view view() const { return {data, N}; }
    char data[N] = {};
};

class UpgradeFlowTest : public VirtualEnvTest {
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
        VirtualEnvTest::TearDown();
    }

    // The loader start-up; false at the first failure.
    bool startUp() {
        BSL_setFamily(3);
        BSL_setCom(2);
        if (BSL_initialize_BSL(kSelection) == 1)
            return false;
        const TextBuffer<200> pass(StandInLoaderResource("password.Text"));
        const DataBlock_ stored = BSL_readTI_Text(pass.view(), 32);
        const DataBlock_ def = BSL_getDefaultPass();
        if (BSL_RX_Password(stored) != 0) {
            massErased = true;
            clock.sleep_ms(2000);
            if (BSL_RX_Password(def) != 0)
                return false;
        }
        const TextBuffer<20000> ram(StandInLoaderResource("RAM_BSL.Text"));
        BSL_RX_TXT(ram.view(), 1);
        BSL_LoadPC(0x2504);
        BSL_close_BSL();
        clock.sleep_ms(3000);
        BSL_setFamily(3);
        BSL_setCom(2);
        if (BSL_initialize_BSL(kSelection) == 1)
            return false;
        const uint8_t second = BSL_RX_Password(massErased ? def : stored);
        const std::string v = BSL_TX_BSL_Version_String();
        if (v == "ERROR" || v.size() < 35 ||
            "00." + v.substr(16, 2) + "." + v.substr(25, 2) + "." + v.substr(33, 2) !=
                StandInLoaderResource("RAM_BSL_VERSION"))
            return false;
        if (second != 0)
            return false;
        BSL_eraseSegment(0xFFFF);
        return true;
    }

    // The reset image twice, as the upgrade sends it.
    void resetDevice() {
        const TextBuffer<100> bor(LoaderResource("Forced_BOR.Text"));
        ASSERT_EQ(BSL_RX_TXT(bor.view(), 1), 0u);
        BSL_RX_TXT(bor.view(), 1);
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
    bool massErased = false;
};

TEST_F(UpgradeFlowTest, ImageIsErasedDownloadedVerifiedAndBooted) {
    ASSERT_TRUE(startUp());
    EXPECT_FALSE(massErased);
    EXPECT_EQ(loader->model.massErases(), 0);
    loader->model.clearLog();

    EXPECT_EQ(EraseDataSegment_File(kSample209.c_str()), 0u);
    BSL_RX_TXT_File(kSample209.c_str(), 1);
    // As few reports as 58-byte packets allow, run by run.
    bsl::TiTextImage image;
    std::string error;
    ASSERT_TRUE(image.load(kSample209.c_str(), error)) << error;
    int minimum = 0;
    for (const auto& run : image.runs())
        minimum += static_cast<int>((run.bytes.size() + 57) / 58);
    EXPECT_EQ(loader->model.reportCount(bsl::CMD_RX_DATA_BLOCK_FAST), minimum);

    EXPECT_EQ(CRC_Check_File(kSample209.c_str()), 0u);
    resetDevice();
    EXPECT_FALSE(VirtualBus::instance().present(loader));
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST_F(UpgradeFlowTest, WithoutTheErasePassVerificationFails) {
    ASSERT_TRUE(startUp());
    BSL_RX_TXT_File(kSample209.c_str(), 1);
    // The old image is still in flash under the new one.
    EXPECT_EQ(CRC_Check_File(kSample209.c_str()), 1u);
}

TEST_F(UpgradeFlowTest, RejectedPasswordMassErasesAndTheDefaultOneCarriesOn) {
    loader->model.injectFault({LoaderFault::RefusePassword, 0});
    ASSERT_TRUE(startUp());
    EXPECT_TRUE(massErased);
    EXPECT_EQ(loader->model.massErases(), 1);
    // No erase pass after a mass erase: the device is blank.
    BSL_RX_TXT_File(kSample208.c_str(), 1);
    EXPECT_EQ(CRC_Check_File(kSample208.c_str()), 0u);
    resetDevice();
    EXPECT_EQ(keypadVersion(), "2.8");
}

TEST_F(UpgradeFlowTest, LoaderLostDuringTheDownloadFailsVerification) {
    ASSERT_TRUE(startUp());
    EraseDataSegment_File(kSample209.c_str());
    loader->model.injectFault({LoaderFault::DropOff, 10});
    BSL_RX_TXT_File(kSample209.c_str(), 1);
    EXPECT_EQ(CRC_Check_File(kSample209.c_str()), 1u);
    // The start-up fails while the loader is gone.
    BSL_close_BSL();
    EXPECT_FALSE(startUp());
}

// A client other than the upgrade, as TI's loader allows: the password once,
// to the ROM loader; acknowledged writes; a reset through the watchdog.
TEST_F(UpgradeFlowTest, ClientUnlockingOnceProgramsAndLeavesThroughTheWatchdog) {
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);
    const TextBuffer<200> pass(StandInLoaderResource("password.Text"));
    ASSERT_EQ(BSL_RX_Password(BSL_readTI_Text(pass.view(), 32)), 0);
    const TextBuffer<20000> ram(StandInLoaderResource("RAM_BSL.Text"));
    ASSERT_EQ(BSL_RX_TXT(ram.view(), 1), 0u);
    ASSERT_EQ(BSL_LoadPC(0x2504), 0);
    BSL_close_BSL();
    clock.sleep_ms(3000);
    ASSERT_EQ(BSL_initialize_BSL(kSelection), 0);

    // No second password: every segment the image touches erased, the image
    // written with acknowledgements, each run verified by CRC.
    bsl::TiTextImage image;
    std::string error;
    ASSERT_TRUE(image.load(kSample209.c_str(), error)) << error;
    for (const auto& run : image.runs()) {
        const uint32_t end = run.start + static_cast<uint32_t>(run.bytes.size());
        for (uint32_t segment = run.start & ~0x1FFu; segment < end; segment += 512)
            ASSERT_EQ(BSL_eraseSegment(segment), 0);
    }
    std::ifstream in(kSample209, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(BSL_RX_TXT(text, 0), 0u);
    for (const auto& run : image.runs()) {
        ASSERT_EQ(BSL_CRC_Check(run.start, static_cast<uint32_t>(run.bytes.size())), 0);
        const dataBuffer reply = BSL_get_RX_Buffer();
        EXPECT_EQ(reply.data[6] * 256u + reply.data[5],
                  sim::LoaderModel::crc16(run.bytes.data(), run.bytes.size()));
    }

    // WDTCTL without its password, twice: the second write flushes the first.
    ASSERT_EQ(BSL_RX_TXT("@015C\n00 00\nq\n", 1), 0u);
    EXPECT_TRUE(VirtualBus::instance().present(loader));
    BSL_RX_TXT("@015C\n00 00\nq\n", 1);
    EXPECT_EQ(keypadVersion(), "2.9");
}

TEST(LoaderImages, ResourcesHaveTheLayoutTheUpgradeExpects) {
    bsl::TiTextImage image;
    std::string error;
    const std::string_view ram = StandInLoaderResource("RAM_BSL.Text");
    EXPECT_EQ(ram.size(), 8572u);
    ASSERT_TRUE(image.parse(ram, error)) << error;
    ASSERT_EQ(image.runs().size(), 2u);
    EXPECT_EQ(image.runs()[0].start, 0x2500u);
    EXPECT_EQ(image.runs()[0].bytes.size(), 117u);
    EXPECT_EQ(image.runs()[1].start, 0x2576u);
    EXPECT_EQ(image.runs()[1].bytes.size(), 2676u);
    EXPECT_EQ(
        std::vector<uint8_t>(image.runs()[0].bytes.begin(), image.runs()[0].bytes.begin() + 4),
        (std::vector<uint8_t>{0x00, 0x06, 0x05, 0x34}));
    EXPECT_EQ(StandInLoaderResource("RAM_BSL_VERSION"), "00.06.05.34");

    // The stored password is the vector table of the keypad's images.
    ASSERT_TRUE(image.parse(StandInLoaderResource("password.Text"), error)) << error;
    ASSERT_EQ(image.runs().size(), 1u);
    EXPECT_EQ(image.runs()[0].start, 0xFFE0u);
    const auto& v = sim::LoaderModel::factoryVectors();
    EXPECT_EQ(image.runs()[0].bytes, std::vector<uint8_t>(v.begin(), v.end()));

    ASSERT_TRUE(image.parse(LoaderResource("Forced_BOR.Text"), error)) << error;
    ASSERT_EQ(image.runs().size(), 1u);
    EXPECT_EQ(image.runs()[0].start, 0x0120u);
    EXPECT_EQ(image.runs()[0].bytes, (std::vector<uint8_t>{0x04, 0xA5}));

    EXPECT_EQ(LoaderResource("VID"), "0x2047");
    EXPECT_EQ(LoaderResource("PID"), "0x200");
    EXPECT_TRUE(LoaderResource("nothing").empty());
}

} // namespace
} // namespace orvex::test
