#pragma once

namespace orvex {

// Implemented once by each HID backend chosen at link time: the system hidapi
// (real keypads) or the virtual keypad.
void InitHidBackend();
const char* HidBackendName();

} // namespace orvex
