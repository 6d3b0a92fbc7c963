// The hidapi functions as the program calls them: the linker's --wrap sends
// every call of hid_X to __wrap_hid_X below, which records it and calls the
// backend's own hid_X (__real_hid_X).

#include <hidapi/hidapi.h>

#include "recorder.h"

extern "C" {
hid_device_info* __real_hid_enumerate(unsigned short, unsigned short);
hid_device* __real_hid_open(unsigned short, unsigned short, const wchar_t*);
hid_device* __real_hid_open_path(const char*);
void __real_hid_close(hid_device*);
int __real_hid_write(hid_device*, const unsigned char*, size_t);
int __real_hid_read_timeout(hid_device*, unsigned char*, size_t, int);
int __real_hid_read(hid_device*, unsigned char*, size_t);
int __real_hid_get_manufacturer_string(hid_device*, wchar_t*, size_t);
int __real_hid_get_product_string(hid_device*, wchar_t*, size_t);
int __real_hid_get_serial_number_string(hid_device*, wchar_t*, size_t);
}

using orvex::trace::recorder;

extern "C" {

hid_device_info* __wrap_hid_enumerate(unsigned short vid, unsigned short pid) {
    hid_device_info* list = __real_hid_enumerate(vid, pid);
    if (recorder().active())
        recorder().enumerated(vid, pid, list);
    return list;
}

hid_device* __wrap_hid_open_path(const char* path) {
    hid_device* dev = __real_hid_open_path(path);
    if (recorder().active())
        recorder().opened(orvex::trace::Json{{"path", path ? path : ""}}, dev);
    return dev;
}

hid_device* __wrap_hid_open(unsigned short vid, unsigned short pid, const wchar_t* serial) {
    hid_device* dev = __real_hid_open(vid, pid, serial);
    if (recorder().active())
        recorder().opened(
            orvex::trace::Json{{"vid", orvex::trace::hex4(vid)}, {"pid", orvex::trace::hex4(pid)}},
            dev);
    return dev;
}

void __wrap_hid_close(hid_device* dev) {
    if (recorder().active() && dev)
        recorder().closed(dev);
    __real_hid_close(dev);
}

int __wrap_hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    const int result = __real_hid_write(dev, data, length);
    if (recorder().active())
        recorder().wrote(dev, data, length, result);
    return result;
}

int __wrap_hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int ms) {
    const int result = __real_hid_read_timeout(dev, data, length, ms);
    if (recorder().active())
        recorder().read(dev, data, result);
    return result;
}

int __wrap_hid_read(hid_device* dev, unsigned char* data, size_t length) {
    const int result = __real_hid_read(dev, data, length);
    if (recorder().active())
        recorder().read(dev, data, result);
    return result;
}

int __wrap_hid_get_manufacturer_string(hid_device* dev, wchar_t* s, size_t n) {
    const int result = __real_hid_get_manufacturer_string(dev, s, n);
    if (recorder().active())
        recorder().string(dev, "manufacturer", s, result);
    return result;
}

int __wrap_hid_get_product_string(hid_device* dev, wchar_t* s, size_t n) {
    const int result = __real_hid_get_product_string(dev, s, n);
    if (recorder().active())
        recorder().string(dev, "product", s, result);
    return result;
}

int __wrap_hid_get_serial_number_string(hid_device* dev, wchar_t* s, size_t n) {
    const int result = __real_hid_get_serial_number_string(dev, s, n);
    if (recorder().active())
        recorder().string(dev, "serial", s, result);
    return result;
}

} // extern "C"
