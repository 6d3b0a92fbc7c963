#include "virtual_loader.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "bsl/device_notifier.h"
#include "trace_replay.h"

namespace orvex::sim {

VirtualLoader::VirtualLoader() {
    vendorId = 0x2047;
    productId = 0x0200;
    release = 0x0109;
    manufacturer = L"Texas Instruments";
    product = L"MSP430 USB BSL";
    serialNumber = L"";
    interfaces = {0};
}

void VirtualLoader::attach() {
    std::weak_ptr<VirtualLoader> weak = shared_from_this();
    LoaderModel::Hooks hooks;
    hooks.startRamLoader = [weak] {
        if (auto self = weak.lock())
            VirtualBus::instance().unplug(self, self->ramLoaderArrivalMs);
    };
    hooks.restartRom = [weak] {
        if (auto self = weak.lock())
            VirtualBus::instance().unplug(self, self->romArrivalMs);
    };
    hooks.bootApplication = [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        VirtualBus::instance().unplug(self, kNever);
        if (auto k = self->keypad.lock()) {
            const std::string v = self->model.imageVersion();
            if (!v.empty())
                k->model.setVersion(v);
            VirtualBus::instance().plug(k, self->keypadReturnMs);
        }
    };
    hooks.die = [weak] {
        if (auto self = weak.lock())
            VirtualBus::instance().unplug(self, kNever);
    };
    hooks.dropOff = [weak](uint32_t returnAfterMs) {
        if (auto self = weak.lock())
            VirtualBus::instance().unplug(self, returnAfterMs);
    };
    model.setHooks(std::move(hooks));
}

void VirtualLoader::powerUpWithPurPin() {
    auto self = shared_from_this();
    VirtualBus::instance().unplug(self, kNever);
    if (auto k = keypad.lock())
        VirtualBus::instance().unplug(k, kNever);
    model.forceRomLoader();
    VirtualBus::instance().plug(self, romArrivalMs);
}

void VirtualLoader::replug() {
    auto self = shared_from_this();
    VirtualBus::instance().unplug(self, kNever);
    switch (model.powerUp()) {
    case LoaderModel::Boot::Application:
        if (auto k = keypad.lock()) {
            const std::string v = model.imageVersion();
            if (!v.empty())
                k->model.setVersion(v);
            VirtualBus::instance().plug(k, keypadReturnMs);
        }
        return;
    case LoaderModel::Boot::RomLoader:
        VirtualBus::instance().plug(self, romArrivalMs);
        return;
    case LoaderModel::Boot::Dead:
        return;
    }
}

void VirtualLoader::write(int iface, const uint8_t* data, size_t length, uint64_t now) {
    if (iface == 0)
        model.receive(data, length, now);
}

int VirtualLoader::read(int iface, uint8_t* data, size_t length, uint64_t now) {
    if (iface != 0)
        return 0;
    Report r;
    return model.takeInput(r, now) ? CopyReport(r, data, length) : 0;
}

void VirtualLoader::arrived() {
    model.arrive();
}

std::shared_ptr<VirtualLoader> makeLoader() {
    auto l = std::make_shared<VirtualLoader>();
    l->attach();
    return l;
}

std::string VirtualLoader::port() const {
    // The keypad's loader comes up on the keypad's port.
    if (const auto k = keypad.lock())
        return k->port();
    return BusDevice::port();
}

std::shared_ptr<VirtualLoader> attachLoader(const std::shared_ptr<VirtualKeypad>& keypad) {
    auto loader = makeLoader();
    loader->keypad = keypad;
    loader->model.loadFactoryImage(keypad->model.version());
    keypad->loaderFactory = [loader](std::shared_ptr<VirtualKeypad>) -> std::shared_ptr<BusDevice> {
        loader->model.enterRom();
        return loader;
    };
    return loader;
}

} // namespace orvex::sim

// ---------------------------------------------------------------------------
// The loader library's device-change notifier for the virtual bus. Events come
// from the bus listeners; a small thread pumps the bus in real time so delayed
// arrivals are delivered even while nobody calls hidapi.

namespace orvex::bsl {

namespace {

class VirtualNotifier final : public DeviceNotifier {
public:
    ~VirtualNotifier() override { stop(); }

    bool start(uint16_t vendorId, uint16_t productId, DeviceEventCallback callback) override {
        stop();
        auto gate = std::make_shared<Gate>();
        gate->callback = std::move(callback);
        gate_ = gate;
        listener_ = sim::VirtualBus::instance().addListener(
            [gate, vendorId, productId](const sim::BusEvent& e) {
                if (e.vendorId != vendorId || e.productId != productId)
                    return;
                std::lock_guard lock(gate->m);
                if (gate->open)
                    gate->callback(e.kind == sim::BusEvent::Arrival ? 0x8000u : 0x8004u);
            });
        stopping_ = false;
        pump_ = std::thread([this] {
            std::unique_lock lock(wake_);
            while (
                !cv_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stopping_; })) {
                lock.unlock();
                sim::VirtualBus::instance().pump();
                lock.lock();
            }
        });
        return true;
    }

    void stop() override {
        if (pump_.joinable()) {
            {
                std::lock_guard lock(wake_);
                stopping_ = true;
            }
            cv_.notify_all();
            pump_.join();
        }
        if (listener_) {
            sim::VirtualBus::instance().removeListener(listener_);
            listener_ = 0;
        }
        if (gate_) {
            std::lock_guard lock(gate_->m);
            gate_->open = false;
        }
        gate_.reset();
    }

private:
    // Closed by stop(); a callback in progress holds it, so stop() waits for it.
    struct Gate {
        std::recursive_mutex m;
        bool open = true;
        DeviceEventCallback callback;
    };
    std::shared_ptr<Gate> gate_;
    int listener_ = 0;
    std::thread pump_;
    std::mutex wake_;
    std::condition_variable cv_;
    bool stopping_ = false;
};

} // namespace

std::unique_ptr<DeviceNotifier> makeDeviceNotifier() {
    return std::make_unique<VirtualNotifier>();
}

std::string UsbPortOfHidPath(const std::string& path) {
    // A recording names no ports: the devices it plays (one keypad and its
    // loader) are taken to share one.
    if (sim::TraceReplay::active())
        return "replay";
    int iface = 0;
    uint64_t generation = 0;
    const auto dev = sim::VirtualBus::instance().resolve(path, iface, generation);
    return dev ? dev->port() : std::string();
}

} // namespace orvex::bsl
