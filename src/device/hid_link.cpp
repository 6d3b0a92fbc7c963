#include "hid_link.h"

#include <atomic>
#include <cstring>
#include <cwchar>
#include <map>

#include "device/keypad_identity.h"
#include "device/keypad_presence.h"
#include "platform/clock.h"
#include "platform/prompter.h"

namespace orvex {

hid_device* hid_handle = nullptr;

namespace {
std::atomic<bool> g_openRefused{false};

// Per handle, the earlier requests that went unanswered: their answers may
// still turn up. Guarded by link_mutex().
std::map<hid_device*, int>& unansweredRequests() {
    static std::map<hid_device*, int> counts;
    return counts;
}
// Whether the keypad's answers carry the command digits of their request, as
// seen on the last answer taken while nothing was owed. A property of its
// firmware, so it outlives a handle (unplug, restart) until the link is closed.
// Guarded by link_mutex().
enum class Echo { Unknown, Yes, No };
Echo g_echoesCommand = Echo::Unknown;
constexpr int kMaxUnanswered = 8;
} // namespace

bool LastScanFoundButCouldNotOpen() {
    return g_openRefused.load();
}

std::recursive_mutex& link_mutex() {
    static std::recursive_mutex m;
    return m;
}

namespace {

void copyText(char* dst, const char* text) {
    std::strncpy(dst, text, SCAN_TEXT_SIZE - 1);
    dst[SCAN_TEXT_SIZE - 1] = '\0';
}

// Wide string narrowed to its low bytes, cut to fit the 48-byte buffer.
void narrowInto(char* dst, const wchar_t* src) {
    size_t i = 0;
    for (; i < SCAN_TEXT_SIZE - 1 && src[i] != L'\0'; ++i)
        dst[i] = static_cast<char>(static_cast<uint32_t>(src[i]) & 0xFF);
    dst[i] = '\0';
}

void readString(hid_device* dev, char* dst, int (*getter)(hid_device*, wchar_t*, size_t)) {
    wchar_t wide[256] = {};
    if (getter(dev, wide, 255) < 0) {
        copyText(dst, "Unable To Find");
        return;
    }
    wide[255] = L'\0';
    narrowInto(dst, wide);
}

} // namespace

hid_device* ScanForUSBDevice_a(int vendorId, int productId, char* manufacturer, char* product) {
    hid_device* dev = nullptr;
    bool seen = false;
    std::string path;
    hid_device_info* list = hid_enumerate(static_cast<unsigned short>(vendorId),
                                          static_cast<unsigned short>(productId));
    for (hid_device_info* it = list; it; it = it->next) {
        if (it->interface_number == DEVICE_INTERFACE) {
            seen = true;
            dev = hid_open_path(it->path);
            if (dev)
                path = it->path;
            break;
        }
    }
    hid_free_enumeration(list);
    g_openRefused = seen && !dev;

    if (!dev) {
        copyText(manufacturer, "None");
        copyText(product, "None");
        return nullptr;
    }
    NoteKeypadOpened(path);
    readString(dev, manufacturer, hid_get_manufacturer_string);
    readString(dev, product, hid_get_product_string);
    hid_set_nonblocking(dev, 1);
    return dev;
}

std::vector<std::string> KeypadCommandPaths() {
    std::vector<std::string> paths;
    hid_device_info* list = hid_enumerate(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
    for (hid_device_info* it = list; it; it = it->next)
        if (it->interface_number == DEVICE_INTERFACE && it->path)
            paths.emplace_back(it->path);
    hid_free_enumeration(list);
    return paths;
}

void hid_exit_safely(hid_device* handle) {
    // hid_close also ends any read still pending on the handle.
    if (handle) {
        std::lock_guard lock(link_mutex());
        unansweredRequests().erase(handle);
        ForgetKeypadSerial(handle);
        hid_close(handle);
    }
    hid_exit();
}

bool RescanQuietly() {
    std::lock_guard lock(link_mutex());
    if (hid_handle) {
        hid_exit_safely(hid_handle);
        hid_handle = nullptr;
    }
    char manufacturer[SCAN_TEXT_SIZE] = {};
    char product[SCAN_TEXT_SIZE] = {};
    hid_handle = ScanForUSBDevice_a(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, manufacturer, product);
    return hid_handle != nullptr;
}

bool RescanForDevice() {
    const bool found = RescanQuietly();
    // The warning is shown outside the lock so a worker is not held up by a
    // message box waiting for the user.
    if (!found)
        showWarning("Halden Orvex\u2122 not connected..");
    return found;
}

void CloseDevice() {
    std::lock_guard lock(link_mutex());
    // The next link may meet another keypad.
    g_echoesCommand = Echo::Unknown;
    ForgetKeypadOpened();
    if (hid_handle) {
        hid_exit_safely(hid_handle);
        hid_handle = nullptr;
    }
}

char NibbleToHex(uint8_t nibble) {
    nibble &= 0x0F;
    return static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + (nibble - 10));
}

uint8_t HexToNibble(uint8_t digit) {
    if (digit >= '0' && digit <= '9')
        return static_cast<uint8_t>(digit - '0');
    if (digit >= 'A' && digit <= 'F')
        return static_cast<uint8_t>(digit - 'A' + 10);
    return 0;
}

bool BuildRequestReport(uint8_t command, const uint8_t* payload, uint32_t length,
                        uint8_t report[REPORT_SIZE]) {
    if (length > MAX_REQUEST_PAYLOAD || (length > 0 && !payload))
        return false;
    std::memset(report, 0, REPORT_SIZE);
    report[0] = REPORT_ID;
    report[1] = 0x40;
    report[2] = STX;
    report[3] = static_cast<uint8_t>(NibbleToHex(command >> 4));
    report[4] = static_cast<uint8_t>(NibbleToHex(command & 0x0F));
    report[5] = static_cast<uint8_t>(NibbleToHex(static_cast<uint8_t>(length) >> 4));
    report[6] = static_cast<uint8_t>(NibbleToHex(static_cast<uint8_t>(length) & 0x0F));
    uint8_t sum = report[2] ^ report[3] ^ report[4] ^ report[5] ^ report[6];
    for (uint32_t i = 0; i < length; ++i) {
        report[7 + i] = payload[i];
        sum ^= payload[i];
    }
    report[7 + length] = ETX;
    sum ^= ETX;
    report[8 + length] = sum;
    return true;
}

int ParseResponseFrame(const uint8_t report[REPORT_SIZE], uint8_t* out, uint32_t* outLength) {
    if (report[2] != STX)
        return FRAME_INVALID;
    const uint32_t n = (HexToNibble(report[5]) << 4) | HexToNibble(report[6]);
    // n counts the result byte; ETX (7+n) and checksum (8+n) must lie inside the report.
    if (n == 0 || n > MAX_RESPONSE_DATA)
        return FRAME_INVALID;
    if (report[7] != 0)
        return FRAME_INVALID;
    uint8_t sum = 0;
    for (uint32_t i = 2; i < 8; ++i)
        sum ^= report[i];
    for (uint32_t i = 0; i + 1 < n; ++i) {
        out[i] = report[8 + i];
        sum ^= report[8 + i];
    }
    if (report[7 + n] != ETX)
        return FRAME_INVALID;
    sum ^= ETX;
    if (report[8 + n] != sum)
        return FRAME_INVALID;
    *outLength = n - 1;
    return 0;
}

int USBEncoderSendAndReceive_a(hid_device* handle, uint8_t command, const uint8_t* payload,
                               uint32_t length, uint8_t* response, uint32_t /*capacity*/,
                               uint32_t* responseLength, uint32_t timeoutMs) {
    std::lock_guard lock(link_mutex());
    if (!handle)
        return LINK_IO_ERROR;

    uint8_t report[REPORT_SIZE];
    if (!BuildRequestReport(command, payload, length, report))
        return LINK_IO_ERROR;
    // Whatever is still waiting was sent for an earlier exchange that timed out;
    // read now, it would be taken for the answer to this request.
    int& unanswered = unansweredRequests()[handle];
    for (int i = 0; i < 64; ++i) {
        uint8_t stale[REPORT_SIZE] = {};
        if (hid_read_timeout(handle, stale, REPORT_SIZE, 0) <= 0)
            break;
        // A frame or a refusal ends an earlier request; wait markers do not.
        if ((stale[2] == STX || stale[2] == REFUSAL_MARKER) && unanswered > 0)
            --unanswered;
    }
    if (hid_write(handle, report, REPORT_SIZE) < 0)
        return LINK_IO_ERROR;

    // The first valid frame answers the request. Only while an earlier request
    // on this handle is still owed an answer, and unless this keypad has been
    // seen answering with other command digits, is a frame for another command
    // taken for that late answer and passed over. A keypad that does not echo
    // the command digits is so never held up past its first answer.
    const bool owedBefore = unanswered > 0;
    bool passedOver = false;
    const auto finish = [&](int result) {
        // Unknown echo and a frame passed over: that may have been this
        // request's own answer, so it is not owed again.
        const bool mayHaveBeenOurs = passedOver && g_echoesCommand == Echo::Unknown;
        if (result != LINK_OK && !mayHaveBeenOurs && unanswered < kMaxUnanswered)
            ++unanswered;
        return result;
    };
    uint32_t waited = 0;
    for (;;) {
        std::memset(report, 0, REPORT_SIZE);
        const int got = hid_read_timeout(handle, report, REPORT_SIZE, 0);
        if (got < 0)
            return finish(LINK_IO_ERROR);
        const bool otherCommand =
            got > 0 && report[2] == STX && report[1] <= 64 &&
            ((HexToNibble(report[3]) << 4) | HexToNibble(report[4])) != command;
        const bool lateAnswer = otherCommand && unanswered > 0 && g_echoesCommand != Echo::No;
        if (lateAnswer) {
            --unanswered;
            passedOver = true;
        }
        if (got == 0 || lateAnswer) {
            sleep_ms(POLL_INTERVAL_MS);
            if (timeoutMs != 0) {
                waited += POLL_INTERVAL_MS;
                if (waited >= timeoutMs)
                    return finish(LINK_TIMEOUT);
            }
            continue;
        }
        if (report[2] == WAIT_MARKER) {
            waited = 0;
            continue;
        }
        if (report[2] == REFUSAL_MARKER)
            return finish(LINK_BAD_FRAME);
        if (report[1] > 64)
            return finish(LINK_BAD_SIZE);
        if (ParseResponseFrame(report, response, responseLength) != 0)
            return finish(LINK_BAD_FRAME);
        if (!owedBefore && !passedOver)
            g_echoesCommand = otherCommand ? Echo::No : Echo::Yes;
        return finish(LINK_OK);
    }
}

} // namespace orvex
