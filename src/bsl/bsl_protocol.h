#pragma once

// Facts of the MSP430 USB bootstrap loader that the loader library relies on.
// Everything marked (assumed) is not confirmed by a TI document; it is kept in
// this one header so a run against real hardware can correct it in one place.

#include <cstddef>
#include <cstdint>

namespace orvex::bsl {

// --- transport: USB HID ---------------------------------------------------
inline constexpr uint16_t kLoaderVendorId = 0x2047;
inline constexpr uint16_t kLoaderProductId = 0x0200;
// The RAM loader re-enumerates with the ROM loader's ids (SLAU319, USB BSL).
inline constexpr uint16_t kRamLoaderProductId = 0x0200;

inline constexpr size_t kReportSize = 64;
inline constexpr uint8_t kReportId = 0x3F;
// Report id and NL come first; the core packet fills the rest.
inline constexpr size_t kMaxCorePacket = kReportSize - 2;
// Command byte and three address bytes leave 58 data bytes per RX block.
inline constexpr size_t kMaxRxData = kMaxCorePacket - 4;
// The 0x3A marker leaves 61 data bytes per TX reply report.
inline constexpr size_t kMaxTxData = kMaxCorePacket - 1;

// --- core commands ---------------------------------------------------------
inline constexpr uint8_t CMD_RX_DATA_BLOCK = 0x10;
inline constexpr uint8_t CMD_RX_PASSWORD = 0x11;
inline constexpr uint8_t CMD_ERASE_SEGMENT = 0x12;
inline constexpr uint8_t CMD_TOGGLE_INFO = 0x13;
inline constexpr uint8_t CMD_MASS_ERASE = 0x15;
inline constexpr uint8_t CMD_CRC_CHECK = 0x16;
inline constexpr uint8_t CMD_LOAD_PC = 0x17;
inline constexpr uint8_t CMD_TX_DATA_BLOCK = 0x18;
inline constexpr uint8_t CMD_TX_VERSION = 0x19;
inline constexpr uint8_t CMD_TX_BUFFER_SIZE = 0x1A;
inline constexpr uint8_t CMD_RX_DATA_BLOCK_FAST = 0x1B;

inline constexpr uint8_t kReplyData = 0x3A;
inline constexpr uint8_t kReplyMessage = 0x3B;

// Message codes after 0x3B.
inline constexpr uint8_t MSG_SUCCESS = 0x00;
inline constexpr uint8_t MSG_WRITE_CHECK_FAILED = 0x01;
inline constexpr uint8_t MSG_FLASH_FAIL = 0x02;
inline constexpr uint8_t MSG_VOLTAGE_CHANGED = 0x03;
inline constexpr uint8_t MSG_LOCKED = 0x04;
inline constexpr uint8_t MSG_PASSWORD_ERROR = 0x05;
inline constexpr uint8_t MSG_BYTE_WRITE_FORBIDDEN = 0x06;
inline constexpr uint8_t MSG_UNKNOWN_COMMAND = 0x07;
inline constexpr uint8_t MSG_PACKET_TOO_LONG = 0x08;

inline constexpr size_t kPasswordSize = 32;
inline constexpr uint32_t kPasswordAddress = 0xFFE0;
inline constexpr size_t kVersionSize = 4;

// --- device ------------------------------------------------------------------
inline constexpr uint32_t kAddressLimit = 0x100000; // addresses are 20 bits
inline constexpr uint32_t kRamLoaderStart = 0x2500;
inline constexpr uint32_t kRamLoaderEntry = 0x2504;
inline constexpr uint32_t kResetVector = 0xFFFE;
inline constexpr uint32_t kPmmCtl0 = 0x0120;
inline constexpr uint16_t kPmmSoftwareBor = 0xA504;

// Seed of the CRC command's CRC-16/CCITT: TI's BSL430_crcCheck (BSL430_API.c)
// sets CRCINIRES to 0xFFFF; SLAU319's UART example checks out with it.
inline constexpr uint16_t kCrcSeed = 0xFFFF;

// --- timing -----------------------------------------------------------------
// (assumed) Longest wait for a reply; a segment or mass erase is the slowest.
inline constexpr int kReplyTimeoutMs = 3000;
// (assumed) How long opening keeps looking for a loader that is still
// enumerating (about 3 s after Load PC on real devices; the caller waits too).
inline constexpr uint32_t kOpenWaitMs = 1500;
inline constexpr uint32_t kOpenPollMs = 50;

// --- library settings ----------------------------------------------------------
// The only family and interface this library drives: F5xx/F6xx over USB HID.
inline constexpr int kFamilyF5xxUsb = 3;
inline constexpr int kComUsbHid = 2;

} // namespace orvex::bsl
