#include "device/hid_backend.h"
#include "virtual_bus.h"
#include "virtual_loader.h"

namespace orvex {

// The -virtual program starts with one keypad plugged in.
void InitHidBackend() {
    sim::attachLoader(sim::defaultKeypad());
    sim::VirtualBus::instance().plug(sim::defaultKeypad());
}
const char* HidBackendName() {
    return "virtual";
}

} // namespace orvex
