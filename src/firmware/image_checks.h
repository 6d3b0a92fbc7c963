#pragma once

// The checks run around a firmware download: the erase pass over the segments
// an image occupies, and the block-by-block CRC comparison of the image file
// with the device's memory. All results are unsigned 32-bit; -1 and -2 mean all
// bits set but the lowest (0xFFFFFFFE) respectively.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bsl/bsl430.h"

namespace orvex {

inline constexpr uint32_t CRC_NO_ANSWER = 0xFFFFFFFFu;   // -1
inline constexpr uint32_t FILE_NOT_OPENED = 0xFFFFFFFEu; // -2

// CRC of the block's first byteCount bytes (seed 0xFFFF); 0xFFFF for none.
// A byteCount beyond the data array counts the whole array.
uint32_t Calculate_CRC(const DataBlock_& block);

// expected 0: the loader's CRC of `length` bytes from `address`. Otherwise 0
// when the loader's CRC equals `expected`, else -1. -1 when the loader gives no
// CRC.
uint32_t CRC_Check(uint32_t address, uint32_t length, uint32_t expected);

// 0 when every block of the image (5000 bytes at most) matches the device, 1
// at the first block that differs (or gets no CRC), -2 when the bytes are not
// a valid TI-TXT image. The upgrade hands over the bytes it read once
// (FirmwareImage::text).
uint32_t CRC_Check_Text(std::string_view fileBytes);
// The same, and whether the block that differed got no answer at all (the
// loader timed out or left the bus) rather than a CRC or a message.
uint32_t CRC_Check_Text(std::string_view fileBytes, bool& loaderSilent);
// The same for a file, read once (-2 too when it cannot be read).
uint32_t CRC_Check_File(const char* path);

// The keypad chip's flash that an image may program: info memory D, C and B
// (128-byte segments) and main flash (512-byte segments, the vector table at
// its top). Info A (0x1980) is locked after every reset and its erase does
// nothing until unlocked, so data for it could never verify.
inline constexpr uint32_t kInfoFlashStart = 0x1800;
inline constexpr uint32_t kInfoFlashEnd = 0x1980;
inline constexpr uint32_t kInfoAEnd = 0x1A00;
inline constexpr uint32_t kInfoSegmentSize = 128;
inline constexpr uint32_t kMainFlashStart = 0x4400;
inline constexpr uint32_t kMainFlashEnd = 0x24400;
inline constexpr uint32_t kMainSegmentSize = 512;
inline constexpr uint32_t kVectorTableStart = 0xFFE0;
inline constexpr uint32_t kResetVectorLow = 0xFFFE;

// A firmware image read from its file once. The check, the erase pass, the
// download and the verification of an upgrade all work on these bytes, so a
// pipe works and a file replaced meanwhile changes nothing.
struct FirmwareImage {
    std::string path; // as given: for messages and the progress texts
    std::string text; // the file's bytes
};

// Larger files are refused after that many bytes: a TI-TXT text of the whole
// 1 MiB address space is about 3.3 MB.
inline constexpr size_t kMaxImageFileBytes = 16u << 20;

// Reads the whole file (a pipe too) into `image`. Empty when it was read, else
// why not: "<path>: <what>".
std::string ReadFirmwareImage(const std::string& path, FirmwareImage& image);

// Everything about a firmware image that can be known without the keypad: a
// complete TI-TXT file, some data, no address given twice, every byte in the
// flash above, and a reset vector the keypad can start from: programmed, not
// blank, and pointing into main flash below the vector table at code the
// image itself programs (a chip whose reset vector points at erased flash, or
// at the vectors, runs garbage and never enumerates again; info memory holds
// data, not the firmware's code). Empty when the image is
// fit to download, else why not: "<path>: line N: <what>" or "<path>: <what>".
std::string CheckFirmwareImage(const FirmwareImage& image);

// Erases every segment that a block (512 bytes at most) of the image touches,
// ignoring the results: one erase per block in main flash, where blocks never
// cross a segment, and one per 128-byte segment in info memory. 0 after the
// pass, -2 when the bytes are not a valid TI-TXT image.
uint32_t EraseDataSegment_Text(std::string_view fileBytes);
// The same for a file, read once (-2 too when it cannot be read).
uint32_t EraseDataSegment_File(const char* path);

// Erases once each info memory segment (128 bytes) that the image programs,
// ignoring the results. A mass erase clears main flash only, so an image with
// info memory data needs this after one. 0 after the pass, -2 when the bytes
// are not a valid TI-TXT image.
uint32_t EraseInfoSegments_Text(std::string_view fileBytes);

} // namespace orvex
