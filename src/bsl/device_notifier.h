#pragma once

// Arrival and removal of loader devices. Each backend implements
// makeDeviceNotifier() once and the executable picks one at link time, as it
// picks its hidapi: orvex_bsl_notifier_udev (a libudev monitor thread) for real
// devices, orvex_sim for the virtual bus.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orvex::bsl {

using DeviceEventCallback = std::function<void(uint32_t event)>;

class DeviceNotifier {
public:
    virtual ~DeviceNotifier() = default;
    // Starts calling `callback` with 0x8000 (arrival) or 0x8004 (removal) for
    // devices with these ids. False when the system refuses to watch.
    virtual bool start(uint16_t vendorId, uint16_t productId, DeviceEventCallback callback) = 0;
    // No callback starts after this returns; one already running is waited for,
    // so stop() must not be called from inside the callback.
    virtual void stop() = 0;
};

std::unique_ptr<DeviceNotifier> makeDeviceNotifier();

// The USB port a HID device path belongs to (for hidraw the sysfs name of its
// USB device, such as "1-2.3"); "" when it cannot be told. The keypad and the
// loader it restarts into sit on the same port. Implemented beside
// makeDeviceNotifier by each backend.
std::string UsbPortOfHidPath(const std::string& path);

// udev helpers, kept here so they can be tested without a udev daemon.
// PRODUCT of a usb_device: "vid/pid/bcd" in hex without leading zeros.
bool MatchUsbProduct(const char* product, uint16_t vendorId, uint16_t productId);
// HID_ID of a hid device: "bus:VVVVVVVV:PPPPPPPP" in hex.
bool MatchHidId(const char* hidId, uint16_t vendorId, uint16_t productId);

} // namespace orvex::bsl
