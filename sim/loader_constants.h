#pragma once

// Constants the parts of the loader model share: report framing (TI
// BSL430_USB_PI.c), message codes (TI BSL430_Command_Definitions.h, SLAU319)
// and the MSP430F5529 addresses it uses (SLAS590, SLAU208).

#include <cstdint>

namespace orvex::sim::loader {

inline constexpr uint8_t kReportId = 0x3F;
inline constexpr uint8_t kData = 0x3A;
inline constexpr uint8_t kMessage = 0x3B;

inline constexpr uint8_t MSG_OK = 0x00;
inline constexpr uint8_t MSG_WRITE_CHECK = 0x01;
inline constexpr uint8_t MSG_LOCKED = 0x04;
inline constexpr uint8_t MSG_PASSWORD = 0x05;
inline constexpr uint8_t MSG_UNKNOWN = 0x07;
inline constexpr uint8_t MSG_TOO_LONG = 0x08;

inline constexpr uint32_t kPasswordAddress = 0xFFE0;
inline constexpr uint32_t kRamLoaderStart = 0x2500;
inline constexpr uint32_t kRamLoaderEntry = 0x2504;
inline constexpr uint32_t kPmmCtl0 = 0x0120;
inline constexpr uint32_t kWdtCtl = 0x015C;
inline constexpr uint32_t kInfoA = 0x1980;
inline constexpr uint32_t kMainStart = 0x4400;
inline constexpr uint32_t kMainEnd = 0x24400;

// A 20-bit address, low byte first (SLAU319: AL AM AH).
inline uint32_t address3(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2] & 0x0F) << 16;
}

} // namespace orvex::sim::loader
