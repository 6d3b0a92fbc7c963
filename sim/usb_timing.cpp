#include "usb_timing.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/clock.h"
#include "virtual_bus.h"

namespace orvex::sim {

namespace {

// Times a call into a virtual device.
class DeviceTimer {
public:
    explicit DeviceTimer(std::atomic<uint64_t>& sum)
        : sum_(sum), start_(std::chrono::steady_clock::now()) {}
    ~DeviceTimer() {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now() - start_)
                            .count();
        sum_ += static_cast<uint64_t>(ns);
    }

private:
    std::atomic<uint64_t>& sum_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace

UsbTiming& UsbTiming::instance() {
    static UsbTiming timing;
    return timing;
}

void UsbTiming::reset() {
    std::lock_guard lock(m_);
    endpoints_.clear();
    log_.clear();
    deviceNs_ = 0;
}

UsbTiming::Endpoint& UsbTiming::endpoint(const std::shared_ptr<BusDevice>& dev, int iface,
                                         uint64_t generation) {
    Endpoint& ep = endpoints_[{dev.get(), iface}];
    // A new plug-in (or a new device at a recycled address) starts empty.
    if (ep.device.lock() != dev || ep.generation != generation) {
        ep = Endpoint{};
        ep.device = dev;
        ep.generation = generation;
    }
    return ep;
}

void UsbTiming::collect(Endpoint& ep, BusDevice& dev, int iface, uint64_t now) {
    for (;;) {
        Report r{};
        int n;
        {
            DeviceTimer t(deviceNs_);
            n = dev.read(iface, r.data(), r.size(), now);
        }
        if (n <= 0)
            return;
        const uint64_t frame = std::max(now, ep.inFree);
        ep.inFree = frame + kFrameMs;
        ep.toHost.emplace_back(frame + kFrameMs, r);
        log_.push_back({Transfer::In, frame});
    }
}

int UsbTiming::write(const std::shared_ptr<BusDevice>& dev, int iface, uint64_t generation,
                     const uint8_t* data, size_t length) {
    uint64_t done;
    {
        std::lock_guard lock(m_);
        Endpoint& ep = endpoint(dev, iface, generation);
        const uint64_t frame = std::max(tick_ms(), ep.outFree);
        ep.outFree = frame + kFrameMs;
        done = frame + kFrameMs;
        log_.push_back({Transfer::Out, frame});
    }
    // The write returns once its transfer has completed.
    const uint64_t now = tick_ms();
    if (done > now)
        sleep_ms(static_cast<uint32_t>(done - now));
    if (!VirtualBus::instance().alive(dev, generation))
        return -1;
    {
        DeviceTimer t(deviceNs_);
        dev->write(iface, data, length, done);
    }
    // A device that left with the write (a restart) sends nothing more.
    if (!VirtualBus::instance().alive(dev, generation))
        return static_cast<int>(length);
    // An answer the device queued at once leaves on the next IN frame.
    std::lock_guard lock(m_);
    collect(endpoint(dev, iface, generation), *dev, iface, done);
    return static_cast<int>(length);
}

int UsbTiming::read(const std::shared_ptr<BusDevice>& dev, int iface, uint64_t generation,
                    uint8_t* data, size_t length) {
    std::lock_guard lock(m_);
    Endpoint& ep = endpoint(dev, iface, generation);
    const uint64_t now = tick_ms();
    collect(ep, *dev, iface, now);
    if (ep.toHost.empty() || ep.toHost.front().first > now)
        return 0;
    const Report& r = ep.toHost.front().second;
    const size_t n = std::min(length, r.size());
    std::memcpy(data, r.data(), n);
    ep.toHost.pop_front();
    return static_cast<int>(n);
}

std::vector<Transfer> UsbTiming::transfers() const {
    std::lock_guard lock(m_);
    return log_;
}

size_t UsbTiming::transferCount() const {
    std::lock_guard lock(m_);
    return log_.size();
}

void UsbTiming::clearTransfers() {
    std::lock_guard lock(m_);
    log_.clear();
}

} // namespace orvex::sim
