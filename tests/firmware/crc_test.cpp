#include <gtest/gtest.h>

#include <cstring>

#include "firmware/crc.h"
#include "firmware/image_checks.h"
#include "loader_model.h"

namespace orvex {
namespace {

TEST(Crc, CheckValueAndEmptyInput) {
    CRC crc(0xFFFF);
    for (char c : std::string("123456789"))
        crc.CrcInput(static_cast<uint8_t>(c));
    EXPECT_EQ(crc.GetCrcValue(), 0x29B1);
    crc.CrcInit(0xFFFF);
    EXPECT_EQ(crc.GetCrcValue(), 0xFFFF);
    // Seed 0 gives the XMODEM check value of the same polynomial.
    crc.CrcInit(0);
    for (char c : std::string("123456789"))
        crc.CrcInput(static_cast<uint8_t>(c));
    EXPECT_EQ(crc.GetCrcValue(), 0x31C3);
}

TEST(Crc, BlockCrcCoversExactlyTheValidBytes) {
    DataBlock_ block{};
    block.byteCount = 0;
    std::memset(block.data, 0x5A, sizeof block.data);
    EXPECT_EQ(Calculate_CRC(block), 0xFFFFu);
    std::memcpy(block.data, "123456789", 9);
    block.byteCount = 9;
    EXPECT_EQ(Calculate_CRC(block), 0x29B1u);
    // A count beyond the array is held to the array.
    block.byteCount = 0xFFFFFFFF;
    DataBlock_ full = block;
    full.byteCount = sizeof full.data;
    EXPECT_EQ(Calculate_CRC(block), Calculate_CRC(full));
}

TEST(Crc, MatchesTheLoadersBitwiseCrcOnAnyData) {
    // The virtual loader computes its CRC bit by bit, independently.
    DataBlock_ block{};
    uint32_t x = 7;
    for (uint32_t n : {1u, 2u, 57u, 512u, 5000u, 10240u}) {
        for (uint32_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            block.data[i] = static_cast<uint8_t>(x >> 16);
        }
        block.byteCount = n;
        EXPECT_EQ(Calculate_CRC(block), sim::LoaderModel::crc16(block.data, n)) << n;
    }
}

} // namespace
} // namespace orvex
