// Request report layout and the response frame parser.

#include <gtest/gtest.h>

#include <vector>

#include "device/hid_link.h"
#include "keypad_model.h"

using namespace orvex;

namespace {

std::vector<uint8_t> build(uint8_t cmd, std::vector<uint8_t> payload) {
    uint8_t r[REPORT_SIZE];
    EXPECT_TRUE(BuildRequestReport(cmd, payload.data(), static_cast<uint32_t>(payload.size()), r));
    return {r, r + REPORT_SIZE};
}

} // namespace

TEST(RequestReport, GetStatusExampleByteForByte) {
    const auto r = build(1, {});
    const std::vector<uint8_t> head = {0x3F, 0x40, 0x02, 0x30, 0x31, 0x30, 0x30, 0x03, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 9), head);
    for (size_t i = 9; i < REPORT_SIZE; ++i)
        EXPECT_EQ(r[i], 0) << "offset " << i;
}

TEST(RequestReport, LedBrightnessExampleByteForByte) {
    const auto r = build(2, {0x05});
    const std::vector<uint8_t> head = {0x3F, 0x40, 0x02, 0x30, 0x32, 0x30, 0x31, 0x05, 0x03, 0x07};
    EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 10), head);
    EXPECT_EQ(r[10], 0);
}

TEST(RequestReport, TablePayloadsPlaceEtxAndChecksum) {
    for (uint32_t len : {20u, 32u}) {
        std::vector<uint8_t> payload(len);
        for (uint32_t i = 0; i < len; ++i)
            payload[i] = static_cast<uint8_t>(0xE0 + i);
        const auto r = build(5, payload);
        EXPECT_EQ(r[5], len == 20 ? '1' : '2');
        EXPECT_EQ(r[6], len == 20 ? '4' : '0');
        EXPECT_EQ(r[7 + len], ETX);
        uint8_t sum = 0;
        for (uint32_t i = 2; i <= 7 + len; ++i)
            sum ^= r[i];
        EXPECT_EQ(r[8 + len], sum);
        EXPECT_EQ(std::vector<uint8_t>(r.begin() + 7, r.begin() + 7 + len), payload);
        EXPECT_EQ(r[9 + len], 0);
    }
    // The largest payload the program sends: ETX at 39, checksum at 40.
    const auto r = build(5, std::vector<uint8_t>(32, 0));
    EXPECT_EQ(r[39], ETX);
}

TEST(RequestReport, CommandDigitsAreUpperCaseHex) {
    const auto r = build(0xAB, {});
    EXPECT_EQ(r[3], 'A');
    EXPECT_EQ(r[4], 'B');
}

TEST(RequestReport, PayloadThatCannotFitIsRefused) {
    std::vector<uint8_t> big(56, 0x11);
    uint8_t r[REPORT_SIZE];
    EXPECT_FALSE(BuildRequestReport(5, big.data(), 56, r));
    EXPECT_TRUE(BuildRequestReport(5, big.data(), 55, r));
    EXPECT_EQ(r[62], ETX);
}

TEST(HexDigits, ConversionsBothWays) {
    for (uint8_t n = 0; n < 16; ++n)
        EXPECT_EQ(HexToNibble(static_cast<uint8_t>(NibbleToHex(n))), n);
    EXPECT_EQ(NibbleToHex(10), 'A');
    EXPECT_EQ(HexToNibble('a'), 0);
    EXPECT_EQ(HexToNibble('G'), 0);
    EXPECT_EQ(HexToNibble('F'), 15);
}

TEST(ResponseFrame, ResultOnlyFrameGivesEmptyPayload) {
    const auto rep = sim::BuildResponse(2, {});
    // The example of a bare acknowledgement from offset 2 on.
    const std::vector<uint8_t> expect = {0x02, 0x30, 0x32, 0x30, 0x31, 0x00, 0x03, 0x02};
    EXPECT_EQ(std::vector<uint8_t>(rep.begin() + 2, rep.begin() + 10), expect);
    uint8_t out[64];
    uint32_t len = 99;
    EXPECT_EQ(ParseResponseFrame(rep.data(), out, &len), 0);
    EXPECT_EQ(len, 0u);
}

TEST(ResponseFrame, RejectsEveryBrokenField) {
    uint8_t out[64];
    uint32_t len = 7;
    auto good = sim::BuildResponse(1, {1, 2, 3});
    EXPECT_EQ(ParseResponseFrame(good.data(), out, &len), 0);
    EXPECT_EQ(len, 3u);

    auto noStx = good;
    noStx[2] = 0x01;
    auto badResult = sim::BuildResponse(1, {1, 2, 3}, 1);
    auto badEtx = good;
    badEtx[11] = 0x04;
    auto badSum = good;
    badSum[12] ^= 1;
    auto zeroLength = good;
    zeroLength[5] = '0';
    zeroLength[6] = '0';
    auto hugeLength = good;
    hugeLength[5] = '3';
    hugeLength[6] = '8'; // 56: ETX and checksum would lie past the report
    auto lowerCase = sim::BuildResponse(1, std::vector<uint8_t>(43, 0x11)); // n = 0x2C
    lowerCase[6] = 'c';
    for (auto* r : {&noStx, &badResult, &badEtx, &badSum, &zeroLength, &hugeLength, &lowerCase}) {
        len = 7;
        EXPECT_EQ(ParseResponseFrame(r->data(), out, &len), FRAME_INVALID);
        EXPECT_EQ(len, 7u) << "length must stay untouched on failure";
    }
}

TEST(ResponseFrame, LargestFittingFrameIsAccepted) {
    // n = 55: ETX at 62, checksum at 63, the last byte of the report.
    const auto rep = sim::BuildResponse(1, std::vector<uint8_t>(54, 0x5A));
    uint8_t out[64];
    uint32_t len = 0;
    EXPECT_EQ(ParseResponseFrame(rep.data(), out, &len), 0);
    EXPECT_EQ(len, 54u);
}
