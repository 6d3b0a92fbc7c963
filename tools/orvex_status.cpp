// Scans for the keypad, reads its status and prints it.

#include <cstdio>

#include "device/device_commands.h"
#include "device/hid_backend.h"
#include "device/hid_link.h"

using namespace orvex;

int main() {
    InitHidBackend();
    char manufacturer[SCAN_TEXT_SIZE] = {};
    char product[SCAN_TEXT_SIZE] = {};
    hid_handle = ScanForUSBDevice_a(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, manufacturer, product);
    if (!hid_handle) {
        std::fprintf(stderr, "Halden Orvex keypad not connected (backend: %s)\n", HidBackendName());
        hid_exit_safely(nullptr);
        return 2;
    }
    DeviceStatus s;
    const int rc = ReadDeviceStatus(s);
    std::printf("backend:            %s\n", HidBackendName());
    std::printf("manufacturer:       %s\n", manufacturer);
    std::printf("product:            %s\n", product);
    if (rc != 0) {
        std::fprintf(stderr, "Unable to get device status\n");
        CloseDevice();
        return 3;
    }
    std::printf("LED brightness:     %u\n", s.ledBrightness);
    std::printf("jack LED:           %u\n", s.jackLedBrightness);
    std::printf("buzzer:             %s\n", s.buzzer ? "on" : "off");
    std::printf("buzzer period:      %u\n", s.buzzerPeriod);
    std::printf("keypad type:        %u\n", s.keypadType);
    std::printf("options:            0x%02X (ways code %d)\n", s.options, s.waysCode());
    std::printf("firmware version:   %s\n", s.firmwareVersion.c_str());
    std::printf("serial number:      %s\n", s.serialNumber.c_str());
    std::printf("key code table:    ");
    for (int i = 0; i < s.tableLength; ++i)
        std::printf(" %02X", s.keyCodes[static_cast<size_t>(i)]);
    std::printf("\n");
    CloseDevice();
    return 0;
}
