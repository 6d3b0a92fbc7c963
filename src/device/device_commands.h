#pragma once

// What the utility says to the keypad: command codes, the status record and
// small helpers that send one command on hid_handle.

#include <array>
#include <cstdint>
#include <string>

namespace orvex {

enum Command : uint8_t {
    GetStatus = 1,
    SetLedBrightness = 2,
    SetJackLedBrightness = 3,
    SetBuzzer = 4,
    LoadCodeTable = 5,
    SetBuzzerPeriod = 6,
    SetKeypadType = 7,
    WriteDefaults = 9,
    FactoryReset = 10,
    SetOptions = 11,
    EnterBootloader = 12,
    StatusBuzzer = 13,
    SetSerialNumber = 14,
};

inline constexpr size_t KEY_TABLE_MAX = 32;
inline constexpr size_t SERIAL_LENGTH = 12;

// Bytes of the key code table for a keypad type: 20 for types 0-2, 24 for 3-5,
// 32 for every other value.
int TableLengthForType(int keypadType);

// The customised table of each group is the last type of the group.
inline bool IsCustomisedType(int keypadType) {
    return keypadType == 2 || keypadType == 5 || keypadType == 8;
}

struct DeviceStatus {
    uint8_t ledBrightness = 0;
    uint8_t jackLedBrightness = 0;
    uint8_t buzzer = 0;
    uint8_t options = 0;
    uint8_t buzzerPeriod = 0; // raw byte: 1..9, or 0
    uint8_t keypadType = 0;
    std::array<uint8_t, KEY_TABLE_MAX> keyCodes{}; // zero past tableLength
    int tableLength = 0;
    std::string firmwareVersion;
    std::string serialNumber; // exactly 12 bytes

    int waysCode() const { return options & 0x03; }
    // Index into the nine-entry period list: a stored 0 shows as index 1.
    int buzzerPeriodIndex() const { return buzzerPeriod == 0 ? 1 : buzzerPeriod - 1; }
};

// Decodes a GetStatus payload. Returns false, leaving `status` untouched, when
// the payload is shorter than the record it announces or the version text has
// no terminator inside it.
bool DecodeDeviceStatus(const uint8_t* payload, uint32_t length, DeviceStatus& status);

// Sends one command on hid_handle with the standard 5000 ms time-out and a
// 64-byte response buffer. Returns the exchange result.
int SendDeviceCommand(uint8_t command, const uint8_t* payload = nullptr, uint32_t length = 0);
int SendDeviceCommandByte(uint8_t command, uint8_t value);

// GetStatus and decode. 0 on success, -1 on any failure (status untouched).
int ReadDeviceStatus(DeviceStatus& status);

// 8-bit text the keypad reported (a serial number, a version, a product
// string) for messages: every byte but printable ASCII as '?'.
std::string PrintableText(const std::string& text);
// A serial number for messages: PrintableText without its padding (trailing
// spaces, NULs and erased 0xFF bytes); `none` when nothing is left.
std::string PrintableSerial(const std::string& serialNumber, const std::string& none = "unknown");

} // namespace orvex
