#pragma once

// A USB bus with hot-plug for virtual HID devices, and the virtual keypad on it.
// The hidapi functions of the virtual backend (hidapi_sim.cpp) are built on it.

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "keypad_model.h"

namespace orvex::sim {

inline constexpr uint32_t kNever = std::numeric_limits<uint32_t>::max();

class BusDevice {
public:
    virtual ~BusDevice() = default;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t release = 0x0100;
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serialNumber;
    // Interfaces in the order the bus lists them.
    std::vector<int> interfaces{0};
    // Fail the string queries (the host sees an error).
    bool stringsFail = false;
    // Listed, but opening it fails (as a device node without permission).
    bool openFails = false;
    // The USB port it is plugged into; each device gets its own unless set.
    std::string usbPort = NextUsbPort();
    virtual std::string port() const { return usbPort; }
    static std::string NextUsbPort();

    virtual void write(int iface, const uint8_t* data, size_t length, uint64_t now) = 0;
    // Copies one waiting input report; 0 when none is readable at `now`.
    virtual int read(int iface, uint8_t* data, size_t length, uint64_t now) = 0;
    virtual void arrived() {}
    virtual void removed() {}
};

struct BusEvent {
    enum Kind { Arrival, Removal };
    Kind kind;
    uint16_t vendorId;
    uint16_t productId;
};

struct EnumEntry {
    std::string path;
    std::shared_ptr<BusDevice> device;
    int interfaceNumber;
};

// Copies a report into a host's read buffer; the count of bytes copied.
int CopyReport(const Report& r, uint8_t* data, size_t length);

class VirtualBus {
public:
    static VirtualBus& instance();

    // Plug a device in now or after `afterMs`.
    void plug(const std::shared_ptr<BusDevice>& dev, uint32_t afterMs = 0);
    // Remove a device now; it comes back after `returnAfterMs` unless kNever.
    void unplug(const std::shared_ptr<BusDevice>& dev, uint32_t returnAfterMs = kNever);
    bool present(const std::shared_ptr<BusDevice>& dev) const;
    // Remove every device, pending event and listener.
    void reset();
    // Carry out the arrivals and removals that are due; tell the listeners.
    void pump();

    int addListener(std::function<void(const BusEvent&)> fn);
    // Tells the listeners of an arrival or removal that no device on this bus
    // made (a replayed recording).
    void announce(const BusEvent& event);
    void removeListener(int id);

    // --- used by the hidapi functions ---
    std::vector<EnumEntry> enumerate(uint16_t vid, uint16_t pid);
    // Resolves a path to a present device; generation identifies this plug-in.
    std::shared_ptr<BusDevice> resolve(const std::string& path, int& iface, uint64_t& generation);
    bool alive(const std::shared_ptr<BusDevice>& dev, uint64_t generation) const;
    std::recursive_mutex& mutex() const { return m_; }

    // Bookkeeping the tests look at.
    int openHandles() const { return openHandles_; }
    void handleOpened() { ++openHandles_; }
    void handleClosed() { --openHandles_; }
    int exitCalls() const { return exitCalls_; }
    void exitCalled() { ++exitCalls_; }

private:
    struct Slot {
        int id;
        std::shared_ptr<BusDevice> device;
        bool present = false;
        uint64_t generation = 0;
    };
    struct Pending {
        uint64_t at;
        std::shared_ptr<BusDevice> device;
    };
    Slot* slotOf(const std::shared_ptr<BusDevice>& dev);
    const Slot* slotOf(const std::shared_ptr<BusDevice>& dev) const;
    void notify(std::vector<BusEvent>& events);

    mutable std::recursive_mutex m_;
    std::vector<Slot> slots_;
    std::vector<Pending> pending_;
    std::vector<std::pair<int, std::function<void(const BusEvent&)>>> listeners_;
    int nextSlot_ = 1;
    int nextListener_ = 1;
    int openHandles_ = 0;
    int exitCalls_ = 0;
};

// The keypad on the bus: interface 0 (keyboard, silent here) and interface 1
// (commands, answered by the model).
class VirtualKeypad : public BusDevice, public std::enable_shared_from_this<VirtualKeypad> {
public:
    VirtualKeypad();
    KeypadModel model;
    // Set by the loader model when it exists: what arrives after EnterBootloader.
    std::function<std::shared_ptr<BusDevice>(std::shared_ptr<VirtualKeypad>)> loaderFactory;
    uint32_t loaderArrivalMs = 800;

    // Wire the model's restart requests to the bus; call once after creation.
    void attach();

    void write(int iface, const uint8_t* data, size_t length, uint64_t now) override;
    int read(int iface, uint8_t* data, size_t length, uint64_t now) override;
    void arrived() override;
};

std::shared_ptr<VirtualKeypad> makeKeypad();
// The keypad that the -virtual program starts with.
std::shared_ptr<VirtualKeypad> defaultKeypad();

} // namespace orvex::sim
