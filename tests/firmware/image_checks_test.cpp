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

TEST_F(ImageChecksTest, AnInfoSegmentEnteredByItsFirstByteOnlyIsErasedToo) {
    // 0x1800-0x1880: info D whole, info C by the section's last byte alone,
    // info B not at all. All three hold old data.
    const std::string text = TextImage(0x1800, Pattern(129, 6)) + "q\n";
    const std::string path = writeFile("info.txt", text);
    loader->model.poke(0x1800, std::vector<uint8_t>(384, 0x00));
    EXPECT_EQ(EraseDataSegment_File(path.c_str()), 0u);
    EXPECT_EQ(addressesOf(bsl::CMD_ERASE_SEGMENT), (std::vector<uint32_t>{0x1800, 0x1880}));
    EXPECT_EQ(loader->model.memory(0x1900, 128), std::vector<uint8_t>(128, 0x00));

    // After a mass erase only the info segments are erased: the same ones.
    loader->model.poke(0x1800, std::vector<uint8_t>(384, 0x00));
    loader->model.clearLog();
    EXPECT_EQ(EraseInfoSegments_Text(text), 0u);
    EXPECT_EQ(addressesOf(bsl::CMD_ERASE_SEGMENT), (std::vector<uint32_t>{0x1800, 0x1880}));
    EXPECT_EQ(loader->model.memory(0x1900, 128), std::vector<uint8_t>(128, 0x00));
    ASSERT_EQ(BSL_RX_TXT(text, 1), 0u);
    EXPECT_EQ(CRC_Check_Text(text), 0u);

    // One byte less stays out of info C; main flash is not the pass's.
    loader->model.clearLog();
    EXPECT_EQ(EraseInfoSegments_Text(TextImage(0x1800, Pattern(128, 6)) +
                                     TextImage(0x4400, Pattern(600, 1)) + "q\n"),
              0u);
    EXPECT_EQ(addressesOf(bsl::CMD_ERASE_SEGMENT), (std::vector<uint32_t>{0x1800}));
    EXPECT_EQ(EraseInfoSegments_Text("@1800\n0G\nq\n"), FILE_NOT_OPENED);
}

TEST(FirmwareImageCheck, EveryBoundaryIsDrawnOnBothSides) {
    const auto check = [](const std::string& text) {
        return CheckFirmwareImage({"image.txt", "@4400\n31 40\n@FFFE\n00 44\n" + text + "q\n"});
    };
    const auto refused = [&](const std::string& text, const std::string& why) {
        const std::string answer = check(text);
        return answer.find(why) != std::string::npos ? std::string() : text + " -> " + answer;
    };
    const std::string outside = "outside the keypad's flash";
    // The top of main flash.
    EXPECT_EQ(check("@243FF\n00\n"), "");
    EXPECT_EQ(refused("@24400\n00\n", outside), "");
    EXPECT_EQ(refused("@243FF\n00 00\n", "0x24400 is " + outside), "");
    // Its bottom, and info memory D to B on either side; A stays locked.
    EXPECT_EQ(refused("@43FF\n00\n", outside), "");
    EXPECT_EQ(check("@1800\n00\n@197F\n00\n"), "");
    EXPECT_EQ(refused("@17FF\n00\n", outside), "");
    EXPECT_EQ(refused("@1980\n00\n", "info memory A"), "");

    // The reset vector must point at code in main flash that the image
    // programs: info memory holds data, programmed or not.
    const auto vectorTo = [](const std::string& code, const char* vector) {
        return CheckFirmwareImage({"image.txt", code + "@FFFE\n" + std::string(vector) + "\nq\n"});
    };
    EXPECT_EQ(vectorTo("@FFDE\n31 40\n", "DE FF"), "");
    EXPECT_NE(vectorTo("@FFDE\n31 40\n", "E0 FF").find("interrupt vector table"),
              std::string::npos);
    EXPECT_NE(vectorTo("@1800\n31 40\n", "00 18").find("in info memory"), std::string::npos);
    EXPECT_NE(vectorTo("@197E\n31 40\n", "7E 19").find("in info memory"), std::string::npos);
    EXPECT_EQ(vectorTo("@4400\n31 40\n", "00 44"), "");
    EXPECT_NE(vectorTo("@4400\n31 40\n", "02 44").find("does not program"), std::string::npos);
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
