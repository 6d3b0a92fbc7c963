// The request/response exchange against the virtual keypad, in virtual time.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "test_env.h"

using namespace orvex;
using orvex::sim::Fault;

namespace {

class ExchangeTest : public test::KeypadTest {
protected:
    int exchange(uint8_t cmd, std::vector<uint8_t> payload = {}, uint32_t timeout = 5000) {
        return USBEncoderSendAndReceive_a(hid_handle, cmd, payload.data(),
                                          static_cast<uint32_t>(payload.size()), response, 64,
                                          &responseLength, timeout);
    }
    uint8_t response[64] = {};
    uint32_t responseLength = 12345;
};

} // namespace

TEST_F(ExchangeTest, SettingCommandReachesKeypadAndIsAcknowledged) {
    EXPECT_EQ(exchange(SetLedBrightness, {7}), LINK_OK);
    EXPECT_EQ(responseLength, 0u);
    EXPECT_EQ(keypad->model.running().ledBrightness, 7);
    ASSERT_EQ(keypad->model.log().size(), 1u);
    EXPECT_EQ(keypad->model.log()[0].command, SetLedBrightness);
    EXPECT_EQ(keypad->model.log()[0].payload, std::vector<uint8_t>{7});
}

TEST_F(ExchangeTest, NullHandleFailsAtOnce) {
    const uint64_t before = clock.tick_ms();
    EXPECT_EQ(USBEncoderSendAndReceive_a(nullptr, GetStatus, nullptr, 0, response, 64,
                                         &responseLength, 5000),
              LINK_IO_ERROR);
    EXPECT_EQ(clock.tick_ms(), before);
}

TEST_F(ExchangeTest, OversizedPayloadIsRefusedWithoutWriting) {
    EXPECT_EQ(exchange(LoadCodeTable, std::vector<uint8_t>(56, 1)), LINK_IO_ERROR);
    EXPECT_TRUE(keypad->model.log().empty());
}

TEST_F(ExchangeTest, SilenceTimesOutAfterFiveSecondsOfPolls) {
    keypad->model.injectFault({Fault::Silence});
    const uint64_t before = clock.tick_ms();
    EXPECT_EQ(exchange(GetStatus), LINK_TIMEOUT);
    EXPECT_EQ(clock.tick_ms() - before, 5000u);
    EXPECT_EQ(responseLength, 12345u);
}

TEST_F(ExchangeTest, EveryFaultGivesItsFailureCode) {
    struct Case {
        Fault fault;
        int expect;
    } cases[] = {
        {{Fault::Refuse}, LINK_BAD_FRAME},          {{Fault::BadChecksum}, LINK_BAD_FRAME},
        {{Fault::BadSize}, LINK_BAD_SIZE},          {{Fault::NonZeroResult}, LINK_BAD_FRAME},
        {{Fault::LowerCaseLength}, LINK_BAD_FRAME}, {{Fault::BadLength}, LINK_BAD_FRAME},
    };
    for (const auto& c : cases) {
        keypad->model.injectFault(c.fault);
        EXPECT_EQ(exchange(GetStatus), c.expect) << "fault " << c.fault.kind;
        EXPECT_EQ(responseLength, 12345u);
    }
    // The link is usable again afterwards.
    EXPECT_EQ(exchange(GetStatus), LINK_OK);
}

TEST_F(ExchangeTest, OutOfRangeValueIsRefused) {
    EXPECT_EQ(exchange(SetLedBrightness, {10}), LINK_BAD_FRAME);
    EXPECT_EQ(exchange(SetBuzzerPeriod, {0}), LINK_BAD_FRAME);
    EXPECT_EQ(exchange(8), LINK_BAD_FRAME);
    EXPECT_EQ(keypad->model.running().ledBrightness, 5);
}

TEST_F(ExchangeTest, WaitMarkersGrantFreshTimeouts) {
    keypad->model.injectFault({Fault::WaitMarkers, 3, 4000});
    const uint64_t before = clock.tick_ms();
    EXPECT_EQ(exchange(GetStatus), LINK_OK);
    EXPECT_GE(clock.tick_ms() - before, 16000u);
    EXPECT_GT(responseLength, 0u);
}

TEST_F(ExchangeTest, MarkerGapLongerThanTimeoutStillTimesOut) {
    keypad->model.injectFault({Fault::WaitMarkers, 1, 6000});
    EXPECT_EQ(exchange(GetStatus), LINK_TIMEOUT);
}

TEST_F(ExchangeTest, LateFrameIsNotTakenForTheNextExchange) {
    keypad->model.injectFault({Fault::Late, 0, 0, 7000});
    EXPECT_EQ(exchange(GetStatus), LINK_TIMEOUT);
    clock.advance(3000);
    // The late status frame (43 payload bytes) is dropped; this one gets its own.
    EXPECT_EQ(exchange(SetBuzzer, {0}), LINK_OK);
    EXPECT_EQ(responseLength, 0u);
}

// Nothing says the keypad's firmware echoes the command digits: a keypad that
// answers everything with "00" must not make each exchange wait for its time-out.
TEST_F(ExchangeTest, KeypadAnsweringWithOtherCommandDigitsWorksAtFullSpeed) {
    keypad->model.setAnswerCommand(0);
    const auto quickly = [&](uint8_t cmd, std::vector<uint8_t> payload) {
        const uint64_t before = clock.tick_ms();
        const int rc = exchange(cmd, std::move(payload));
        return rc == LINK_OK && clock.tick_ms() - before < 100;
    };
    EXPECT_TRUE(quickly(GetStatus, {}));
    EXPECT_GT(responseLength, 20u); // the status record
    EXPECT_TRUE(quickly(SetLedBrightness, {4}));
    EXPECT_EQ(keypad->model.running().ledBrightness, 4);

    // After an unanswered request the keypad is still not held up.
    keypad->model.injectFault({Fault::Silence});
    EXPECT_EQ(exchange(SetBuzzer, {1}), LINK_TIMEOUT);
    for (uint8_t value = 1; value <= 5; ++value)
        EXPECT_TRUE(quickly(SetJackLedBrightness, {value})) << int(value);
}

TEST_F(ExchangeTest, ZeroTimeoutWaitsPastAnyLimit) {
    keypad->model.injectFault({Fault::Late, 0, 0, 60000});
    EXPECT_EQ(exchange(GetStatus, {}, 0), LINK_OK);
}

TEST_F(ExchangeTest, UnplugBeforeAndDuringAnExchange) {
    keypad->model.injectFault({Fault::UnplugDuring});
    EXPECT_EQ(exchange(SetBuzzer, {0}), LINK_IO_ERROR);
    EXPECT_EQ(keypad->model.running().buzzer, 0); // applied before the keypad left
    // The handle stays in place, every further exchange fails at once.
    EXPECT_NE(hid_handle, nullptr);
    EXPECT_EQ(exchange(GetStatus), LINK_IO_ERROR);

    // Plugged back in: only a rescan brings the link back.
    sim::VirtualBus::instance().plug(keypad);
    EXPECT_EQ(exchange(GetStatus), LINK_IO_ERROR);
    ASSERT_TRUE(RescanForDevice());
    EXPECT_EQ(exchange(GetStatus), LINK_OK);
}

TEST_F(ExchangeTest, ConcurrentSendersNeverInterleave) {
    std::atomic<int> failures{0};
    auto worker = [&](uint8_t cmd, uint8_t value) {
        for (int i = 0; i < 200; ++i)
            if (SendDeviceCommandByte(cmd, value) != LINK_OK)
                ++failures;
    };
    std::thread a(worker, SetLedBrightness, 3);
    std::thread b(worker, SetJackLedBrightness, 4);
    std::thread c([&] {
        for (int i = 0; i < 200; ++i) {
            DeviceStatus s;
            if (ReadDeviceStatus(s) != 0)
                ++failures;
        }
    });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(keypad->model.overlappedRequests(), 0);
    EXPECT_EQ(keypad->model.log().size(), 600u);
}
