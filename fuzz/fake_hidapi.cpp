#include "fake_hidapi.h"

#include "bsl/device_notifier.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

struct hid_device_ {
    bool written = false;
};

namespace fakehid {

Device& device() {
    static Device d;
    return d;
}

void reset(uint16_t vendorId, uint16_t productId, int interfaceNumber) {
    Device& d = device();
    d = Device{};
    d.vendorId = vendorId;
    d.productId = productId;
    d.interfaceNumber = interfaceNumber;
}

void rearm(hid_device_* handle) {
    if (handle)
        handle->written = false;
}

} // namespace fakehid

namespace {

wchar_t* wideCopy(const wchar_t* s) {
    const size_t n = std::wcslen(s);
    auto* p = static_cast<wchar_t*>(std::calloc(n + 1, sizeof(wchar_t)));
    std::wmemcpy(p, s, n);
    return p;
}

int copyString(hid_device* dev, const wchar_t* s, wchar_t* out, size_t maxlen) {
    if (!dev || !out || maxlen == 0)
        return -1;
    const size_t n = std::min(std::wcslen(s), maxlen - 1);
    std::wmemcpy(out, s, n);
    out[n] = L'\0';
    return 0;
}

} // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) {
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void) {
    return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
    const auto& d = fakehid::device();
    if (!d.present || (vendor_id && vendor_id != d.vendorId) ||
        (product_id && product_id != d.productId))
        return nullptr;
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup("fake:0");
    info->vendor_id = d.vendorId;
    info->product_id = d.productId;
    info->serial_number = wideCopy(L"");
    info->manufacturer_string = wideCopy(L"Fake");
    info->product_string = wideCopy(L"Fake");
    info->interface_number = d.interfaceNumber;
    return info;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
    while (devs) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
    if (!path || !fakehid::device().present)
        return nullptr;
    ++fakehid::device().openCount;
    return new hid_device_;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short, unsigned short, const wchar_t*) {
    return hid_open_path("fake:0");
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
    if (!dev)
        return;
    --fakehid::device().openCount;
    delete dev;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data,
                                          size_t length) {
    auto& d = fakehid::device();
    if (!dev || !data || d.writeResult < 0)
        return -1;
    dev->written = true;
    std::array<uint8_t, 64> r{};
    std::memcpy(r.data(), data, std::min(length, r.size()));
    d.writes.push_back(r);
    if (d.onWrite)
        d.onWrite(r);
    return d.writeResult;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data,
                                                 size_t length, int milliseconds) {
    auto& d = fakehid::device();
    if (!dev || !data)
        return -1;
    const bool early = d.byTimeout ? milliseconds == 0 : !dev->written;
    auto& queue = early ? d.early : d.late;
    if (queue.empty())
        return 0;
    const fakehid::Input in = queue.front();
    queue.pop_front();
    if (in.result > 0)
        std::memcpy(data, in.bytes.data(),
                    std::min({length, in.bytes.size(), static_cast<size_t>(in.result)}));
    if (in.result != 0)
        ++d.reads;
    return std::min(in.result, static_cast<int>(length));
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length) {
    return hid_read_timeout(dev, data, length, 0);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int) {
    return dev ? 0 : -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string,
                                                            size_t maxlen) {
    return copyString(dev, L"Fake", string, maxlen);
}

int HID_API_EXPORT HID_API_CALL hid_get_product_string(hid_device* dev, wchar_t* string,
                                                       size_t maxlen) {
    return copyString(dev, L"Fake", string, maxlen);
}

// No device information: the keypad's USB port stays unknown.
struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_get_device_info(hid_device*) {
    return nullptr;
}

} // extern "C"

// The loader library asks which USB port a device sits on; the scripted hidapi
// has no ports.
namespace orvex::bsl {
std::string UsbPortOfHidPath(const std::string&) {
    return {};
}
} // namespace orvex::bsl
