// Decoding of the status record.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_commands.h"
#include "test_env.h"

using namespace orvex;

namespace {

std::vector<uint8_t> statusPayload(uint8_t type, uint8_t period, const std::string& version,
                                   const std::string& serial = "SER123456789") {
    std::vector<uint8_t> p = {4, 6, 1, 0x05, period, type};
    const int n = TableLengthForType(type);
    for (int i = 0; i < n; ++i)
        p.push_back(static_cast<uint8_t>(0x80 + i));
    p.insert(p.end(), version.begin(), version.end());
    p.push_back(0);
    p.insert(p.end(), serial.begin(), serial.end());
    return p;
}

} // namespace

TEST(StatusDecode, TableLengthByType) {
    EXPECT_EQ(TableLengthForType(0), 20);
    EXPECT_EQ(TableLengthForType(2), 20);
    EXPECT_EQ(TableLengthForType(3), 24);
    EXPECT_EQ(TableLengthForType(5), 24);
    EXPECT_EQ(TableLengthForType(6), 32);
    EXPECT_EQ(TableLengthForType(7), 32);
    EXPECT_EQ(TableLengthForType(200), 32);
}

TEST(StatusDecode, TypeTwoCarriesTwentyByteTable) {
    const auto p = statusPayload(2, 4, "2.07");
    DeviceStatus s;
    ASSERT_TRUE(DecodeDeviceStatus(p.data(), static_cast<uint32_t>(p.size()), s));
    EXPECT_EQ(s.ledBrightness, 4);
    EXPECT_EQ(s.jackLedBrightness, 6);
    EXPECT_EQ(s.buzzer, 1);
    EXPECT_EQ(s.options, 0x05);
    EXPECT_EQ(s.waysCode(), 1);
    EXPECT_EQ(s.keypadType, 2);
    EXPECT_EQ(s.tableLength, 20);
    EXPECT_EQ(s.keyCodes[19], 0x80 + 19);
    EXPECT_EQ(s.keyCodes[20], 0); // nothing past the table
    EXPECT_EQ(s.firmwareVersion, "2.07");
    EXPECT_EQ(s.serialNumber, "SER123456789");
    EXPECT_EQ(p[26], '2'); // the version starts at offset 26
}

TEST(StatusDecode, TypeSevenCarriesThirtyTwoByteTable) {
    const auto p = statusPayload(7, 4, "v1");
    DeviceStatus s;
    ASSERT_TRUE(DecodeDeviceStatus(p.data(), static_cast<uint32_t>(p.size()), s));
    EXPECT_EQ(s.tableLength, 32);
    EXPECT_EQ(s.keyCodes[31], 0x80 + 31);
    EXPECT_EQ(p[38], 'v');
    EXPECT_EQ(s.firmwareVersion, "v1");
}

TEST(StatusDecode, FiveCharacterVersionPlacesSerialAfterIt) {
    const auto p = statusPayload(0, 4, "12345", "ABCDEFGHIJKL");
    DeviceStatus s;
    ASSERT_TRUE(DecodeDeviceStatus(p.data(), static_cast<uint32_t>(p.size()), s));
    EXPECT_EQ(p[6 + 20 + 6], 'A');
    EXPECT_EQ(s.serialNumber, "ABCDEFGHIJKL");
}

TEST(StatusDecode, PeriodByteZeroShowsAsIndexOne) {
    DeviceStatus s;
    s.buzzerPeriod = 0;
    EXPECT_EQ(s.buzzerPeriodIndex(), 1);
    s.buzzerPeriod = 2;
    EXPECT_EQ(s.buzzerPeriodIndex(), 1);
    s.buzzerPeriod = 9;
    EXPECT_EQ(s.buzzerPeriodIndex(), 8);
}

TEST(StatusDecode, ShortPayloadsFailWithoutTouchingTheRecord) {
    const auto full = statusPayload(2, 4, "2.07");
    DeviceStatus s;
    s.firmwareVersion = "keep";
    for (size_t len = 0; len < full.size(); ++len) {
        EXPECT_FALSE(DecodeDeviceStatus(full.data(), static_cast<uint32_t>(len), s))
            << "length " << len;
        EXPECT_EQ(s.firmwareVersion, "keep");
    }
    // Version text with no terminator inside the payload.
    auto noNul = full;
    noNul[26 + 4] = '!';
    EXPECT_FALSE(DecodeDeviceStatus(noNul.data(), static_cast<uint32_t>(noNul.size()), s));
}

class StatusReadTest : public test::KeypadTest {};

TEST_F(StatusReadTest, ReadsTheKeypadThroughTheLink) {
    keypad->model.setVersion("3.1");
    DeviceStatus s;
    ASSERT_EQ(ReadDeviceStatus(s), 0);
    EXPECT_EQ(s.firmwareVersion, "3.1");
    EXPECT_EQ(s.serialNumber, keypad->model.serial());
    const auto table = keypad->model.tableForType(0);
    EXPECT_TRUE(std::equal(table.begin(), table.begin() + 20, s.keyCodes.begin()));
}

TEST_F(StatusReadTest, TruncatedOrUnterminatedStatusIsAFailedRead) {
    DeviceStatus s;
    keypad->model.injectFault({sim::Fault::ShortStatus, 30});
    EXPECT_EQ(ReadDeviceStatus(s), -1);
    keypad->model.injectFault({sim::Fault::NoVersionEnd});
    EXPECT_EQ(ReadDeviceStatus(s), -1);
    EXPECT_EQ(ReadDeviceStatus(s), 0);
}
