#include "firmware/crc.h"

namespace orvex {

// Byte-wise form of the polynomial division, no table needed.
void CRC::CrcInput(uint8_t byte) {
    uint32_t x = ((crc >> 8) ^ byte) & 0xFF;
    x ^= x >> 4;
    crc = static_cast<uint16_t>((static_cast<uint32_t>(crc) << 8) ^ (x << 12) ^ (x << 5) ^ x);
}

} // namespace orvex
