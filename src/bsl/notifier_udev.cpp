// Device-change notifier for real devices: a libudev monitor on its own thread.
// Arrival is taken from the hidraw node (it exists once hidapi can open the
// loader), removal from the usb_device, whose PRODUCT is still known when its
// sysfs entry is already gone.

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <thread>

#include "bsl/device_notifier.h"

namespace orvex::bsl {

namespace {

class UdevNotifier final : public DeviceNotifier {
public:
    ~UdevNotifier() override { stop(); }

    bool start(uint16_t vendorId, uint16_t productId, DeviceEventCallback callback) override {
        stop();
        udev_ = udev_new();
        if (!udev_)
            return false;
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (!monitor_ || wake_ < 0 ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0) {
            release();
            return false;
        }
        vid_ = vendorId;
        pid_ = productId;
        callback_ = std::move(callback);
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void stop() override {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
            thread_.join();
        }
        release();
    }

private:
    void release() {
        if (monitor_)
            udev_monitor_unref(monitor_);
        if (udev_)
            udev_unref(udev_);
        if (wake_ >= 0)
            close(wake_);
        monitor_ = nullptr;
        udev_ = nullptr;
        wake_ = -1;
    }

    void run() {
        pollfd fds[2] = {{udev_monitor_get_fd(monitor_), POLLIN, 0}, {wake_, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0)
                continue;
            if (fds[1].revents || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
                return;
            if (!(fds[0].revents & POLLIN))
                continue;
            udev_device* dev = udev_monitor_receive_device(monitor_);
            if (!dev)
                continue;
            const uint32_t event = classify(dev);
            udev_device_unref(dev);
            if (event)
                callback_(event);
        }
    }

    uint32_t classify(udev_device* dev) const {
        const char* action = udev_device_get_action(dev);
        const char* subsystem = udev_device_get_subsystem(dev);
        if (!action || !subsystem)
            return 0;
        if (std::strcmp(subsystem, "hidraw") == 0 && std::strcmp(action, "add") == 0) {
            udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
            const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
            return MatchHidId(id, vid_, pid_) ? 0x8000 : 0;
        }
        if (std::strcmp(subsystem, "usb") == 0 && std::strcmp(action, "remove") == 0) {
            const char* product = udev_device_get_property_value(dev, "PRODUCT");
            return MatchUsbProduct(product, vid_, pid_) ? 0x8004 : 0;
        }
        return 0;
    }

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int wake_ = -1;
    uint16_t vid_ = 0;
    uint16_t pid_ = 0;
    DeviceEventCallback callback_;
    std::thread thread_;
};

} // namespace

std::unique_ptr<DeviceNotifier> makeDeviceNotifier() {
    return std::make_unique<UdevNotifier>();
}

std::string UsbPortOfHidPath(const std::string& path) {
    // hidapi's hidraw paths are device nodes: /dev/hidrawN.
    const size_t slash = path.rfind('/');
    if (path.compare(0, 5, "/dev/") != 0 || slash == std::string::npos)
        return {};
    udev* u = udev_new();
    if (!u)
        return {};
    std::string port;
    if (udev_device* dev =
            udev_device_new_from_subsystem_sysname(u, "hidraw", path.c_str() + slash + 1)) {
        // The parent is owned by dev.
        if (udev_device* usb =
                udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device"))
            if (const char* name = udev_device_get_sysname(usb))
                port = name;
        udev_device_unref(dev);
    }
    udev_unref(u);
    return port;
}

} // namespace orvex::bsl
