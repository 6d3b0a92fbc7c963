#include "firmware/image_checks.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "bsl/bsl_protocol.h"
#include "bsl/ti_text.h"
#include "config/atomic_file.h"

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

namespace {

// Both verifications after opening the reader, on whatever it was opened with.
uint32_t CheckBlocks(bool& loaderSilent) {
    loaderSilent = false;
    while (BSL_moreDataToRead_TextFile()) {
        const DataBlock_ block = BSL_readTI_TextFile(kVerifyBlock);
        const uint32_t device = CRC_Check(block.startAddress, block.byteCount, 0);
        if (device != Calculate_CRC(block)) {
            // The reply buffer is emptied before each request and filled by
            // whatever answer comes: empty, nothing came.
            loaderSilent = device == CRC_NO_ANSWER && BSL_get_RX_Buffer().length == 0;
            BSL_closeTI_Text();
            return 1;
        }
    }
    BSL_closeTI_Text();
    return 0;
}

uint32_t EraseBlocks() {
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

// The byte the image gives for an address, if any.
std::optional<uint8_t> ByteAt(const bsl::TiTextImage& image, uint32_t address) {
    for (const auto& run : image.runs())
        if (address >= run.start && address - run.start < run.bytes.size())
            return run.bytes[address - run.start];
    return std::nullopt;
}

std::string Hex5(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%05X", static_cast<unsigned>(address));
    return text;
}

} // namespace

uint32_t CRC_Check_File(const char* path) {
    FirmwareImage image;
    if (!path || !ReadFirmwareImage(path, image).empty())
        return FILE_NOT_OPENED;
    return CRC_Check_Text(image.text);
}

uint32_t CRC_Check_Text(std::string_view fileBytes) {
    bool loaderSilent = false;
    return CRC_Check_Text(fileBytes, loaderSilent);
}

uint32_t CRC_Check_Text(std::string_view fileBytes, bool& loaderSilent) {
    loaderSilent = false;
    if (BSL_openTI_TextForReadFromMemory(fileBytes) == BSL_FILE_NOT_OPENED)
        return FILE_NOT_OPENED;
    return CheckBlocks(loaderSilent);
}

std::string ReadFirmwareImage(const std::string& path, FirmwareImage& image) {
    image.path = path;
    image.text.clear();
    if (path.empty())
        return "no file name";
    // Read to the end, as a pipe gives it; a file growing without end stops
    // at the limit.
    if (!ReadWholeFile(path, image.text, kMaxImageFileBytes)) {
        const int error = errno;
        image.text.clear();
        if (error == EFBIG)
            return path + ": the file is larger than " + std::to_string(kMaxImageFileBytes >> 20) +
                   " MiB, too large for a firmware image";
        return path + ": cannot open the file (" + std::strerror(error) + ")";
    }
    return {};
}

std::string CheckFirmwareImage(const FirmwareImage& firmware) {
    const std::string& path = firmware.path;
    std::vector<bool> seen(bsl::kAddressLimit);
    const auto where = Hex5;
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
    if (!image.parseFileBytes(firmware.text, error, check))
        return path + ": " + error;
    if (image.totalBytes() == 0)
        return path + ": the image holds no data";
    if (!seen[kResetVectorLow] || !seen[kResetVectorLow + 1])
        return path + ": the image does not program the reset vector (0x0FFFE-0x0FFFF), so the "
                      "keypad could not start from it";
    // After a reset the chip starts the loader on a blank vector, and runs
    // whatever the vector points at otherwise: that must be code of this image
    // (bit 0 of the program counter is always 0).
    const uint16_t vector = static_cast<uint16_t>(*ByteAt(image, kResetVectorLow) |
                                                  *ByteAt(image, kResetVectorLow + 1) << 8);
    if (vector == 0xFFFF)
        return path + ": the reset vector (0x0FFFE-0x0FFFF) is blank (FF FF), so the keypad could "
                      "not start from the image";
    const uint32_t entry = vector & 0xFFFEu;
    if (entry >= kVectorTableStart)
        return path + ": the reset vector points at " + where(entry) +
               ", inside the interrupt vector table (0x0FFE0-0x0FFFF) rather than at code, so "
               "the keypad could not start from it";
    // Info memory is the firmware's data: code is in main flash.
    if (entry >= kInfoFlashStart && entry < kInfoAEnd)
        return path + ": the reset vector points at " + where(entry) +
               ", in info memory (0x01800-0x019FF), which holds data rather than code, so the "
               "keypad could not start from it";
    const auto low = ByteAt(image, entry);
    const auto high = ByteAt(image, entry + 1);
    if (!low || !high)
        return path + ": the reset vector points at " + where(entry) +
               ", which the image does not program, so the keypad could not start from it";
    if (*low == 0xFF && *high == 0xFF)
        return path + ": the reset vector points at " + where(entry) +
               ", which the image leaves blank (FF FF), so the keypad could not start from it";
    return {};
}

uint32_t EraseDataSegment_File(const char* path) {
    FirmwareImage image;
    if (!path || !ReadFirmwareImage(path, image).empty())
        return FILE_NOT_OPENED;
    return EraseDataSegment_Text(image.text);
}

uint32_t EraseDataSegment_Text(std::string_view fileBytes) {
    if (BSL_openTI_TextForReadFromMemory(fileBytes) == BSL_FILE_NOT_OPENED)
        return FILE_NOT_OPENED;
    return EraseBlocks();
}

uint32_t EraseInfoSegments_Text(std::string_view fileBytes) {
    bsl::TiTextImage image;
    std::string error;
    if (!image.parseFileBytes(fileBytes, error))
        return FILE_NOT_OPENED;
    std::vector<bool> erased((kInfoFlashEnd - kInfoFlashStart) / kInfoSegmentSize);
    for (const auto& run : image.runs()) {
        const uint32_t end = run.start + static_cast<uint32_t>(run.bytes.size());
        for (uint32_t a = std::max(run.start, kInfoFlashStart) & ~(kInfoSegmentSize - 1);
             a < std::min(end, kInfoFlashEnd); a += kInfoSegmentSize) {
            const size_t segment = (a - kInfoFlashStart) / kInfoSegmentSize;
            if (!erased[segment])
                BSL_eraseSegment(a);
            erased[segment] = true;
        }
    }
    return 0;
}

} // namespace orvex
