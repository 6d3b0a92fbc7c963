#pragma once

// Link timing for the virtual bus. Each HID interface becomes a full-speed
// interrupt endpoint pair that moves one 64-byte report per direction per 1 ms
// frame. Off by default: the bus then hands reports over at once, which is
// what the tests expect. When on, a write blocks (orvex::sleep_ms) until the
// frame that carries it has passed, as a hidraw write does, and an answer
// reaches the host one frame after the device queued it. Under a VirtualClock
// the elapsed time is then exactly the time the link needs.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "keypad_model.h"

namespace orvex::sim {

class BusDevice;

// One report on the bus: its direction and the frame [frame, frame + 1) ms
// that carried it.
struct Transfer {
    enum Direction { Out, In };
    Direction direction = Out;
    uint64_t frame = 0;
};

class UsbTiming {
public:
    static constexpr uint32_t kFrameMs = 1;

    static UsbTiming& instance();

    void setEnabled(bool on) { enabled_ = on; }
    bool enabled() const { return enabled_; }
    // Forgets the endpoints' queues, the transfer log and the device time.
    void reset();

    // --- the hidapi functions call these while enabled ---
    // Waits for the report's OUT frame, then hands it to the device at the end
    // of that frame. The length written, or -1 when the device left meanwhile.
    int write(const std::shared_ptr<BusDevice>& dev, int iface, uint64_t generation,
              const uint8_t* data, size_t length);
    // The next input report that has crossed the bus by now; 0 when none.
    int read(const std::shared_ptr<BusDevice>& dev, int iface, uint64_t generation, uint8_t* data,
             size_t length);

    // --- what benchmarks read ---
    std::vector<Transfer> transfers() const;
    size_t transferCount() const;
    void clearTransfers();
    // Wall time spent inside the virtual devices' own code (building answers,
    // computing CRCs), so it can be kept apart from the host's CPU time.
    uint64_t deviceNanoseconds() const { return deviceNs_.load(); }

private:
    struct Endpoint {
        std::weak_ptr<BusDevice> device;
        uint64_t generation = 0;
        uint64_t outFree = 0; // first frame the OUT endpoint is free
        uint64_t inFree = 0;  // first frame the IN endpoint is free
        // Reports on their way to the host, with the time they arrive.
        std::deque<std::pair<uint64_t, Report>> toHost;
    };
    Endpoint& endpoint(const std::shared_ptr<BusDevice>& dev, int iface, uint64_t generation);
    // Moves what the device has queued by `now` onto the IN endpoint.
    void collect(Endpoint& ep, BusDevice& dev, int iface, uint64_t now);

    mutable std::mutex m_;
    std::atomic<bool> enabled_{false};
    std::atomic<uint64_t> deviceNs_{0};
    std::map<std::pair<const BusDevice*, int>, Endpoint> endpoints_;
    std::vector<Transfer> log_;
};

} // namespace orvex::sim
