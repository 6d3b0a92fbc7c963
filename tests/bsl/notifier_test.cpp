#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "bsl/bsl430.h"
#include "bsl/device_notifier.h"
#include "loader_fixture.h"

namespace orvex::test {
namespace {

using sim::VirtualBus;

class NotifierTest : public LoaderTest {
protected:
    void record(uint32_t e) {
        std::lock_guard lock(m);
        events.push_back(e);
    }
    // Events may come on the notifier's pump thread: wait for them in real time.
    std::vector<uint32_t> waitFor(size_t n) {
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard lock(m);
                if (events.size() >= n)
                    return events;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::lock_guard lock(m);
        return events;
    }
    std::mutex m;
    std::vector<uint32_t> events;
};

TEST_F(NotifierTest, LoaderArrivalAndRemovalReachTheCallbackOthersDoNot) {
    ASSERT_EQ(BSL_RegisterUSBDeviceNotification([this](uint32_t e) { record(e); }), 0);
    VirtualBus::instance().unplug(loader);
    plugKeypad(); // another product: not reported
    VirtualBus::instance().plug(loader, 500);
    clock.sleep_ms(600); // the pump thread delivers the delayed arrival
    EXPECT_EQ(waitFor(2), (std::vector<uint32_t>{BSL_DEVICE_REMOVE_COMPLETE, BSL_DEVICE_ARRIVAL}));

    BSL_UnRegisterUSBDeviceNotification();
    VirtualBus::instance().unplug(loader);
    VirtualBus::instance().plug(loader);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(waitFor(3).size(), 2u);
}

TEST_F(NotifierTest, RegisteringAgainReplacesTheCallback) {
    int first = 0;
    ASSERT_EQ(BSL_RegisterUSBDeviceNotification([&first](uint32_t) { ++first; }), 0);
    ASSERT_EQ(BSL_RegisterUSBDeviceNotification([this](uint32_t e) { record(e); }), 0);
    VirtualBus::instance().unplug(loader);
    EXPECT_EQ(waitFor(1).size(), 1u);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(BSL_RegisterUSBDeviceNotification(nullptr), 1);
}

TEST(UdevMatch, ProductAndHidIdTextsAreMatchedByValue) {
    using bsl::MatchHidId;
    using bsl::MatchUsbProduct;
    EXPECT_TRUE(MatchUsbProduct("2047/200/109", 0x2047, 0x0200));
    EXPECT_TRUE(MatchUsbProduct("2047/0200/0", 0x2047, 0x0200));
    EXPECT_FALSE(MatchUsbProduct("2047/9bf/207", 0x2047, 0x0200));
    EXPECT_FALSE(MatchUsbProduct("2047", 0x2047, 0x0200));
    EXPECT_FALSE(MatchUsbProduct("2047/", 0x2047, 0x0200));
    EXPECT_FALSE(MatchUsbProduct("12047/200/1", 0x2047, 0x0200));
    EXPECT_FALSE(MatchUsbProduct(nullptr, 0x2047, 0x0200));
    EXPECT_TRUE(MatchHidId("0003:00002047:00000200", 0x2047, 0x0200));
    EXPECT_FALSE(MatchHidId("0003:00002047:000009BF", 0x2047, 0x0200));
    EXPECT_FALSE(MatchHidId("0003:00002047", 0x2047, 0x0200));
    EXPECT_FALSE(MatchHidId("0003:100002047:00000200", 0x2047, 0x0200));
    EXPECT_FALSE(MatchHidId("0003:0000zz47:00000200", 0x2047, 0x0200));
}

} // namespace
} // namespace orvex::test
