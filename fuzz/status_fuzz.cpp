// libFuzzer target for the DeviceStatus decoder: any payload is decoded
// exactly as the record layout reads (table length by keypad type, version up
// to its NUL, twelve serial bytes after it) or refused with the record left as
// it was. The payload sits in a buffer of its own size, so a read past its
// length is caught.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "device/device_commands.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orvex;
    if (size > 4096)
        return 0;
    auto payload = std::make_unique<uint8_t[]>(size ? size : 1);
    if (size)
        std::memcpy(payload.get(), data, size);

    DeviceStatus s;
    s.ledBrightness = 0xA1;
    s.firmwareVersion = "untouched";
    s.serialNumber = "untouched";
    s.tableLength = -5;
    const bool ok = DecodeDeviceStatus(payload.get(), static_cast<uint32_t>(size), s);

    // The record as laid out.
    bool want = false;
    size_t n = 0, versionEnd = 0;
    if (size >= 6) {
        const uint8_t type = data[5];
        n = type <= 2 ? 20 : type <= 5 ? 24 : 32;
        const size_t versionStart = 6 + n;
        for (size_t i = versionStart; i < size; ++i)
            if (data[i] == 0) {
                versionEnd = i;
                want = i + 1 + 12 <= size;
                break;
            }
    }
    FUZZ_CHECK(ok == want);
    if (!ok) {
        FUZZ_CHECK(s.ledBrightness == 0xA1 && s.firmwareVersion == "untouched" &&
                   s.serialNumber == "untouched" && s.tableLength == -5);
        return 0;
    }
    FUZZ_CHECK(s.ledBrightness == data[0] && s.jackLedBrightness == data[1] &&
               s.buzzer == data[2] && s.options == data[3] && s.buzzerPeriod == data[4] &&
               s.keypadType == data[5]);
    FUZZ_CHECK(s.tableLength == static_cast<int>(n));
    FUZZ_CHECK(std::memcmp(s.keyCodes.data(), data + 6, n) == 0);
    for (size_t i = n; i < s.keyCodes.size(); ++i)
        FUZZ_CHECK(s.keyCodes[i] == 0);
    FUZZ_CHECK(s.firmwareVersion ==
               std::string(reinterpret_cast<const char*>(data + 6 + n), versionEnd - 6 - n));
    FUZZ_CHECK(s.serialNumber ==
               std::string(reinterpret_cast<const char*>(data + versionEnd + 1), 12));
    FUZZ_CHECK(s.waysCode() >= 0 && s.waysCode() <= 3);
    FUZZ_CHECK(s.buzzerPeriodIndex() >= 0 && s.buzzerPeriodIndex() <= 254);
    return 0;
}
