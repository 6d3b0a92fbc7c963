#pragma once

#include <cstdint>

namespace orvex {

// CRC-16/CCITT, polynomial 0x1021, most significant bit first, no reflection,
// no final XOR: the CRC the MSP430 bootstrap loader computes over memory.
class CRC {
public:
    explicit CRC(uint16_t initial = 0xFFFF) : crc(initial) {}
    void CrcInit(uint16_t seed) { crc = seed; }
    void CrcInput(uint8_t byte);
    uint16_t GetCrcValue() const { return crc; }

private:
    uint16_t crc;
};

} // namespace orvex
