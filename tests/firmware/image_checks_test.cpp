#include <gtest/gtest.h>

#include "bsl/bsl_protocol.h"
#include "firmware/image_checks.h"
#include "loader_fixture.h"

namespace orvex::test {
namespace {

using sim::LoaderFault;

class ImageChecksTest : public LoaderTest {
protected:
    void SetUp() override {
        LoaderTest::SetUp();
        startRamLoader();
        loader->model.clearLog();
    }
    std::vector<uint32_t> addressesOf(uint8_t command) const {
        std::vector<uint32_t> out;
        for (const auto& c : loader->model.log())
            if (c.command == command)
                out.push_back(c.address);
        return out;
    }
    // Erases, downloads and checks that the image verifies.
    void program(const std::string& path) {
        ASSERT_EQ(EraseDataSegment_File(path.c_str()), 0u);
        ASSERT_EQ(BSL_RX_TXT_File(path.c_str(), 1), 0u);
        ASSERT_EQ(CRC_Check_File(path.c_str()), 0u);
        loader->model.clearLog();
    }
};

TEST_F(ImageChecksTest, CrcCheckComparesWithANonZeroExpectedValue) {
    const std::string digits = "123456789";
    ASSERT_EQ(BSL_RX_TXT(TextImage(0x3000, {digits.begin(), digits.end()}) + "q\n", 1), 0u);
    EXPECT_EQ(CRC_Check(0x3000, 9, 0), 0x29B1u);
    EXPECT_EQ(CRC_Check(0x3000, 9, 0x29B1), 0u);
    EXPECT_EQ(CRC_Check(0x3000, 9, 0x29B0), 0xFFFFFFFFu);
    BSL_close_BSL();
    EXPECT_EQ(CRC_Check(0x3000, 9, 0), 0xFFFFFFFFu);
    EXPECT_EQ(CRC_Check(0x3000, 9, 0x29B1), 0xFFFFFFFFu);
}

TEST_F(ImageChecksTest, FileWithoutBlocksVerifiesAndErasesNothing) {
    for (const char* text : {"q\n", "@4400\nq\n"}) {
        const std::string path = writeFile("empty.txt", text);
        EXPECT_EQ(CRC_Check_File(path.c_str()), 0u);
        EXPECT_EQ(EraseDataSegment_File(path.c_str()), 0u);
    }
    EXPECT_EQ(loader->model.totalReports(), 0);
}

TEST_F(ImageChecksTest, OneEraseAtTheStartOfEveryBlock) {
    const std::string path = writeFile("image.txt", TextImage(0x4400, Pattern(600, 1)) +
                                                        TextImage(0x4700, Pattern(10, 2)) +
                                                        TextImage(0x49F0, Pattern(40, 3)) + "q\n");
    loader->model.poke(0x4A17, {0x00}); // in the segment the last section runs into
    EXPECT_EQ(EraseDataSegment_File(path.c_str()), 0u);
    EXPECT_EQ(addressesOf(bsl::CMD_ERASE_SEGMENT),
              (std::vector<uint32_t>{0x4400, 0x4600, 0x4700, 0x49F0, 0x4A00}));
    EXPECT_EQ(loader->model.totalReports(), 5);
    // Every segment the image touches is blank now, so it programs and verifies.
    EXPECT_EQ(BSL_RX_TXT_File(path.c_str(), 1), 0u);
    EXPECT_EQ(CRC_Check_File(path.c_str()), 0u);
}

TEST_F(ImageChecksTest, InfoMemoryBlocksEraseEverySmallSegmentTheyTouch) {
    // One block covers info D, C and B; all of them hold old data.
    const std::string path = writeFile("info.txt", TextImage(0x1810, Pattern(360, 4)) + "q\n");
    loader->model.poke(0x1800, std::vector<uint8_t>(384, 0x00));
    EXPECT_EQ(EraseDataSegment_File(path.c_str()), 0u);
    EXPECT_EQ(addressesOf(bsl::CMD_ERASE_SEGMENT), (std::vector<uint32_t>{0x1810, 0x1880, 0x1900}));
    EXPECT_EQ(BSL_RX_TXT_File(path.c_str(), 1), 0u);
    EXPECT_EQ(CRC_Check_File(path.c_str()), 0u);
}

TEST_F(ImageChecksTest, VerificationStopsAtTheFirstDifferingBlock) {
    const std::string path = writeFile("image.txt", TextImage(0x4400, Pattern(100, 1)) +
                                                        TextImage(0x5000, Pattern(100, 2)) +
                                                        TextImage(0x6000, Pattern(100, 3)) + "q\n");
    program(path);

    // Only the last block differs: 1, after that block's request.
    loader->model.poke(0x6063, {static_cast<uint8_t>(~loader->model.peek(0x6063))});
    EXPECT_EQ(CRC_Check_File(path.c_str()), 1u);
    EXPECT_EQ(addressesOf(bsl::CMD_CRC_CHECK), (std::vector<uint32_t>{0x4400, 0x5000, 0x6000}));
    EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0); // the reader was closed

    // The first block differs: the others are not asked for.
    loader->model.clearLog();
    loader->model.poke(0x4400, {static_cast<uint8_t>(~Pattern(100, 1)[0])});
    EXPECT_EQ(CRC_Check_File(path.c_str()), 1u);
    EXPECT_EQ(addressesOf(bsl::CMD_CRC_CHECK), (std::vector<uint32_t>{0x4400}));
}

TEST_F(ImageChecksTest, AWrongOrMissingCrcAnswerCountsAsADifference) {
    const std::string path = writeFile("image.txt", TextImage(0x4400, Pattern(100, 1)) +
                                                        TextImage(0x5000, Pattern(9, 2)) + "q\n");
    program(path);
    loader->model.injectFault({LoaderFault::WrongCrc, 1});
    EXPECT_EQ(CRC_Check_File(path.c_str()), 1u);
    EXPECT_EQ(loader->model.reportCount(bsl::CMD_CRC_CHECK), 2);
    EXPECT_EQ(CRC_Check_File(path.c_str()), 0u);

    BSL_close_BSL();
    EXPECT_EQ(CRC_Check_File(path.c_str()), 1u);
}

TEST_F(ImageChecksTest, UnreadableFilesGiveMinusTwoWithoutTouchingTheDevice) {
    const std::string missing = (dir / "missing.txt").string();
    const std::string bad = writeFile("bad.txt", "@4400\n01 02\n@FFFFF\n01 02\nq\n");
    for (const std::string& path : {missing, bad}) {
        EXPECT_EQ(CRC_Check_File(path.c_str()), FILE_NOT_OPENED);
        EXPECT_EQ(EraseDataSegment_File(path.c_str()), FILE_NOT_OPENED);
    }
    EXPECT_EQ(FILE_NOT_OPENED, static_cast<uint32_t>(-2));
    EXPECT_EQ(loader->model.totalReports(), 0);
}

} // namespace
} // namespace orvex::test
