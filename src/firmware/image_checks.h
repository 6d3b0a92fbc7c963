#pragma once

// The checks run around a firmware download: the erase pass over the segments
// an image occupies, and the block-by-block CRC comparison of the image file
// with the device's memory. All results are unsigned 32-bit; -1 and -2 mean all
// bits set but the lowest (0xFFFFFFFE) respectively.

#include <cstdint>

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

// 0 when every block of the file (5000 bytes at most) matches the device, 1 at
// the first block that differs (or gets no CRC), -2 when the file cannot be
// opened or is not a valid TI-TXT image.
uint32_t CRC_Check_File(const char* path);

// Erases the segment holding the start of every block (512 bytes at most) of
// the file, ignoring the results. 0 after the pass, -2 when the file cannot be
// opened or is not a valid TI-TXT image.
uint32_t EraseDataSegment_File(const char* path);

} // namespace orvex
