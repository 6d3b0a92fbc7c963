#include "serial_mask.h"

#include <algorithm>
#include <cstring>

namespace orvex::trace {

namespace {

constexpr size_t kSerialLength = 12;
constexpr uint8_t kGetStatus = 1;
constexpr uint8_t kSetSerialNumber = 14;

uint8_t nibble(uint8_t digit) {
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return 0;
}

// A framed report (request or answer): STX at 2, command at 3-4, the count n
// at 5-6, ETX at 7+n and the XOR checksum of bytes 2..7+n at 8+n. The count of
// a valid frame, or 0.
uint32_t frameCount(const uint8_t* r, size_t length) {
    if (length < 64 || r[2] != 0x02)
        return 0;
    const uint32_t n = (nibble(r[5]) << 4) | nibble(r[6]);
    if (n == 0 || 8 + n >= length || r[7 + n] != 0x03)
        return 0;
    uint8_t sum = 0;
    for (uint32_t i = 2; i < 8 + n; ++i)
        sum ^= r[i];
    return sum == r[8 + n] ? n : 0;
}

void resum(uint8_t* r, uint32_t n) {
    uint8_t sum = 0;
    for (uint32_t i = 2; i < 8 + n; ++i)
        sum ^= r[i];
    r[8 + n] = sum;
}

uint8_t frameCommand(const uint8_t* r) {
    return static_cast<uint8_t>((nibble(r[3]) << 4) | nibble(r[4]));
}

// Where the serial number lies in a GetStatus answer (report offsets), or 0.
size_t statusSerialOffset(const uint8_t* r, uint32_t n) {
    if (n < 8)
        return 0;
    const uint8_t* payload = r + 8;
    const uint32_t length = n - 1;
    const uint8_t type = payload[5];
    const uint32_t table = type <= 2 ? 20 : type <= 5 ? 24 : 32;
    const uint32_t versionStart = 6 + table;
    if (length < versionStart + 1 + kSerialLength)
        return 0;
    const void* nul = std::memchr(payload + versionStart, 0, length - versionStart);
    if (!nul)
        return 0;
    const auto serialStart = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - payload) + 1;
    return length < serialStart + kSerialLength ? 0 : 8 + serialStart;
}

} // namespace

void SerialMask::learn(const std::string& serial) {
    if (!serial.empty())
        serials_.insert(serial);
}

void SerialMask::maskArgs(std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--serial" && i + 1 < args.size())
            learn(args[i + 1]);
        else if (args[i].rfind("--serial=", 0) == 0)
            learn(args[i].substr(9));
    }
    for (auto& a : args)
        maskText(a);
}

bool SerialMask::maskText(std::string& text) const {
    if (text.empty())
        return false;
    if (serials_.count(text)) {
        text.assign(text.size(), 'X');
        return true;
    }
    bool changed = false;
    for (std::string serial : serials_) {
        while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0'))
            serial.pop_back();
        if (serial.size() < 4)
            continue;
        for (size_t at = text.find(serial); at != std::string::npos;
             at = text.find(serial, at + serial.size())) {
            text.replace(at, serial.size(), serial.size(), 'X');
            changed = true;
        }
    }
    return changed;
}

std::vector<uint8_t> SerialMask::maskReport(std::vector<uint8_t> r) {
    const uint32_t n = frameCount(r.data(), r.size());
    bool changed = false;
    size_t at = 0;
    if (n) {
        const uint8_t command = frameCommand(r.data());
        if (command == kGetStatus && r[7] == 0)
            at = statusSerialOffset(r.data(), n);
        else if (command == kSetSerialNumber && n == kSerialLength)
            at = 7;
    }
    if (at) {
        serials_.insert(std::string(r.begin() + static_cast<long>(at),
                                    r.begin() + static_cast<long>(at + kSerialLength)));
        std::memset(r.data() + at, 'X', kSerialLength);
        changed = true;
    }
    std::string bytes(r.begin(), r.end());
    if (maskText(bytes)) {
        std::copy(bytes.begin(), bytes.end(), r.begin());
        changed = true;
    }
    if (changed && n)
        resum(r.data(), n);
    return r;
}

} // namespace orvex::trace
