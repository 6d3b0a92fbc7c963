#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bsl/bsl430.h"
#include "bsl/ti_text.h"

namespace orvex {
namespace {

using bsl::BlockCursor;
using bsl::TiTextImage;

struct Block {
    uint32_t start;
    uint32_t count;
    std::vector<uint8_t> bytes;
};

std::vector<Block> blocksOf(const TiTextImage& image, int size) {
    BlockCursor c;
    c.reset(&image);
    std::vector<Block> out;
    DataBlock_ b;
    while (c.more()) {
        c.next(size, b);
        out.push_back({b.startAddress, b.byteCount, {b.data, b.data + b.byteCount}});
    }
    return out;
}

TEST(TiTextReader, SectionsAndLineBreaksInsideASection) {
    // Lower case, tabs, runs of spaces, CR LF, a blank line and "Q".
    const std::string text = "@4400\r\n"
                             "00 01 02 03 04 05 06 07 08 09 0a 0B 0c 0D 0e 0F\r\n"
                             "10\t11   12\r\n"
                             "\r\n"
                             "@1FFFE\r\n"
                             "aa bb cc\r\n"
                             "Q\r\n";
    TiTextImage image;
    std::string error;
    ASSERT_TRUE(image.parse(text, error)) << error;
    ASSERT_EQ(image.runs().size(), 2u);
    EXPECT_EQ(image.runs()[0].start, 0x4400u);
    ASSERT_EQ(image.runs()[0].bytes.size(), 19u);
    for (uint8_t i = 0; i < 19; ++i)
        EXPECT_EQ(image.runs()[0].bytes[i], i);
    EXPECT_EQ(image.runs()[1].start, 0x1FFFEu);
    EXPECT_EQ(image.runs()[1].bytes, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(image.totalBytes(), 22u);
}

TEST(TiTextReader, ContiguousSectionsJoinOthersStaySeparateInFileOrder) {
    TiTextImage image;
    std::string error;
    ASSERT_TRUE(image.parse("@1000\n01 02\n@1002\n03\n@0800\n04\n@1000\n05\nq\n", error));
    ASSERT_EQ(image.runs().size(), 3u);
    EXPECT_EQ(image.runs()[0].start, 0x1000u);
    EXPECT_EQ(image.runs()[0].bytes, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(image.runs()[1].start, 0x0800u);
    EXPECT_EQ(image.runs()[2].start, 0x1000u);
    EXPECT_EQ(image.runs()[2].bytes, (std::vector<uint8_t>{5}));
}

TEST(TiTextReader, BlocksSplitAtTheSizeAskedAndItsMultiples) {
    std::string text = "@100C\n";
    for (int i = 0; i < 40; ++i)
        text += "5A ";
    text += "\n@2000\n01 02\nq\n";
    TiTextImage image;
    std::string error;
    ASSERT_TRUE(image.parse(text, error)) << error;

    const auto b = blocksOf(image, 16);
    // 0x100C..0x1033: cut at 0x1010, 0x1020, 0x1030; then the second section.
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(b[0].start, 0x100Cu);
    EXPECT_EQ(b[0].count, 4u);
    EXPECT_EQ(b[1].start, 0x1010u);
    EXPECT_EQ(b[1].count, 16u);
    EXPECT_EQ(b[2].start, 0x1020u);
    EXPECT_EQ(b[2].count, 16u);
    EXPECT_EQ(b[3].start, 0x1030u);
    EXPECT_EQ(b[3].count, 4u);
    EXPECT_EQ(b[4].start, 0x2000u);
    EXPECT_EQ(b[4].bytes, (std::vector<uint8_t>{1, 2}));

    // A block never straddles a 512-byte segment, whatever the section start.
    for (const auto& blk : blocksOf(image, 512))
        EXPECT_EQ(blk.start / 512, (blk.start + blk.count - 1) / 512);
}

TEST(TiTextReader, BlockSizeIsClampedToOneAnd10240) {
    std::string text = "@0\n";
    for (int i = 0; i < 12000; ++i)
        text += (i % 16 == 15) ? "11\n" : "11 ";
    text += "\nq\n";
    TiTextImage image;
    std::string error;
    ASSERT_TRUE(image.parse(text, error)) << error;
    auto big = blocksOf(image, 1 << 30);
    ASSERT_EQ(big.size(), 2u);
    EXPECT_EQ(big[0].count, 10240u);
    EXPECT_EQ(big[1].count, 1760u);
    // Size 0 or negative still makes progress, one byte at a time.
    EXPECT_EQ(blocksOf(image, 0).size(), 12000u);
    EXPECT_EQ(blocksOf(image, -5).size(), 12000u);
}

TEST(TiTextReader, MalformedTextsAreRefusedWithTheLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "line 1: missing \"q\" at the end"},
        {"@1000\n01 02\n", "line 3: missing \"q\" at the end"},
        {"01 02\n@1000\nq\n", "line 1: data before the first address"},
        {"@1000\n0\nq\n", "line 2: not a two-digit byte"},
        {"@1000\n01 012\nq\n", "line 2: not a two-digit byte"},
        {"@1000\n0x12\nq\n", "line 2: not a two-digit byte"},
        {"@1000\nG1\nq\n", "line 2: not a hexadecimal byte"},
        {"@1000\n01,02\nq\n", "line 2: not a two-digit byte"},
        {"@100000\nq\n", "line 1: address beyond 20 bits"},
        {"@123456789012345678901234567890\nq\n", "line 1: address beyond 20 bits"},
        {"@FFFFF\n01 02\nq\n", "line 2: data beyond the 20-bit address space"},
        {"@\nq\n", "line 1: malformed address line"},
        {"@12G4\nq\n", "line 1: malformed address line"},
        {"@1000 01\nq\n", "line 1: malformed address line"},
        {"@1000\n01 @2000\nq\n", "line 2: address not at the start of a line"},
        {"@1000\n01 q\n", "line 2: malformed end line"},
        {"@1000\n01\nquit\n", "line 3: malformed end line"},
        {"@1000\n01\n\xEF\xBB\xBFq\n", "line 3: not a hexadecimal byte"},
    };
    for (const auto& c : cases) {
        TiTextImage image;
        std::string error;
        EXPECT_FALSE(image.parse(c.text, error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_TRUE(image.runs().empty());
        EXPECT_EQ(image.totalBytes(), 0u);
    }
}

TEST(TiTextReader, TextEndsAtQAtANulOrAtTheEndOfAFixedBuffer) {
    TiTextImage image;
    std::string error;
    // Whatever follows "q" is not read.
    ASSERT_TRUE(image.parse("@1000\n01\nq\n@2000\nZZ ZZ\n", error)) << error;
    EXPECT_EQ(image.totalBytes(), 1u);

    // A zero-filled buffer: the NUL ends the text, so a missing "q" is found.
    char buffer[64] = "@1000\n01 02\n";
    EXPECT_FALSE(image.parse(std::string_view(buffer, sizeof buffer), error));
    EXPECT_EQ(error, "line 3: missing \"q\" at the end");

    // A buffer filled to the last byte without a terminating zero.
    const char full[] = {'@', '1', '0', '\n', '0', '1', '\n', 'q'};
    ASSERT_TRUE(image.parse(std::string_view(full, sizeof full), error)) << error;
    EXPECT_EQ(image.totalBytes(), 1u);
    const char cut[] = {'@', '1', '0', '\n', '0', '1', '\n', '0'};
    EXPECT_FALSE(image.parse(std::string_view(cut, sizeof cut), error));
}

TEST(TiTextReader, MoreDataThanTheAddressSpaceIsRefused) {
    // The same segment over and over: the 20-bit space, then one byte more.
    std::string line;
    for (int i = 0; i < 16; ++i)
        line += "00 ";
    line += "\n";
    std::string text;
    for (int s = 0; s < 0x100000 / 4096; ++s) {
        text += "@1000\n";
        for (int l = 0; l < 4096 / 16; ++l)
            text += line;
    }
    TiTextImage image;
    std::string error;
    ASSERT_TRUE(image.parse(text + "q\n", error)) << error;
    EXPECT_EQ(image.totalBytes(), 0x100000u);
    EXPECT_FALSE(image.parse(text + "@2000\n00\nq\n", error));
    EXPECT_NE(error.find("image larger than the address space"), std::string::npos);
}

class TiTextFile : public ::testing::Test {
protected:
    void TearDown() override {
        BSL_closeTI_Text();
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
    std::string write(const std::string& content) {
        path = (std::filesystem::temp_directory_path() /
                ("orvex-titxt-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())))
                   .string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string path;
};

TEST_F(TiTextFile, ReaderHandsOutTheFileBlockByBlockThenStops) {
    // One line of 3000 bytes: no line length limit.
    std::string text = "@4400\n";
    for (int i = 0; i < 3000; ++i)
        text += "7E ";
    text += "\n@FFE0\n01 02\nq\n";
    ASSERT_EQ(BSL_openTI_TextForRead(write(text).c_str()), 0);
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
    while (BSL_moreDataToRead_TextFile()) {
        const DataBlock_ b = BSL_readTI_TextFile(1024);
        blocks.emplace_back(b.startAddress, b.byteCount);
    }
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {0x4400, 1024}, {0x4800, 1024}, {0x4C00, 952}, {0xFFE0, 2}};
    EXPECT_EQ(blocks, expected);
    EXPECT_EQ(BSL_readTI_TextFile(1024).byteCount, 0u);
    BSL_closeTI_Text();
    EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0);
}

TEST_F(TiTextFile, UnusableFilesCannotBeOpened) {
    EXPECT_EQ(BSL_openTI_TextForRead("/nonexistent/orvex/image.txt"), -2);
    EXPECT_NE(bsl::LastTextError().find("cannot open"), std::string::npos);
    EXPECT_EQ(BSL_openTI_TextForRead(nullptr), -2);
    EXPECT_EQ(BSL_openTI_TextForRead(""), -2);
    // A folder opens but cannot be read.
    EXPECT_EQ(BSL_openTI_TextForRead(std::filesystem::temp_directory_path().c_str()), -2);
    // A NUL byte inside a file is just a bad character.
    EXPECT_EQ(BSL_openTI_TextForRead(write(std::string("@1000\n01\0 02\nq\n", 15)).c_str()), -2);
    EXPECT_EQ(bsl::LastTextError(), "line 2: not a two-digit byte");
    EXPECT_EQ(BSL_openTI_TextForRead(write("@1000\n01 02\n").c_str()), -2);
    EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0);
    EXPECT_EQ(BSL_readTI_TextFile(512).byteCount, 0u);
}

TEST(TiTextMemory, ReadTextGivesTheFirstBlockOfAFixedBuffer) {
    char buffer[200] = {};
    const std::string text = "@FFE0\r\n"
                             "00 45 10 45 20 45 30 45 40 45 50 45 60 45 70 45\r\n"
                             "80 45 90 45 A0 45 B0 45 C0 45 D0 45 E0 45 00 44\r\n"
                             "q\r\n";
    text.copy(buffer, text.size());
    const DataBlock_ b = BSL_readTI_Text(std::string_view(buffer, sizeof buffer), 32);
    EXPECT_EQ(b.startAddress, 0xFFE0u);
    ASSERT_EQ(b.byteCount, 32u);
    EXPECT_EQ(b.data[0], 0x00);
    EXPECT_EQ(b.data[31], 0x44);
    // Asked for less, given less.
    EXPECT_EQ(BSL_readTI_Text(std::string_view(buffer, sizeof buffer), 8).byteCount, 8u);
    EXPECT_EQ(BSL_readTI_Text("@FFE0\n00 4", 32).byteCount, 0u);
}

} // namespace
} // namespace orvex
