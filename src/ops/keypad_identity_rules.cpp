#include "ops/keypad_identity_rules.h"

#include <optional>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"
#include "ops/upgrade_journal.h"

namespace orvex::ops {

bool SerialIdentifiesNobody(const std::string& serialNumber) {
    const std::string shown = PrintableSerial(serialNumber, "");
    if (shown.empty())
        return true;
    // Zeros and spaces only: what a keypad reports before it was given one.
    if (shown.find_first_not_of("0 ") == std::string::npos)
        return true;
    return shown == firmware::kFreshFirmwareSerial;
}

int KeypadsReportingSerial(const std::string& serialNumber) {
    const std::string wanted = PrintableSerial(serialNumber, "");
    int count = 0;
    for (const auto& path : KeypadCommandPaths()) {
        if (!OpenKeypadAtPath(path))
            continue;
        DeviceStatus s;
        if (ReadDeviceStatus(s) == 0 && PrintableSerial(s.serialNumber, "") == wanted)
            ++count;
    }
    CloseDevice();
    return count;
}

std::string PasswordSerial(const std::string& serialNumber, int reporting) {
    if (SerialIdentifiesNobody(serialNumber) || reporting > 1)
        return {};
    return serialNumber;
}

} // namespace orvex::ops
