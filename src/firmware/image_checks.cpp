#include "firmware/image_checks.h"

#include <algorithm>

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

uint32_t EraseDataSegment_File(const char* path) {
    if (BSL_openTI_TextForRead(path) == BSL_FILE_NOT_OPENED)
        return FILE_NOT_OPENED;
    while (BSL_moreDataToRead_TextFile()) {
        const DataBlock_ block = BSL_readTI_TextFile(kEraseBlock);
        BSL_eraseSegment(block.startAddress);
    }
    BSL_closeTI_Text();
    return 0;
}

} // namespace orvex
