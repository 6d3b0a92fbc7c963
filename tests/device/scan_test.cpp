// Discovery, the process-wide handle and the rescan sequence.

#include <gtest/gtest.h>

#include <cstring>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "test_env.h"

using namespace orvex;

namespace {
class ScanTest : public test::VirtualEnvTest {
protected:
    char manufacturer[SCAN_TEXT_SIZE] = {};
    char product[SCAN_TEXT_SIZE] = {};
    hid_device* scan() {
        return ScanForUSBDevice_a(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, manufacturer, product);
    }
};
} // namespace

TEST_F(ScanTest, CommandInterfaceIsChosenWhateverTheOrder) {
    for (auto order : {std::vector<int>{0, 1}, std::vector<int>{1, 0}}) {
        sim::VirtualBus::instance().reset();
        auto k = plugKeypad(order);
        hid_device* dev = scan();
        ASSERT_NE(dev, nullptr);
        EXPECT_STREQ(manufacturer, "Halden Interface");
        EXPECT_STREQ(product, "Orvex Illuminated Keypad");
        // Only interface 1 answers commands; a status read proves which one is open.
        hid_handle = dev;
        DeviceStatus s;
        EXPECT_EQ(ReadDeviceStatus(s), 0);
        CloseDevice();
    }
}

TEST_F(ScanTest, KeyboardInterfaceAloneIsNotFound) {
    plugKeypad({0});
    EXPECT_EQ(scan(), nullptr);
    EXPECT_STREQ(manufacturer, "None");
    EXPECT_STREQ(product, "None");
}

TEST_F(ScanTest, OtherProductIdsAreIgnored) {
    auto k = sim::makeKeypad();
    k->productId = 0x0200;
    sim::VirtualBus::instance().plug(k);
    EXPECT_EQ(scan(), nullptr);
}

TEST_F(ScanTest, UnreadableAndOverlongStrings) {
    auto k = plugKeypad();
    k->stringsFail = true;
    hid_device* dev = scan();
    ASSERT_NE(dev, nullptr);
    EXPECT_STREQ(manufacturer, "Unable To Find");
    EXPECT_STREQ(product, "Unable To Find");
    hid_exit_safely(dev);

    k->stringsFail = false;
    k->manufacturer = std::wstring(80, L'M');
    k->product = L"Orvex \u2122 keypad";
    dev = scan();
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(std::strlen(manufacturer), SCAN_TEXT_SIZE - 1);
    // Wide characters are narrowed to their low byte.
    EXPECT_EQ(static_cast<uint8_t>(product[6]), 0x22);
    hid_exit_safely(dev);
}

TEST_F(ScanTest, OpenHandleReadsZeroBytesAtOnce) {
    plugKeypad();
    hid_device* dev = scan();
    ASSERT_NE(dev, nullptr);
    uint8_t buf[64];
    const uint64_t before = clock.tick_ms();
    EXPECT_EQ(hid_read(dev, buf, sizeof buf), 0);
    EXPECT_EQ(clock.tick_ms(), before);
    hid_exit_safely(dev);
}

TEST_F(ScanTest, RescanClosesTheOldHandleFirst) {
    plugKeypad();
    auto& bus = sim::VirtualBus::instance();
    ASSERT_TRUE(RescanForDevice());
    hid_device* first = hid_handle;
    EXPECT_EQ(bus.openHandles(), 1);
    ASSERT_TRUE(RescanForDevice());
    EXPECT_NE(hid_handle, nullptr);
    EXPECT_EQ(bus.openHandles(), 1);
    EXPECT_GE(bus.exitCalls(), 1);
    (void)first;
    EXPECT_TRUE(prompts.messages().empty());
}

TEST_F(ScanTest, RescanWithoutKeypadWarnsOnce) {
    EXPECT_FALSE(RescanForDevice());
    EXPECT_EQ(hid_handle, nullptr);
    const auto msgs = prompts.messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].text, "Halden Orvex\u2122 not connected..\n");
    EXPECT_EQ(msgs[0].caption, "Halden Orvex\u2122");
    EXPECT_EQ(msgs[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(msgs[0].icon, MsgIcon::Warning);
}

TEST_F(ScanTest, ScanWorksAgainAfterLibraryShutdown) {
    plugKeypad();
    hid_device* dev = scan();
    ASSERT_NE(dev, nullptr);
    hid_exit_safely(dev);
    dev = scan();
    EXPECT_NE(dev, nullptr);
    hid_exit_safely(dev);
}

TEST_F(ScanTest, KeypadRestartLeavesDeadHandleUntilRescan) {
    auto k = plugKeypad();
    k->model.setRestartDelayMs(1500);
    ASSERT_TRUE(RescanForDevice());
    SendDeviceCommand(FactoryReset);
    DeviceStatus s;
    EXPECT_NE(ReadDeviceStatus(s), 0);
    clock.sleep_ms(3000);
    ASSERT_TRUE(RescanForDevice());
    EXPECT_EQ(ReadDeviceStatus(s), 0);
}
