// The hidapi C API over the virtual bus: the virtual backend that tests and the
// -virtual program link instead of the system hidapi.

#include <hidapi/hidapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/clock.h"
#include "trace_replay.h"
#include "usb_timing.h"
#include "virtual_bus.h"

using orvex::sim::BusDevice;
using orvex::sim::TraceReplay;
using orvex::sim::UsbTiming;
using orvex::sim::VirtualBus;

struct hid_device_ {
    std::shared_ptr<BusDevice> device;
    int iface = 0;
    uint64_t generation = 0;
    bool nonblocking = false;
    hid_device_info* info = nullptr;
    std::string path;
    int replayDev = 0; // the recorded handle this one stands for
};

namespace {

wchar_t* dupWide(const std::wstring& s) {
    auto* p = static_cast<wchar_t*>(std::calloc(s.size() + 1, sizeof(wchar_t)));
    std::wmemcpy(p, s.c_str(), s.size());
    return p;
}

hid_device_info* makeInfo(const orvex::sim::EnumEntry& e) {
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup(e.path.c_str());
    info->vendor_id = e.device->vendorId;
    info->product_id = e.device->productId;
    info->serial_number = dupWide(e.device->serialNumber);
    info->release_number = e.device->release;
    info->manufacturer_string = dupWide(e.device->manufacturer);
    info->product_string = dupWide(e.device->product);
    info->usage_page = e.interfaceNumber == 0 ? 0x01 : 0xFF00;
    info->usage = e.interfaceNumber == 0 ? 0x06 : 0x01;
    info->interface_number = e.interfaceNumber;
    info->bus_type = HID_API_BUS_USB;
    return info;
}

// UTF-8 (as recorded) back to a wide string.
std::wstring widen(const std::string& s) {
    std::wstring out;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const int extra = c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t code = extra == 2 ? c & 0x0F : extra == 1 ? c & 0x1F : c;
        for (int k = 1; k <= extra && i + static_cast<size_t>(k) < s.size(); ++k)
            code = code << 6 | (static_cast<unsigned char>(s[i + static_cast<size_t>(k)]) & 0x3F);
        out += static_cast<wchar_t>(code);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

hid_device_info* makeReplayInfo(const orvex::sim::ReplayDevice& d) {
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup(d.path.c_str());
    info->vendor_id = d.vendorId;
    info->product_id = d.productId;
    info->serial_number = dupWide(widen(d.serial));
    info->release_number = d.release;
    info->manufacturer_string = dupWide(widen(d.manufacturer));
    info->product_string = dupWide(widen(d.product));
    info->interface_number = d.interfaceNumber;
    info->bus_type = HID_API_BUS_USB;
    return info;
}

int replayString(hid_device* dev, const char* which, wchar_t* out, size_t maxlen) {
    std::string value;
    if (!out || maxlen == 0 || TraceReplay::active()->string(dev->replayDev, which, value) < 0)
        return -1;
    const std::wstring w = widen(value);
    const size_t n = std::min(w.size(), maxlen - 1);
    std::wmemcpy(out, w.c_str(), n);
    out[n] = L'\0';
    return 0;
}

void freeInfo(hid_device_info* info) {
    while (info) {
        hid_device_info* next = info->next;
        std::free(info->path);
        std::free(info->serial_number);
        std::free(info->manufacturer_string);
        std::free(info->product_string);
        std::free(info);
        info = next;
    }
}

bool alive(hid_device* dev) {
    return dev && dev->device && VirtualBus::instance().alive(dev->device, dev->generation);
}

int copyString(hid_device* dev, const std::wstring& s, wchar_t* out, size_t maxlen) {
    if (!alive(dev) || dev->device->stringsFail || !out || maxlen == 0)
        return -1;
    const size_t n = std::min(s.size(), maxlen - 1);
    std::wmemcpy(out, s.c_str(), n);
    out[n] = L'\0';
    return 0;
}

} // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) {
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void) {
    VirtualBus::instance().exitCalled();
    return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    if (TraceReplay* replay = TraceReplay::active()) {
        for (const auto& d : replay->enumerate(vendor_id, product_id)) {
            *tail = makeReplayInfo(d);
            tail = &(*tail)->next;
        }
        return head;
    }
    for (const auto& e : VirtualBus::instance().enumerate(vendor_id, product_id)) {
        *tail = makeInfo(e);
        tail = &(*tail)->next;
    }
    return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
    freeInfo(devs);
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
    if (!path)
        return nullptr;
    if (TraceReplay* replay = TraceReplay::active()) {
        const int recorded = replay->open(path);
        if (!recorded)
            return nullptr;
        auto* dev = new hid_device_;
        dev->replayDev = recorded;
        dev->path = path;
        return dev;
    }
    auto* dev = new hid_device_;
    dev->device = VirtualBus::instance().resolve(path, dev->iface, dev->generation);
    if (!dev->device) {
        delete dev;
        return nullptr;
    }
    dev->path = path;
    VirtualBus::instance().handleOpened();
    return dev;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id,
                                                 unsigned short product_id,
                                                 const wchar_t* /*serial_number*/) {
    const auto list = VirtualBus::instance().enumerate(vendor_id, product_id);
    return list.empty() ? nullptr : hid_open_path(list.front().path.c_str());
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data,
                                          size_t length) {
    if (TraceReplay* replay = TraceReplay::active())
        return dev && data ? replay->write(dev->replayDev, data, length) : -1;
    if (!alive(dev) || !data)
        return -1;
    if (UsbTiming::instance().enabled())
        return UsbTiming::instance().write(dev->device, dev->iface, dev->generation, data, length);
    dev->device->write(dev->iface, data, length, orvex::tick_ms());
    return static_cast<int>(length);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data,
                                                 size_t length, int milliseconds) {
    if (TraceReplay* replay = TraceReplay::active())
        return dev && data ? replay->read(dev->replayDev, data, length) : -1;
    int waited = 0;
    for (;;) {
        VirtualBus::instance().pump();
        if (!alive(dev))
            return -1;
        const int n =
            UsbTiming::instance().enabled()
                ? UsbTiming::instance().read(dev->device, dev->iface, dev->generation, data, length)
                : dev->device->read(dev->iface, data, length, orvex::tick_ms());
        if (n > 0 || milliseconds == 0)
            return n;
        if (milliseconds > 0 && waited >= milliseconds)
            return 0;
        orvex::sleep_ms(1);
        ++waited;
    }
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length) {
    if (!dev)
        return -1;
    return hid_read_timeout(dev, data, length, dev->nonblocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock) {
    if (!dev)
        return -1;
    dev->nonblocking = nonblock != 0;
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device*, const unsigned char*, size_t) {
    return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device*, unsigned char*, size_t) {
    return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device*, unsigned char*, size_t) {
    return -1;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
    if (!dev)
        return;
    if (TraceReplay* replay = TraceReplay::active()) {
        replay->close(dev->replayDev);
        freeInfo(dev->info);
        delete dev;
        return;
    }
    VirtualBus::instance().handleClosed();
    freeInfo(dev->info);
    delete dev;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string,
                                                    size_t maxlen) {
    if (dev && TraceReplay::active())
        return replayString(dev, "manufacturer", string, maxlen);
    return dev ? copyString(dev, dev->device->manufacturer, string, maxlen) : -1;
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    if (dev && TraceReplay::active())
        return replayString(dev, "product", string, maxlen);
    return dev ? copyString(dev, dev->device->product, string, maxlen) : -1;
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string,
                                                     size_t maxlen) {
    if (dev && TraceReplay::active())
        return replayString(dev, "serial", string, maxlen);
    return dev ? copyString(dev, dev->device->serialNumber, string, maxlen) : -1;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_get_device_info(hid_device* dev) {
    if (TraceReplay* replay = TraceReplay::active(); replay && dev) {
        if (!dev->info)
            if (const auto listed = replay->listed(dev->path))
                dev->info = makeReplayInfo(*listed);
        return dev->info;
    }
    if (!alive(dev))
        return nullptr;
    if (!dev->info) {
        dev->info = makeInfo({dev->path, dev->device, dev->iface});
    }
    return dev->info;
}

int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device*, int, wchar_t*, size_t) {
    return -1;
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev) {
    return alive(dev) || !dev ? L"Success" : L"Device disconnected";
}

HID_API_EXPORT const struct hid_api_version* HID_API_CALL hid_version(void) {
    static const hid_api_version v = {HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR,
                                      HID_API_VERSION_PATCH};
    return &v;
}

HID_API_EXPORT const char* HID_API_CALL hid_version_str(void) {
    return HID_API_VERSION_STR;
}

} // extern "C"
