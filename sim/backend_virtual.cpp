#include "device/hid_backend.h"
#include "virtual_bus.h"

namespace orvex {

// The -virtual program starts with one keypad plugged in.
void InitHidBackend() {
    sim::VirtualBus::instance().plug(sim::defaultKeypad());
}
const char* HidBackendName() {
    return "virtual";
}

} // namespace orvex
