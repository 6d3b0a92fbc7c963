#include "hid_backend.h"

namespace orvex {

void InitHidBackend() {}
const char* HidBackendName() {
    return "hidraw";
}

} // namespace orvex
