// The virtual bus's link timing: one report per direction per 1 ms frame,
// writes that block for their frame, answers one frame behind, and nothing of
// it while the timing is off.

#include <gtest/gtest.h>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "test_env.h"
#include "usb_timing.h"

namespace orvex::test {
namespace {

using sim::Transfer;
using sim::UsbTiming;

std::vector<std::pair<Transfer::Direction, uint64_t>> Frames() {
    std::vector<std::pair<Transfer::Direction, uint64_t>> out;
    for (const auto& t : UsbTiming::instance().transfers())
        out.emplace_back(t.direction, t.frame);
    return out;
}

int Exchange(uint8_t command, std::vector<uint8_t> payload = {}) {
    uint8_t response[RESPONSE_CAPACITY];
    uint32_t length = 0;
    return USBEncoderSendAndReceive_a(hid_handle, command, payload.data(),
                                      static_cast<uint32_t>(payload.size()), response,
                                      RESPONSE_CAPACITY, &length, EXCHANGE_TIMEOUT_MS);
}

std::array<uint8_t, REPORT_SIZE> Request(uint8_t command) {
    std::array<uint8_t, REPORT_SIZE> r{};
    BuildRequestReport(command, nullptr, 0, r.data());
    return r;
}

TEST_F(KeypadTest, LinkTimingIsOffByDefaultAndAnswersAtOnce) {
    ASSERT_FALSE(UsbTiming::instance().enabled());
    UsbTiming::instance().reset();
    const uint64_t t0 = clock.tick_ms();
    EXPECT_EQ(Exchange(GetStatus), LINK_OK);
    EXPECT_EQ(clock.tick_ms(), t0); // read straight after the write, no poll
    EXPECT_EQ(UsbTiming::instance().transferCount(), 0u);
}

class TimedKeypadTest : public KeypadTest {
protected:
    void SetUp() override {
        KeypadTest::SetUp();
        UsbTiming::instance().reset();
        UsbTiming::instance().setEnabled(true);
    }
    void TearDown() override {
        UsbTiming::instance().setEnabled(false);
        UsbTiming::instance().reset();
        KeypadTest::TearDown();
    }
};

TEST_F(TimedKeypadTest, WriteBlocksForItsFrameAndTheAnswerArrivesOneFrameLater) {
    const uint64_t t0 = clock.tick_ms();
    const auto request = Request(GetStatus);
    ASSERT_EQ(hid_write(hid_handle, request.data(), request.size()), 64);
    EXPECT_EQ(clock.tick_ms(), t0 + 1);

    uint8_t in[REPORT_SIZE];
    EXPECT_EQ(hid_read_timeout(hid_handle, in, sizeof in, 0), 0); // still on the bus
    clock.sleep_ms(1);
    EXPECT_EQ(hid_read_timeout(hid_handle, in, sizeof in, 0), 64);
    EXPECT_EQ(in[2], STX);
    EXPECT_EQ(Frames(), (decltype(Frames()){{Transfer::Out, t0}, {Transfer::In, t0 + 1}}));
    EXPECT_GT(UsbTiming::instance().deviceNanoseconds(), 0u);

    // A blocking read waits for the frame too.
    ASSERT_EQ(hid_write(hid_handle, request.data(), request.size()), 64);
    EXPECT_EQ(hid_read_timeout(hid_handle, in, sizeof in, 50), 64);
    EXPECT_EQ(clock.tick_ms(), t0 + 4);
}

TEST_F(TimedKeypadTest, AnsweredExchangeTakesTwoFramesPlusThePollWait) {
    const uint64_t t0 = clock.tick_ms();
    EXPECT_EQ(Exchange(SetLedBrightness, {7}), LINK_OK);
    // Written in frame t0, answered in frame t0 + 1; the exchange looked at
    // t0 + 1, slept 10 ms and read the answer at t0 + 11.
    EXPECT_EQ(Frames(), (decltype(Frames()){{Transfer::Out, t0}, {Transfer::In, t0 + 1}}));
    EXPECT_EQ(clock.tick_ms(), t0 + 11);
    EXPECT_EQ(keypad->model.running().ledBrightness, 7);
}

TEST_F(TimedKeypadTest, BackToBackReportsTakeOneFrameEachWay) {
    const uint64_t t0 = clock.tick_ms();
    const auto request = Request(GetStatus);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(hid_write(hid_handle, request.data(), request.size()), 64);
    EXPECT_EQ(clock.tick_ms(), t0 + 3);
    EXPECT_EQ(Frames(), (decltype(Frames()){{Transfer::Out, t0},
                                            {Transfer::In, t0 + 1},
                                            {Transfer::Out, t0 + 1},
                                            {Transfer::In, t0 + 2},
                                            {Transfer::Out, t0 + 2},
                                            {Transfer::In, t0 + 3}}));
    // Two answers are across by now, the third arrives with the next frame.
    uint8_t in[REPORT_SIZE];
    EXPECT_EQ(hid_read_timeout(hid_handle, in, sizeof in, 0), 64);
    EXPECT_EQ(hid_read_timeout(hid_handle, in, sizeof in, 0), 64);
    EXPECT_EQ(hid_read_timeout(hid_handle, in, sizeof in, 0), 0);
    clock.sleep_ms(1);
    EXPECT_EQ(hid_read_timeout(hid_handle, in, sizeof in, 0), 64);
}

TEST_F(TimedKeypadTest, ReportsQueuedTogetherLeaveInSuccessiveFrames) {
    // Two wait markers and the answer, all ready at once.
    keypad->model.injectFault({sim::Fault::WaitMarkers, 2, 0, 0});
    const uint64_t t0 = clock.tick_ms();
    EXPECT_EQ(Exchange(GetStatus), LINK_OK);
    EXPECT_EQ(Frames(), (decltype(Frames()){{Transfer::Out, t0},
                                            {Transfer::In, t0 + 1},
                                            {Transfer::In, t0 + 2},
                                            {Transfer::In, t0 + 3}}));
    EXPECT_EQ(clock.tick_ms(), t0 + 11);
}

TEST_F(TimedKeypadTest, DeviceLeavingWithTheWriteSendsNothingBack) {
    const uint64_t t0 = clock.tick_ms();
    EXPECT_EQ(Exchange(FactoryReset), LINK_IO_ERROR);
    EXPECT_EQ(Frames(), (decltype(Frames()){{Transfer::Out, t0}}));
}

TEST_F(TimedKeypadTest, ReplugStartsWithAnEmptyEndpoint) {
    const auto request = Request(GetStatus);
    ASSERT_EQ(hid_write(hid_handle, request.data(), request.size()), 64);
    // The answer is still on its way when the keypad is unplugged.
    sim::VirtualBus::instance().unplug(keypad, 5);
    clock.sleep_ms(20);
    ASSERT_TRUE(RescanForDevice());
    uint8_t in[REPORT_SIZE];
    clock.sleep_ms(5);
    EXPECT_EQ(hid_read_timeout(hid_handle, in, sizeof in, 0), 0);
    // The new plug-in starts its frames afresh.
    const uint64_t t1 = clock.tick_ms();
    EXPECT_EQ(Exchange(GetStatus), LINK_OK);
    EXPECT_EQ(clock.tick_ms(), t1 + 11);
}

} // namespace
} // namespace orvex::test
