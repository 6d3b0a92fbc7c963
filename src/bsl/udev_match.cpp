#include <cstdlib>
#include <cstring>

#include "bsl/device_notifier.h"

namespace orvex::bsl {

namespace {

// Parses one hex field ending at `end` (or the end of the text); false when it
// is empty, not hex, or too large.
bool hexField(const char*& p, char end, unsigned long& value) {
    const char* start = p;
    value = 0;
    while (*p && *p != end) {
        const char c = *p;
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return false;
        if (p - start >= 8)
            return false;
        value = (value << 4) | static_cast<unsigned long>(v);
        ++p;
    }
    return p != start;
}

} // namespace

bool MatchUsbProduct(const char* product, uint16_t vendorId, uint16_t productId) {
    if (!product)
        return false;
    const char* p = product;
    unsigned long vid = 0, pid = 0;
    if (!hexField(p, '/', vid) || *p != '/')
        return false;
    ++p;
    if (!hexField(p, '/', pid))
        return false;
    return vid == vendorId && pid == productId;
}

bool MatchHidId(const char* hidId, uint16_t vendorId, uint16_t productId) {
    if (!hidId)
        return false;
    const char* p = hidId;
    unsigned long bus = 0, vid = 0, pid = 0;
    if (!hexField(p, ':', bus) || *p != ':')
        return false;
    ++p;
    if (!hexField(p, ':', vid) || *p != ':')
        return false;
    ++p;
    if (!hexField(p, '\0', pid))
        return false;
    return vid == vendorId && pid == productId;
}

} // namespace orvex::bsl
