#include "virtual_bus.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/clock.h"

namespace orvex::sim {

int CopyReport(const Report& r, uint8_t* data, size_t length) {
    const size_t n = std::min(length, r.size());
    std::memcpy(data, r.data(), n);
    return static_cast<int>(n);
}

VirtualBus& VirtualBus::instance() {
    static VirtualBus bus;
    return bus;
}

VirtualBus::Slot* VirtualBus::slotOf(const std::shared_ptr<BusDevice>& dev) {
    for (auto& s : slots_)
        if (s.device == dev)
            return &s;
    return nullptr;
}

const VirtualBus::Slot* VirtualBus::slotOf(const std::shared_ptr<BusDevice>& dev) const {
    for (auto& s : slots_)
        if (s.device == dev)
            return &s;
    return nullptr;
}

void VirtualBus::plug(const std::shared_ptr<BusDevice>& dev, uint32_t afterMs) {
    std::vector<BusEvent> events;
    {
        std::lock_guard lock(m_);
        if (!slotOf(dev))
            slots_.push_back({nextSlot_++, dev, false, 0});
        if (afterMs == 0) {
            Slot* s = slotOf(dev);
            if (!s->present) {
                s->present = true;
                ++s->generation;
                dev->arrived();
                events.push_back({BusEvent::Arrival, dev->vendorId, dev->productId});
            }
        } else {
            pending_.push_back({tick_ms() + afterMs, dev});
        }
    }
    notify(events);
}

void VirtualBus::unplug(const std::shared_ptr<BusDevice>& dev, uint32_t returnAfterMs) {
    std::vector<BusEvent> events;
    {
        std::lock_guard lock(m_);
        Slot* s = slotOf(dev);
        if (!s)
            return;
        std::erase_if(pending_, [&](const Pending& p) { return p.device == dev; });
        if (s->present) {
            s->present = false;
            ++s->generation;
            dev->removed();
            events.push_back({BusEvent::Removal, dev->vendorId, dev->productId});
        }
        if (returnAfterMs != kNever)
            pending_.push_back({tick_ms() + returnAfterMs, dev});
    }
    notify(events);
}

bool VirtualBus::present(const std::shared_ptr<BusDevice>& dev) const {
    std::lock_guard lock(m_);
    const Slot* s = slotOf(dev);
    return s && s->present;
}

void VirtualBus::reset() {
    std::lock_guard lock(m_);
    slots_.clear();
    pending_.clear();
    listeners_.clear();
    openHandles_ = 0;
    exitCalls_ = 0;
    // Paths start again at sim:1, as in a program of its own: a test sees the
    // same paths whether it runs alone or after others in one process.
    nextSlot_ = 1;
}

void VirtualBus::pump() {
    std::vector<BusEvent> events;
    {
        std::lock_guard lock(m_);
        const uint64_t now = tick_ms();
        std::vector<Pending> due;
        std::erase_if(pending_, [&](const Pending& p) {
            if (p.at > now)
                return false;
            due.push_back(p);
            return true;
        });
        std::sort(due.begin(), due.end(),
                  [](const Pending& a, const Pending& b) { return a.at < b.at; });
        for (auto& p : due) {
            Slot* s = slotOf(p.device);
            if (s && !s->present) {
                s->present = true;
                ++s->generation;
                p.device->arrived();
                events.push_back({BusEvent::Arrival, p.device->vendorId, p.device->productId});
            }
        }
    }
    notify(events);
}

void VirtualBus::notify(std::vector<BusEvent>& events) {
    if (events.empty())
        return;
    std::vector<std::function<void(const BusEvent&)>> fns;
    {
        std::lock_guard lock(m_);
        for (auto& l : listeners_)
            fns.push_back(l.second);
    }
    for (auto& e : events)
        for (auto& fn : fns)
            fn(e);
}

int VirtualBus::addListener(std::function<void(const BusEvent&)> fn) {
    std::lock_guard lock(m_);
    listeners_.emplace_back(nextListener_, std::move(fn));
    return nextListener_++;
}

void VirtualBus::announce(const BusEvent& event) {
    std::vector<BusEvent> events{event};
    notify(events);
}

void VirtualBus::removeListener(int id) {
    std::lock_guard lock(m_);
    std::erase_if(listeners_, [&](const auto& l) { return l.first == id; });
}

std::string BusDevice::NextUsbPort() {
    static std::atomic<int> next{1};
    return "1-" + std::to_string(next++);
}

std::vector<EnumEntry> VirtualBus::enumerate(uint16_t vid, uint16_t pid) {
    pump();
    std::lock_guard lock(m_);
    std::vector<EnumEntry> out;
    for (auto& s : slots_) {
        if (!s.present)
            continue;
        const auto& d = *s.device;
        if ((vid && d.vendorId != vid) || (pid && d.productId != pid))
            continue;
        for (int iface : d.interfaces)
            out.push_back(
                {"sim:" + std::to_string(s.id) + ":" + std::to_string(iface), s.device, iface});
    }
    return out;
}

std::shared_ptr<BusDevice> VirtualBus::resolve(const std::string& path, int& iface,
                                               uint64_t& generation) {
    pump();
    std::lock_guard lock(m_);
    int id = 0;
    if (std::sscanf(path.c_str(), "sim:%d:%d", &id, &iface) != 2)
        return nullptr;
    for (auto& s : slots_) {
        if (s.id != id || !s.present)
            continue;
        const auto& ifs = s.device->interfaces;
        if (std::find(ifs.begin(), ifs.end(), iface) == ifs.end() || s.device->openFails)
            return nullptr;
        generation = s.generation;
        return s.device;
    }
    return nullptr;
}

bool VirtualBus::alive(const std::shared_ptr<BusDevice>& dev, uint64_t generation) const {
    std::lock_guard lock(m_);
    const Slot* s = slotOf(dev);
    return s && s->present && s->generation == generation;
}

// ---------------------------------------------------------------------------

VirtualKeypad::VirtualKeypad() {
    vendorId = 0x2047;
    productId = 0x09BF;
    release = 0x0207;
    manufacturer = L"Halden Interface";
    product = L"Orvex Illuminated Keypad";
    serialNumber = L"";
    interfaces = {0, 1};
}

void VirtualKeypad::attach() {
    std::weak_ptr<VirtualKeypad> weak = shared_from_this();
    KeypadModel::Hooks hooks;
    hooks.restart = [weak](uint32_t delayMs) {
        if (auto self = weak.lock())
            VirtualBus::instance().unplug(self, delayMs);
    };
    hooks.enterBootloader = [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        VirtualBus::instance().unplug(self, kNever);
        if (self->loaderFactory)
            VirtualBus::instance().plug(self->loaderFactory(self), self->loaderArrivalMs);
    };
    hooks.unplug = [weak] {
        if (auto self = weak.lock())
            VirtualBus::instance().unplug(self, kNever);
    };
    model.setHooks(std::move(hooks));
}

void VirtualKeypad::write(int iface, const uint8_t* data, size_t length, uint64_t now) {
    if (iface == 1)
        model.receive(data, length, now);
}

int VirtualKeypad::read(int iface, uint8_t* data, size_t length, uint64_t now) {
    if (iface != 1)
        return 0;
    Report r;
    return model.takeInput(r, now) ? CopyReport(r, data, length) : 0;
}

void VirtualKeypad::arrived() {
    // Coming back from a restart: power-up settings, nothing left to read.
    model.powerCycle();
}

std::shared_ptr<VirtualKeypad> makeKeypad() {
    auto k = std::make_shared<VirtualKeypad>();
    k->attach();
    return k;
}

std::shared_ptr<VirtualKeypad> defaultKeypad() {
    static std::shared_ptr<VirtualKeypad> k = makeKeypad();
    return k;
}

} // namespace orvex::sim
