#include "firmware/image_checks.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bsl/bsl_protocol.h"
#include "bsl/ti_text.h"

#include "firmware/crc.h"

namespace orvex {

namespace {
constexpr int kVerifyBlock = 5000;
constexpr int kEraseBlock = 512;
} // namespace

uint32_t Calculate_CRC(const DataBlock_& block) {
    CRC crc(0xFFFF);
    crc.CrcInit(0xFFFF);
    const uint32_t n = std::min<uint32_t>(block.byteCount, sizeof block.data);
    for (uint32_t i = 0; i < n; ++i)
        crc.CrcInput(block.data[i]);
    return crc.GetCrcValue();
}

uint32_t CRC_Check(uint32_t address, uint32_t length, uint32_t expected) {
    if (BSL_CRC_Check(address, length) != 0)
        return CRC_NO_ANSWER;
    const dataBuffer reply = BSL_get_RX_Buffer();
    const uint32_t crc = reply.data[6] * 256u + reply.data[5];
    if (expected == 0)
        return crc;
    return crc == expected ? 0 : CRC_NO_ANSWER;
}

uint32_t CRC_Check_File(const char* path) {
    if (BSL_openTI_TextForRead(path) == BSL_FILE_NOT_OPENED)
        return FILE_NOT_OPENED;
    while (BSL_moreDataToRead_TextFile()) {
        const DataBlock_ block = BSL_readTI_TextFile(kVerifyBlock);
        const uint32_t device = CRC_Check(block.startAddress, block.byteCount, 0);
        if (device != Calculate_CRC(block)) {
            BSL_closeTI_Text();
            return 1;
        }
    }
    BSL_closeTI_Text();
    return 0;
}

std::string CheckFirmwareImage(const std::string& path) {
    std::vector<bool> seen(bsl::kAddressLimit);
    const auto where = [](uint32_t address) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%05X", static_cast<unsigned>(address));
        return std::string(text);
    };
    const bsl::AddressCheck check = [&](uint32_t address) -> std::string {
        if (seen[address])
            return "address " + where(address) + " is given twice";
        seen[address] = true;
        const bool info = address >= kInfoFlashStart && address < kInfoFlashEnd;
        const bool main = address >= kMainFlashStart && address < kMainFlashEnd;
        if (address >= kInfoFlashEnd && address < kInfoAEnd)
            return "address " + where(address) +
                   " is in info memory A (0x01980-0x019FF), which the chip keeps locked";
        if (!info && !main)
            return "address " + where(address) +
                   " is outside the keypad's flash (info memory 0x01800-0x0197F, main "
                   "flash 0x04400-0x243FF)";
        return {};
    };
    bsl::TiTextImage image;
    std::string error;
    if (!image.load(path.c_str(), error, check))
        return path + ": " + error;
    if (image.totalBytes() == 0)
        return path + ": the image holds no data";
    if (!seen[kResetVectorLow] || !seen[kResetVectorLow + 1])
        return path + ": the image does not program the reset vector (0x0FFFE-0x0FFFF), so the "
                      "keypad could not start from it";
    return {};
}

uint32_t EraseDataSegment_File(const char* path) {
    if (BSL_openTI_TextForRead(path) == BSL_FILE_NOT_OPENED)
        return FILE_NOT_OPENED;
    while (BSL_moreDataToRead_TextFile()) {
        const DataBlock_ block = BSL_readTI_TextFile(kEraseBlock);
        BSL_eraseSegment(block.startAddress);
        // A 512-byte block can span several of the small info segments.
        const uint32_t end = block.startAddress + block.byteCount;
        for (uint32_t segment = (block.startAddress / kInfoSegmentSize + 1) * kInfoSegmentSize;
             segment < end && segment < kInfoFlashEnd; segment += kInfoSegmentSize)
            if (segment >= kInfoFlashStart)
                BSL_eraseSegment(segment);
    }
    BSL_closeTI_Text();
    return 0;
}

} // namespace orvex
