#include "hid_backend.h"

namespace orvex {

void InitHidBackend() {}
const char* HidBackendName() {
    return "hidraw";
}

bool ReplayHidTrace(const std::string&, std::string& error) {
    error = "a recorded session replays only in the -virtual programs";
    return false;
}

std::string HidReplaySummary() {
    return {};
}

} // namespace orvex
