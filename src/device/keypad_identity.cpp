#include "device/keypad_identity.h"

#include <mutex>
#include <vector>

#include "bsl/device_notifier.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_presence.h"
#include "platform/prompter.h"

namespace orvex {

namespace {

// Caller holds link_mutex().
bool openPath(const std::string& path) {
    if (hid_handle) {
        hid_exit_safely(hid_handle);
        hid_handle = nullptr;
    }
    hid_handle = hid_open_path(path.c_str());
    if (!hid_handle)
        return false;
    NoteKeypadOpened(path);
    // The same steps as the scan's (the two strings are not used further).
    wchar_t text[256] = {};
    hid_get_manufacturer_string(hid_handle, text, 255);
    hid_get_product_string(hid_handle, text, 255);
    hid_set_nonblocking(hid_handle, 1);
    return true;
}

// Opens `path` and keeps it open when its serial number is `serial`.
bool openIfSerial(const std::string& path, const std::string& serial) {
    if (!openPath(path))
        return false;
    DeviceStatus s;
    if (ReadDeviceStatus(s) == 0 && s.serialNumber == serial)
        return true;
    hid_exit_safely(hid_handle);
    hid_handle = nullptr;
    return false;
}

bool findKeypad(const KeypadIdentity& keypad) {
    const std::vector<std::string> paths = KeypadCommandPaths();
    // A port holds one device, but another keypad may have been plugged into
    // it during a restart: where the serial number is known, the keypad on
    // the port must report it (one status read), or nothing more is sent.
    if (!keypad.usbPort.empty()) {
        for (const auto& path : paths) {
            if (KeypadUsbPort(path) != keypad.usbPort)
                continue;
            return keypad.serialNumber.empty() ? openPath(path)
                                               : openIfSerial(path, keypad.serialNumber);
        }
        return false;
    }
    if (!keypad.serialNumber.empty()) {
        // Each keypad is asked for its status; two answering with this serial
        // number cannot be told apart.
        std::string match;
        int matches = 0;
        for (const auto& path : paths) {
            if (openIfSerial(path, keypad.serialNumber)) {
                match = path;
                ++matches;
            }
        }
        if (hid_handle) {
            hid_exit_safely(hid_handle);
            hid_handle = nullptr;
        }
        return matches == 1 && openIfSerial(match, keypad.serialNumber);
    }
    return paths.size() == 1 && openPath(paths.front());
}

} // namespace

bool OpenKeypadAtPath(const std::string& path) {
    std::lock_guard lock(link_mutex());
    return openPath(path);
}

std::string KeypadUsbPort(const std::string& path) {
    return bsl::UsbPortOfHidPath(path);
}

KeypadIdentity OpenKeypadIdentity() {
    std::lock_guard lock(link_mutex());
    KeypadIdentity id;
    if (!hid_handle)
        return id;
    if (const hid_device_info* info = hid_get_device_info(hid_handle); info && info->path)
        id.usbPort = KeypadUsbPort(info->path);
    id.serialNumber = NotedKeypadSerial(hid_handle);
    return id;
}

// Here, beside the USB port lookup it needs, so that programs using only the
// link (and keypad_presence) do without it.
KeypadSequence::KeypadSequence(After after) : KeypadSequence(after, OpenKeypadIdentity()) {}

bool KeypadCanBeFoundAgain(const KeypadIdentity& keypad) {
    return !keypad.usbPort.empty() || KeypadCommandPaths().size() <= 1;
}

bool RescanForKeypad(const KeypadIdentity& keypad, bool warnWhenMissing) {
    bool found;
    {
        std::lock_guard lock(link_mutex());
        if (hid_handle) {
            hid_exit_safely(hid_handle);
            hid_handle = nullptr;
        }
        found = findKeypad(keypad);
    }
    if (!found && warnWhenMissing)
        showWarning("Halden Orvex\u2122 not connected..");
    return found;
}

} // namespace orvex
