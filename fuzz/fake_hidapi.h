#pragma once

// A scripted hidapi for the fuzz targets: one device whose input reports come
// from the fuzzer's bytes, and which keeps every report written to it. Linked
// instead of the system hidapi, so the product code reads the fuzzer's reports
// through its own hidapi calls.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

struct hid_device_;

namespace fakehid {

struct Input {
    int result = 0; // what hid_read_timeout returns: bytes, 0 (nothing yet) or -1
    std::array<uint8_t, 64> bytes{};
};

struct Device {
    bool present = true;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    int interfaceNumber = 0;
    // Reads before the first write come from `early`, the rest from `late`;
    // with `byTimeout` instead, zero-wait reads take `early` and waiting reads
    // `late` (the loader library drains with zero-wait reads and waits for its
    // reply).
    bool byTimeout = false;
    std::deque<Input> early;
    std::deque<Input> late;
    int writeResult = 64;
    std::vector<std::array<uint8_t, 64>> writes;
    // Called with each written report; may queue answers.
    std::function<void(const std::array<uint8_t, 64>&)> onWrite;
    int reads = 0;     // reads that returned something other than 0
    int openCount = 0; // handles open now
};

Device& device();
// A fresh device: present, nothing queued, nothing written.
void reset(uint16_t vendorId, uint16_t productId, int interfaceNumber);
// Reads on this handle come from `early` again until its next write.
void rearm(hid_device_* handle);

} // namespace fakehid
