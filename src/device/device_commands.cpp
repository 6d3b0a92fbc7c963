#include "device_commands.h"

#include <cstring>

#include "hid_link.h"
#include "keypad_identity.h"

namespace orvex {

namespace {
// The serial number the last status read on a handle reported. Kept here,
// beside the status read, so that programs using only the link need nothing
// of the USB port lookup. Guarded by link_mutex().
hid_device* g_notedHandle = nullptr;
std::string g_notedSerial;
} // namespace

void NoteKeypadSerial(hid_device* handle, const std::string& serialNumber) {
    std::lock_guard lock(link_mutex());
    g_notedHandle = handle;
    g_notedSerial = serialNumber;
}

void ForgetKeypadSerial(hid_device* handle) {
    std::lock_guard lock(link_mutex());
    if (g_notedHandle == handle) {
        g_notedHandle = nullptr;
        g_notedSerial.clear();
    }
}

std::string NotedKeypadSerial(hid_device* handle) {
    std::lock_guard lock(link_mutex());
    return handle && handle == g_notedHandle ? g_notedSerial : std::string();
}

int TableLengthForType(int keypadType) {
    if (keypadType >= 0 && keypadType <= 2)
        return 20;
    if (keypadType >= 3 && keypadType <= 5)
        return 24;
    return 32;
}

bool DecodeDeviceStatus(const uint8_t* payload, uint32_t length, DeviceStatus& status) {
    if (length < 6)
        return false;
    const int n = TableLengthForType(payload[5]);
    const uint32_t versionStart = 6 + static_cast<uint32_t>(n);
    if (length < versionStart + 1 + SERIAL_LENGTH)
        return false;
    const void* nul = std::memchr(payload + versionStart, 0, length - versionStart);
    if (!nul)
        return false;
    const uint32_t versionLength =
        static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - (payload + versionStart));
    const uint32_t serialStart = versionStart + versionLength + 1;
    if (length < serialStart + SERIAL_LENGTH)
        return false;

    DeviceStatus s;
    s.ledBrightness = payload[0];
    s.jackLedBrightness = payload[1];
    s.buzzer = payload[2];
    s.options = payload[3];
    s.buzzerPeriod = payload[4];
    s.keypadType = payload[5];
    s.tableLength = n;
    std::memcpy(s.keyCodes.data(), payload + 6, static_cast<size_t>(n));
    s.firmwareVersion.assign(reinterpret_cast<const char*>(payload + versionStart), versionLength);
    s.serialNumber.assign(reinterpret_cast<const char*>(payload + serialStart), SERIAL_LENGTH);
    status = s;
    return true;
}

int SendDeviceCommand(uint8_t command, const uint8_t* payload, uint32_t length) {
    uint8_t response[RESPONSE_CAPACITY] = {};
    uint32_t responseLength = 0;
    std::lock_guard lock(link_mutex());
    return USBEncoderSendAndReceive_a(hid_handle, command, payload, length, response,
                                      RESPONSE_CAPACITY, &responseLength, EXCHANGE_TIMEOUT_MS);
}

int SendDeviceCommandByte(uint8_t command, uint8_t value) {
    return SendDeviceCommand(command, &value, 1);
}

int ReadDeviceStatus(DeviceStatus& status) {
    uint8_t response[RESPONSE_CAPACITY] = {};
    uint32_t responseLength = 0;
    std::lock_guard lock(link_mutex());
    if (USBEncoderSendAndReceive_a(hid_handle, GetStatus, nullptr, 0, response, RESPONSE_CAPACITY,
                                   &responseLength, EXCHANGE_TIMEOUT_MS) != LINK_OK ||
        !DecodeDeviceStatus(response, responseLength, status))
        return -1;
    // Operations that restart the keypad find it again by this serial number.
    NoteKeypadSerial(hid_handle, status.serialNumber);
    return 0;
}

std::string PrintableText(const std::string& text) {
    std::string out;
    for (unsigned char c : text)
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return out;
}

std::string PrintableSerial(const std::string& serialNumber, const std::string& none) {
    std::string serial = serialNumber;
    while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0' ||
                               static_cast<unsigned char>(serial.back()) == 0xFF))
        serial.pop_back();
    return serial.empty() ? none : PrintableText(serial);
}

} // namespace orvex
