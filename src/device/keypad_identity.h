#pragma once

// Which keypad an operation acts on, kept across the restarts it causes
// (factory reset, bootloader entry, a new firmware): every reopen inside the
// operation looks for that keypad only, never for "the first one found".

#include <string>
#include <vector>

#include <hidapi/hidapi.h>

namespace orvex {

struct KeypadIdentity {
    // The 12 bytes its last status read reported; "" when none was read on the
    // handle (or the serial number is not to be relied on, as after new firmware).
    std::string serialNumber;
    // The USB port it is plugged into (bsl::UsbPortOfHidPath); "" when it
    // cannot be told.
    std::string usbPort;

    bool operator==(const KeypadIdentity&) const = default;
};

// The keypad open on hid_handle; empty when none is open.
KeypadIdentity OpenKeypadIdentity();

// Remembers the serial number a status read on `handle` reported; the status
// read calls it. Forgotten when the handle changes.
void NoteKeypadSerial(hid_device* handle, const std::string& serialNumber);
// Called when `handle` is closed.
void ForgetKeypadSerial(hid_device* handle);
// What NoteKeypadSerial remembered for `handle`; "" when nothing.
std::string NotedKeypadSerial(hid_device* handle);

// Opens the keypad command interface at `path` as hid_handle, as the scan
// opens one, after closing the old handle. False, hid_handle null, when it
// cannot be opened.
bool OpenKeypadAtPath(const std::string& path);

// The USB port of the keypad command interface at `path`; "" when unknown.
std::string KeypadUsbPort(const std::string& path);

// The rescan sequence for one keypad: closes hid_handle and opens the keypad
// with this identity: the one on its USB port when the port is known (when
// the serial number is known too, only if its status reports it: a keypad
// swapped in on the port is not taken); else the one keypad whose status reports this serial
// number; with neither known, only a keypad alone on the bus. Another keypad
// is never opened. When it is not there, warns "Halden Orvex™ not
// connected.." as the rescan sequence does (unless `warnWhenMissing` is
// false) and returns false with hid_handle null.
bool RescanForKeypad(const KeypadIdentity& keypad, bool warnWhenMissing = true);

inline constexpr const char* kKeypadNotToldApartText =
    "The USB port of this keypad cannot be told and another keypad is attached, so after it "
    "restarts it could not be told apart from the other one. Nothing was sent. Unplug the other "
    "keypads and try again..";

// Whether RescanForKeypad can find this keypad again after a restart (factory
// reset, bootloader entry) without mistaking another for it: its USB port is
// known, or no other keypad is attached. A serial number alone does not do:
// two keypads may share one, and new firmware may report another. Checked
// before anything that restarts the keypad is sent (kKeypadNotToldApartText).
bool KeypadCanBeFoundAgain(const KeypadIdentity& keypad);

} // namespace orvex
