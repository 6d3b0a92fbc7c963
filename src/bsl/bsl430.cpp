#include "bsl/bsl430.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "bsl/bsl_protocol.h"
#include "bsl/device_notifier.h"
#include "bsl/ti_text.h"
#include "platform/clock.h"

namespace orvex {

using namespace bsl;

namespace {

struct Library {
    std::recursive_mutex m;
    hid_device* dev = nullptr;
    int family = kFamilyF5xxUsb;
    int com = kComUsbHid;
    dataBuffer rx{};
    TiTextImage file;
    BlockCursor cursor;
    bool fileOpen = false;
    std::string textError;
};

Library& lib() {
    static Library l;
    return l;
}

// The notifier has its own lock: its callbacks must never wait for a loader
// exchange in progress.
struct Notification {
    std::mutex m;
    std::unique_ptr<DeviceNotifier> notifier;
};

Notification& notification() {
    static Notification n;
    return n;
}

DataBlock_ emptyBlock() {
    DataBlock_ b{};
    return b;
}

void putAddress(std::vector<uint8_t>& core, uint32_t address) {
    core.push_back(static_cast<uint8_t>(address));
    core.push_back(static_cast<uint8_t>(address >> 8));
    core.push_back(static_cast<uint8_t>(address >> 16));
}

// --- one exchange on the open loader (library lock held) -------------------

uint8_t sendCore(Library& l, const std::vector<uint8_t>& core) {
    if (!l.dev)
        return BSL_ERR_NOT_OPEN;
    if (core.empty() || core.size() > kMaxCorePacket)
        return BSL_ERR_ARGUMENT;
    uint8_t report[kReportSize] = {};
    report[0] = kReportId;
    report[1] = static_cast<uint8_t>(core.size());
    std::memcpy(report + 2, core.data(), core.size());
    return hid_write(l.dev, report, kReportSize) == static_cast<int>(kReportSize) ? 0 : BSL_ERR_IO;
}

// Drops replies that nobody read (a late answer to a timed-out command must
// not be taken for the answer to the next one).
void drainInput(Library& l) {
    uint8_t report[kReportSize];
    for (int i = 0; i < 64 && hid_read_timeout(l.dev, report, kReportSize, 0) > 0; ++i) {
    }
}

// Reads one reply report into the RX buffer.
uint8_t receiveReply(Library& l) {
    uint8_t report[kReportSize] = {};
    const int got = hid_read_timeout(l.dev, report, kReportSize, kReplyTimeoutMs);
    if (got == 0)
        return BSL_ERR_TIMEOUT;
    if (got < 0)
        return BSL_ERR_IO;
    const size_t nl = report[1];
    if (report[0] != kReportId || nl == 0 || nl > kMaxCorePacket ||
        static_cast<size_t>(got) < nl + 2)
        return BSL_ERR_REPLY;
    l.rx.data[0] = 0x00;
    l.rx.data[1] = 0x80;
    l.rx.data[2] = static_cast<uint8_t>(nl);
    l.rx.data[3] = 0;
    std::memcpy(l.rx.data + 4, report + 2, nl);
    l.rx.length = static_cast<uint32_t>(4 + nl);
    return 0;
}

// Sends one command and reads its reply into l.rx; 0 or a library error.
uint8_t exchangeCore(Library& l, const std::vector<uint8_t>& core) {
    l.rx = dataBuffer{};
    if (!l.dev)
        return BSL_ERR_NOT_OPEN;
    drainInput(l);
    if (const uint8_t r = sendCore(l, core))
        return r;
    return receiveReply(l);
}

// A command answered by 0x3B and a message code: returns the code.
uint8_t messageCommand(Library& l, const std::vector<uint8_t>& core) {
    if (const uint8_t r = exchangeCore(l, core))
        return r;
    if (l.rx.data[4] != kReplyMessage || l.rx.data[2] != 2)
        return BSL_ERR_REPLY;
    return l.rx.data[5];
}

// A command answered by 0x3A and exactly `size` data bytes.
uint8_t dataCommand(Library& l, const std::vector<uint8_t>& core, size_t size) {
    if (const uint8_t r = exchangeCore(l, core))
        return r;
    if (l.rx.data[4] == kReplyMessage && l.rx.data[2] == 2 && l.rx.data[5] != MSG_SUCCESS)
        return l.rx.data[5];
    if (l.rx.data[4] != kReplyData || l.rx.data[2] != size + 1)
        return BSL_ERR_REPLY;
    return 0;
}

// Writes an image in packets of up to 58 bytes, run by run in file order,
// except that the reset vector and what precedes it in its run go last (a run
// going on past 0xFFFF is cut there, its rest keeping its place): a download
// cut short (a loader that stops answering, a pulled cable) then leaves the
// vector as the start-up erased it, blank, and the chip comes back in its
// loader at the next power-up (SLAU319) instead of running half an image.
uint32_t download(Library& l, const TiTextImage& image, int fast) {
    if (!l.dev)
        return BSL_ERR_NOT_OPEN;
    struct Span {
        uint32_t start;
        const uint8_t* bytes;
        size_t size;
    };
    std::vector<Span> order;
    std::optional<Span> last;
    for (const TextRun& run : image.runs()) {
        const Span whole{run.start, run.bytes.data(), run.bytes.size()};
        if (run.start > kResetVector || kResetVector - run.start >= run.bytes.size()) {
            order.push_back(whole);
            continue;
        }
        // A run that ends on the vector's low byte has no high byte to take.
        const size_t head =
            std::min(run.bytes.size(), static_cast<size_t>(kResetVector + 2 - run.start));
        last = Span{run.start, run.bytes.data(), head};
        if (head < run.bytes.size())
            order.push_back({run.start + static_cast<uint32_t>(head), run.bytes.data() + head,
                             run.bytes.size() - head});
    }
    if (last)
        order.push_back(*last);
    for (const Span& span : order) {
        for (size_t off = 0; off < span.size; off += kMaxRxData) {
            const size_t n = std::min(kMaxRxData, span.size - off);
            std::vector<uint8_t> core;
            core.reserve(4 + n);
            core.push_back(fast ? CMD_RX_DATA_BLOCK_FAST : CMD_RX_DATA_BLOCK);
            putAddress(core, span.start + static_cast<uint32_t>(off));
            core.insert(core.end(), span.bytes + off, span.bytes + off + n);
            const uint8_t r = fast ? sendCore(l, core) : messageCommand(l, core);
            if (r != 0)
                return r;
        }
    }
    return 0;
}

// --- selection text ---------------------------------------------------------

bool parseNumber(const std::string& text, int base, unsigned long max, unsigned long& out) {
    std::string t = text;
    if (base == 16 && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    if (t.empty() || t.size() > 8)
        return false;
    for (char c : t)
        if (base == 16 ? !std::isxdigit(static_cast<unsigned char>(c))
                       : !std::isdigit(static_cast<unsigned char>(c)))
            return false;
    out = std::stoul(t, nullptr, base);
    return out <= max;
}

struct Selection {
    uint16_t vid = kLoaderVendorId;
    uint16_t pid = kLoaderProductId;
    size_t index = 0;
    std::string port; // only loaders on this USB port count; "" for all
};

bool parseSelection(const char* text, Selection& sel) {
    if (!text)
        return false;
    std::string s(text, strnlen(text, 256));
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        if (comma == std::string::npos)
            comma = s.size();
        std::string item = s.substr(pos, comma - pos);
        pos = comma + 1;
        item.erase(std::remove_if(item.begin(), item.end(),
                                  [](unsigned char c) { return std::isspace(c); }),
                   item.end());
        if (item.empty())
            continue;
        const size_t eq = item.find('=');
        if (eq == std::string::npos)
            return false;
        std::string key = item.substr(0, eq);
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        const std::string value = item.substr(eq + 1);
        unsigned long v = 0;
        if (key == "VID" && parseNumber(value, 16, 0xFFFF, v))
            sel.vid = static_cast<uint16_t>(v);
        else if (key == "PID" && parseNumber(value, 16, 0xFFFF, v))
            sel.pid = static_cast<uint16_t>(v);
        else if (key == "DEVICEINDEX" && parseNumber(value, 10, 255, v))
            sel.index = v;
        else if (key == "PORT" && !value.empty())
            sel.port = value;
        else
            return false;
    }
    return true;
}

// Paths of the attached devices with the ids, in bus order. hidapi lists every
// HID interface; a device counts once, by its first interface (the loader has
// just the one, interface 0).
std::vector<std::string> devicePaths(uint16_t vid, uint16_t pid) {
    std::vector<std::string> paths;
    hid_device_info* list = hid_enumerate(vid, pid);
    for (hid_device_info* it = list; it; it = it->next)
        if (it->path && it->interface_number <= 0 &&
            std::find(paths.begin(), paths.end(), it->path) == paths.end())
            paths.emplace_back(it->path);
    hid_free_enumeration(list);
    return paths;
}

void closeLocked(Library& l) {
    if (l.dev) {
        hid_close(l.dev);
        l.dev = nullptr;
    }
}

} // namespace

// --- device changes -------------------------------------------------------------

uint8_t BSL_RegisterUSBDeviceNotification(BSL_DeviceChangeCallback callback) {
    if (!callback)
        return 1;
    Notification& n = notification();
    std::lock_guard lock(n.m);
    if (n.notifier)
        n.notifier->stop();
    n.notifier = makeDeviceNotifier();
    if (!n.notifier || !n.notifier->start(kLoaderVendorId, kLoaderProductId, std::move(callback))) {
        n.notifier.reset();
        return 1;
    }
    return 0;
}

void BSL_UnRegisterUSBDeviceNotification() {
    std::unique_ptr<DeviceNotifier> old;
    {
        Notification& n = notification();
        std::lock_guard lock(n.m);
        old = std::move(n.notifier);
    }
    if (old)
        old->stop();
}

// --- connection -------------------------------------------------------------------

uint32_t BSL_NumOfUSBDevices(uint16_t vendorId, uint16_t productId) {
    // No library lock: the device count runs beside an upgrade.
    return static_cast<uint32_t>(devicePaths(vendorId, productId).size());
}

void BSL_setFamily(int family) {
    std::lock_guard lock(lib().m);
    lib().family = family;
}

void BSL_setCom(int com) {
    std::lock_guard lock(lib().m);
    lib().com = com;
}

uint8_t BSL_initialize_BSL(const char* selection) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    closeLocked(l);
    l.rx = dataBuffer{};
    Selection sel;
    if (l.family != kFamilyF5xxUsb || l.com != kComUsbHid || !parseSelection(selection, sel))
        return 1;
    // A loader that has just been started re-enumerates; give it a moment.
    for (uint32_t waited = 0;; waited += kOpenPollMs) {
        auto paths = devicePaths(sel.vid, sel.pid);
        if (!sel.port.empty())
            std::erase_if(paths,
                          [&](const std::string& p) { return UsbPortOfHidPath(p) != sel.port; });
        if (sel.index < paths.size()) {
            l.dev = hid_open_path(paths[sel.index].c_str());
            if (l.dev)
                return 0;
        }
        if (waited >= kOpenWaitMs)
            return 1;
        sleep_ms(kOpenPollMs);
    }
}

void BSL_close_BSL() {
    std::lock_guard lock(lib().m);
    closeLocked(lib());
}

// --- commands -----------------------------------------------------------------------

DataBlock_ BSL_getDefaultPass() {
    DataBlock_ b = emptyBlock();
    std::memset(b.data, 0xFF, kPasswordSize);
    b.byteCount = kPasswordSize;
    b.startAddress = kPasswordAddress;
    return b;
}

uint8_t BSL_RX_Password(const DataBlock_& password) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    if (password.byteCount != kPasswordSize)
        return BSL_ERR_ARGUMENT;
    std::vector<uint8_t> core{CMD_RX_PASSWORD};
    core.insert(core.end(), password.data, password.data + kPasswordSize);
    return messageCommand(l, core);
}

uint8_t BSL_LoadPC(uint32_t address) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    if (address >= kAddressLimit)
        return BSL_ERR_ARGUMENT;
    std::vector<uint8_t> core{CMD_LOAD_PC};
    putAddress(core, address);
    return sendCore(l, core);
}

std::string BSL_TX_BSL_Version_String() {
    Library& l = lib();
    std::lock_guard lock(l.m);
    if (dataCommand(l, {CMD_TX_VERSION}, kVersionSize) != 0)
        return "ERROR";
    const uint8_t* v = l.rx.data + 5;
    char text[48];
    std::snprintf(text, sizeof text, "Maker:0x%02X CI:0x%02X API:0x%02X PI:0x%02X", v[0], v[1],
                  v[2], v[3]);
    return text;
}

uint8_t BSL_eraseSegment(uint32_t address) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    if (address >= kAddressLimit)
        return BSL_ERR_ARGUMENT;
    std::vector<uint8_t> core{CMD_ERASE_SEGMENT};
    putAddress(core, address);
    return messageCommand(l, core);
}

uint8_t BSL_CRC_Check(uint32_t address, uint32_t length) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    if (address >= kAddressLimit || length > 0xFFFF || length > kAddressLimit - address) {
        l.rx = dataBuffer{};
        return BSL_ERR_ARGUMENT;
    }
    std::vector<uint8_t> core{CMD_CRC_CHECK};
    putAddress(core, address);
    core.push_back(static_cast<uint8_t>(length));
    core.push_back(static_cast<uint8_t>(length >> 8));
    return dataCommand(l, core, 2);
}

dataBuffer BSL_get_RX_Buffer() {
    std::lock_guard lock(lib().m);
    return lib().rx;
}

// --- TI-TXT ---------------------------------------------------------------------------

DataBlock_ BSL_readTI_Text(std::string_view text, int maxBytes) {
    DataBlock_ b = emptyBlock();
    TiTextImage image;
    std::string error;
    const bool ok = image.parse(text, error);
    {
        std::lock_guard lock(lib().m);
        lib().textError = error;
    }
    if (!ok)
        return b;
    BlockCursor cursor;
    cursor.reset(&image);
    cursor.next(maxBytes, b);
    return b;
}

uint32_t BSL_RX_TXT(std::string_view text, int fast) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    TiTextImage image;
    l.textError.clear();
    if (!image.parse(text, l.textError))
        return BSL_ERR_TEXT;
    return download(l, image, fast);
}

uint32_t BSL_RX_TXT_File(const char* path, int fast) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    TiTextImage image;
    l.textError.clear();
    if (!image.load(path, l.textError))
        return BSL_ERR_TEXT;
    return download(l, image, fast);
}

int32_t BSL_openTI_TextForRead(const char* path) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    l.textError.clear();
    l.fileOpen = l.file.load(path, l.textError);
    l.cursor.reset(l.fileOpen ? &l.file : nullptr);
    return l.fileOpen ? 0 : BSL_FILE_NOT_OPENED;
}

int32_t BSL_openTI_TextForReadFromMemory(std::string_view fileBytes) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    l.textError.clear();
    l.fileOpen = l.file.parseFileBytes(fileBytes, l.textError);
    l.cursor.reset(l.fileOpen ? &l.file : nullptr);
    return l.fileOpen ? 0 : BSL_FILE_NOT_OPENED;
}

int32_t BSL_moreDataToRead_TextFile() {
    std::lock_guard lock(lib().m);
    return lib().fileOpen && lib().cursor.more() ? 1 : 0;
}

DataBlock_ BSL_readTI_TextFile(int maxBytes) {
    Library& l = lib();
    std::lock_guard lock(l.m);
    DataBlock_ b = emptyBlock();
    if (l.fileOpen)
        l.cursor.next(maxBytes, b);
    return b;
}

void BSL_closeTI_Text() {
    Library& l = lib();
    std::lock_guard lock(l.m);
    l.fileOpen = false;
    l.cursor.reset(nullptr);
    l.file = TiTextImage{};
}

uint32_t bsl::CountDevicesOnPort(uint16_t vendorId, uint16_t productId, const std::string& port) {
    auto paths = devicePaths(vendorId, productId);
    if (!port.empty())
        std::erase_if(paths, [&](const std::string& p) { return UsbPortOfHidPath(p) != port; });
    return static_cast<uint32_t>(paths.size());
}

std::string bsl::LastTextError() {
    std::lock_guard lock(lib().m);
    return lib().textError;
}

} // namespace orvex
