#include "hid_trace.h"

#include <hidapi/hidapi.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/clock.h"
#include "trace_format.h"

// The hidapi functions themselves; the linker's --wrap sends every other call
// of hid_X to __wrap_hid_X below.
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

namespace orvex::trace {

namespace {

constexpr size_t kSerialLength = 12;
constexpr uint8_t kGetStatus = 1;
constexpr uint8_t kSetSerialNumber = 14;

std::string narrow(const wchar_t* w) {
    std::string s;
    for (; w && *w; ++w) {
        const auto c = static_cast<uint32_t>(*w);
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xE0 | ((c >> 12) & 0x0F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return s;
}

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v & 0xFFFF);
    return buf;
}

uint8_t nibble(uint8_t digit) {
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return 0;
}

// A framed report (request or answer): STX at 2, command at 3-4, the count n
// at 5-6, ETX at 7+n and the XOR checksum of bytes 2..7+n at 8+n. The count of
// a valid frame, or 0.
uint32_t frameCount(const uint8_t* r, size_t length) {
    if (length < 64 || r[2] != 0x02)
        return 0;
    const uint32_t n = (nibble(r[5]) << 4) | nibble(r[6]);
    if (n == 0 || 8 + n >= length || r[7 + n] != 0x03)
        return 0;
    uint8_t sum = 0;
    for (uint32_t i = 2; i < 8 + n; ++i)
        sum ^= r[i];
    return sum == r[8 + n] ? n : 0;
}

void resum(uint8_t* r, uint32_t n) {
    uint8_t sum = 0;
    for (uint32_t i = 2; i < 8 + n; ++i)
        sum ^= r[i];
    r[8 + n] = sum;
}

uint8_t frameCommand(const uint8_t* r) {
    return static_cast<uint8_t>((nibble(r[3]) << 4) | nibble(r[4]));
}

// Where the serial number lies in a GetStatus answer (report offsets), or 0.
size_t statusSerialOffset(const uint8_t* r, uint32_t n) {
    if (n < 8)
        return 0;
    const uint8_t* payload = r + 8;
    const uint32_t length = n - 1;
    const uint8_t type = payload[5];
    const uint32_t table = type <= 2 ? 20 : type <= 5 ? 24 : 32;
    const uint32_t versionStart = 6 + table;
    if (length < versionStart + 1 + kSerialLength)
        return 0;
    const void* nul = std::memchr(payload + versionStart, 0, length - versionStart);
    if (!nul)
        return 0;
    const auto serialStart = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - payload) + 1;
    return length < serialStart + kSerialLength ? 0 : 8 + serialStart;
}

std::string programName() {
#ifdef __linux__
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string name;
    if (std::getline(in, name, '\0') && !name.empty())
        return name.substr(name.find_last_of('/') + 1);
#endif
    return "unknown";
}

// The command line without the program and without the recording and
// replay options.
std::vector<std::string> programArgs() {
    std::vector<std::string> args;
#ifdef __linux__
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string arg;
    bool first = true;
    while (std::getline(in, arg, '\0')) {
        if (first) {
            first = false;
            continue;
        }
        args.push_back(arg);
    }
    for (size_t i = 0; i < args.size();) {
        if ((args[i] == "--trace" || args[i] == "--replay") && i + 1 < args.size())
            args.erase(args.begin() + static_cast<long>(i),
                       args.begin() + static_cast<long>(i) + 2);
        else if (args[i] == "--mask-serial" || args[i].rfind("--trace=", 0) == 0)
            args.erase(args.begin() + static_cast<long>(i));
        else
            ++i;
    }
#endif
    return args;
}

class Recorder {
public:
    static Recorder& instance() {
        static Recorder r;
        return r;
    }

    bool active() const { return active_.load(std::memory_order_acquire); }

    bool start(const std::string& file, bool mask, std::string& error) {
        std::lock_guard lock(m_);
        closeFile(-1);
        fileName_ = file;
        failure_.clear();
        file_.clear();
        file_.open(file, std::ios::trunc);
        if (!file_) {
            failed(errno);
            error = failure_;
            return false;
        }
        fileMask_ = mask;
        fileCount_ = 0;
        start_ = tick_ms();
        std::vector<std::string> argv = programArgs();
        if (mask)
            maskArgs(argv);
        std::string args;
        for (const auto& a : argv)
            args += (args.empty() ? "" : ",") + Quote(a);
        char when[32] = {};
        const std::time_t now = std::time(nullptr);
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
        file_ << "{\"format\":" << Quote(kFormatName) << ",\"version\":" << kFormatVersion
              << ",\"program\":" << Quote(programName()) << ",\"args\":[" << args
              << "],\"masked_serial\":" << (mask ? "true" : "false") << ",\"started\":\"" << when
              << "\"}\n";
        file_.flush();
        if (!file_) {
            failed(errno);
            error = failure_;
            return false;
        }
        updateActive();
        return true;
    }

    std::string failure() {
        std::lock_guard lock(m_);
        return failure_;
    }

    void onFailure(std::function<void(const std::string&)> handler) {
        std::lock_guard lock(m_);
        onFailure_ = std::move(handler);
    }

    void stop(int exitCode) {
        std::lock_guard lock(m_);
        closeFile(exitCode);
        updateActive();
    }

    void beginCapture(bool mask) {
        std::lock_guard lock(m_);
        if (mask) {
            std::vector<std::string> argv = programArgs();
            maskArgs(argv); // learns a serial number given with --serial
        }
        capturing_ = true;
        captureMask_ = mask;
        captured_.clear();
        if (!file_.is_open())
            start_ = tick_ms();
        updateActive();
    }

    std::vector<std::string> endCapture() {
        std::lock_guard lock(m_);
        flushPolls();
        capturing_ = false;
        updateActive();
        return std::move(captured_);
    }

    // --- events ---
    void enumerated(unsigned short vid, unsigned short pid, const hid_device_info* list) {
        std::lock_guard lock(m_);
        std::set<std::string> paths;
        std::vector<std::pair<std::string, std::string>> devices; // body, serial
        for (const hid_device_info* it = list; it; it = it->next) {
            paths.insert(it->path ? it->path : "");
            const std::string serial = narrow(it->serial_number);
            learnSerial(serial);
            devices.emplace_back("\"ev\":\"device\",\"path\":" + Quote(it->path ? it->path : "") +
                                     ",\"vid\":" + Quote(hex4(it->vendor_id)) +
                                     ",\"pid\":" + Quote(hex4(it->product_id)) +
                                     ",\"interface\":" + std::to_string(it->interface_number) +
                                     ",\"release\":" + Quote(hex4(it->release_number)) +
                                     ",\"manufacturer\":" + Quote(narrow(it->manufacturer_string)) +
                                     ",\"product\":" + Quote(narrow(it->product_string)) +
                                     ",\"serial\":",
                                 serial);
        }
        // Arrivals and removals as the program sees them: the devices with these
        // ids that came or went since it last asked.
        const unsigned key = static_cast<unsigned>(vid) << 16 | pid;
        if (auto prev = seen_.find(key); prev != seen_.end()) {
            for (const auto& p : prev->second)
                if (!paths.count(p))
                    emit(idsBody("removal", vid, pid) + ",\"path\":" + Quote(p), {});
            for (const auto& p : paths)
                if (!prev->second.count(p))
                    emit(idsBody("arrival", vid, pid) + ",\"path\":" + Quote(p), {});
        }
        seen_[key] = paths;
        emit(idsBody("enumerate", vid, pid) + ",\"count\":" + std::to_string(devices.size()), {});
        for (const auto& [body, serial] : devices)
            emit(body, {}, serial);
    }

    void opened(const std::string& what, hid_device* dev) {
        std::lock_guard lock(m_);
        const int id = dev ? nextDev_++ : 0;
        if (dev)
            devs_[dev] = id;
        emit("\"ev\":\"open\"," + what + ",\"dev\":" + std::to_string(id) +
                 ",\"ok\":" + (dev ? "true" : "false"),
             {});
    }

    void closed(hid_device* dev) {
        std::lock_guard lock(m_);
        const int id = idOf(dev);
        devs_.erase(dev);
        emit("\"ev\":\"close\",\"dev\":" + std::to_string(id), {});
    }

    void wrote(hid_device* dev, const unsigned char* data, size_t length, int result) {
        std::lock_guard lock(m_);
        std::vector<uint8_t> bytes(data, data + (data ? length : 0));
        emit("\"ev\":\"write\",\"dev\":" + std::to_string(idOf(dev)) +
                 ",\"result\":" + std::to_string(result) + ",\"data\":",
             bytes);
    }

    void read(hid_device* dev, const unsigned char* data, int result) {
        std::lock_guard lock(m_);
        const int id = idOf(dev);
        if (result == 0) {
            ++polls_[id]; // empty polls are only counted
            return;
        }
        std::vector<uint8_t> bytes;
        if (result > 0)
            bytes.assign(data, data + result);
        emit("\"ev\":\"read\",\"dev\":" + std::to_string(id) +
                 ",\"result\":" + std::to_string(result) + (result > 0 ? ",\"data\":" : ""),
             bytes);
    }

    void string(hid_device* dev, const char* which, const wchar_t* value, int result) {
        std::lock_guard lock(m_);
        const std::string text = result >= 0 ? narrow(value) : std::string();
        learnSerial(std::strcmp(which, "serial") == 0 ? text : std::string());
        emit("\"ev\":\"string\",\"dev\":" + std::to_string(idOf(dev)) + ",\"which\":\"" + which +
                 "\",\"result\":" + std::to_string(result) + ",\"value\":",
             {}, text);
    }

private:
    void updateActive() { active_.store(file_.is_open() || capturing_, std::memory_order_release); }

    void closeFile(int exitCode) {
        if (!file_.is_open())
            return;
        flushPolls();
        if (exitCode >= 0)
            writeFileLine("\"ev\":\"exit\",\"code\":" + std::to_string(exitCode));
        file_.close();
    }

    // The first failure: kept as one line, the file closed (the rest of the
    // run goes unrecorded rather than recorded with holes) and the handler told.
    void failed(int err) {
        failure_ = "cannot write the trace " + fileName_ + ": " +
                   (err ? std::strerror(err) : "write error");
        file_.close();
        file_.clear();
        updateActive();
        if (onFailure_)
            onFailure_(failure_);
    }

    void writeFileLine(const std::string& body) {
        if (!file_.is_open())
            return;
        errno = 0;
        writeLine(file_, fileCount_, body);
        if (!file_)
            failed(errno);
    }

    static std::string idsBody(const char* ev, unsigned short vid, unsigned short pid) {
        return std::string("\"ev\":\"") + ev + "\",\"vid\":" + Quote(hex4(vid)) +
               ",\"pid\":" + Quote(hex4(pid));
    }

    int idOf(hid_device* dev) const {
        auto it = devs_.find(dev);
        return it == devs_.end() ? 0 : it->second;
    }

    void learnSerial(const std::string& serial) {
        if (!serial.empty())
            serials_.insert(serial);
    }

    // The arguments with the serial number given with --serial, and any
    // other already known, as X's; the --serial one is known from now on.
    void maskArgs(std::vector<std::string>& args) {
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == "--serial")
                learnSerial(args[i + 1]);
        for (auto& a : args)
            maskKnownSerials(a);
    }

    // Every serial number seen so far, wherever it stands in `text`: whole
    // texts, and inside longer ones those of four characters or more (shorter
    // ones would hit unrelated bytes). True when something was masked.
    bool maskKnownSerials(std::string& text) const {
        if (text.empty())
            return false;
        if (serials_.count(text)) {
            text.assign(text.size(), 'X');
            return true;
        }
        bool changed = false;
        for (std::string serial : serials_) {
            while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0'))
                serial.pop_back();
            if (serial.size() < 4)
                continue;
            for (size_t at = text.find(serial); at != std::string::npos;
                 at = text.find(serial, at + serial.size())) {
                text.replace(at, serial.size(), serial.size(), 'X');
                changed = true;
            }
        }
        return changed;
    }

    // The report with every serial number replaced by X's: the keypad's in a
    // status answer or SetSerialNumber request, and any seen before wherever
    // it stands. A frame's checksum is made right again so the masked trace
    // still replays.
    std::vector<uint8_t> masked(std::vector<uint8_t> r) {
        const uint32_t n = frameCount(r.data(), r.size());
        bool changed = false;
        size_t at = 0;
        if (n) {
            const uint8_t command = frameCommand(r.data());
            if (command == kGetStatus && r[7] == 0)
                at = statusSerialOffset(r.data(), n);
            else if (command == kSetSerialNumber && n == kSerialLength)
                at = 7;
        }
        if (at) {
            serials_.insert(std::string(r.begin() + static_cast<long>(at),
                                        r.begin() + static_cast<long>(at + kSerialLength)));
            std::memset(r.data() + at, 'X', kSerialLength);
            changed = true;
        }
        std::string bytes(r.begin(), r.end());
        if (maskKnownSerials(bytes)) {
            std::copy(bytes.begin(), bytes.end(), r.begin());
            changed = true;
        }
        if (changed && n)
            resum(r.data(), n);
        return r;
    }

    // Writes one event to the file and the capture. `bytes` (a report) and
    // `text` (a string value) end the line when the body ends with their key.
    void emit(const std::string& body, const std::vector<uint8_t>& bytes,
              const std::string& text = {}) {
        flushPolls();
        const bool wantsValue = body.back() == ':';
        auto finish = [&](bool mask) {
            if (!wantsValue)
                return body;
            if (body.size() >= 7 && body.compare(body.size() - 7, 7, "\"data\":") == 0) {
                const auto r = mask ? masked(bytes) : bytes;
                return body + Quote(Hex(r.data(), r.size()));
            }
            std::string value = text;
            if (mask)
                maskKnownSerials(value);
            return body + Quote(value);
        };
        if (file_.is_open())
            writeFileLine(finish(fileMask_));
        if (capturing_) {
            std::ostringstream line;
            writeLine(line, captureCount_, finish(captureMask_));
            std::string s = line.str();
            s.pop_back();
            captured_.push_back(s);
        }
    }

    void flushPolls() {
        auto polls = std::move(polls_);
        polls_.clear();
        for (const auto& [dev, count] : polls) {
            const std::string body = "\"ev\":\"polls\",\"dev\":" + std::to_string(dev) +
                                     ",\"count\":" + std::to_string(count);
            writeFileLine(body);
            if (capturing_) {
                std::ostringstream line;
                writeLine(line, captureCount_, body);
                std::string s = line.str();
                s.pop_back();
                captured_.push_back(s);
            }
        }
    }

    void writeLine(std::ostream& out, int& count, const std::string& body) {
        out << "{\"n\":" << ++count << ",\"t\":" << (tick_ms() - start_) << "," << body << "}\n";
        out.flush();
    }

    std::mutex m_;
    std::atomic<bool> active_{false};
    std::ofstream file_;
    bool fileMask_ = false;
    int fileCount_ = 0;
    bool capturing_ = false;
    bool captureMask_ = false;
    int captureCount_ = 0;
    std::vector<std::string> captured_;
    uint64_t start_ = 0;
    std::map<hid_device*, int> devs_;
    int nextDev_ = 1;
    std::map<int, int64_t> polls_;
    std::map<unsigned, std::set<std::string>> seen_;
    std::set<std::string> serials_;
    std::string fileName_;
    std::string failure_;
    std::function<void(const std::string&)> onFailure_;
};

Recorder& recorder() {
    static std::once_flag once;
    std::call_once(once, [] {
        Recorder& r = Recorder::instance();
        if (r.active())
            return;
        const char* file = std::getenv("ORVEX_TRACE");
        if (!file || !*file)
            return;
        const char* mask = std::getenv("ORVEX_TRACE_MASK_SERIAL");
        std::string error;
        // A failure is kept for WriteFailure and told to the failure handler.
        (void)r.start(file, mask && std::strcmp(mask, "1") == 0, error);
    });
    return Recorder::instance();
}

} // namespace

bool Start(const std::string& file, bool maskSerial, std::string& error) {
    return Recorder::instance().start(file, maskSerial, error);
}

void Stop(int exitCode) {
    Recorder::instance().stop(exitCode);
}

std::string WriteFailure() {
    return Recorder::instance().failure();
}

void OnWriteFailure(std::function<void(const std::string&)> handler) {
    Recorder::instance().onFailure(std::move(handler));
}

void BeginCapture(bool maskSerial) {
    Recorder::instance().beginCapture(maskSerial);
}

std::vector<std::string> EndCapture() {
    return Recorder::instance().endCapture();
}

} // namespace orvex::trace

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
        recorder().opened("\"path\":" + orvex::trace::Quote(path ? path : ""), dev);
    return dev;
}

hid_device* __wrap_hid_open(unsigned short vid, unsigned short pid, const wchar_t* serial) {
    hid_device* dev = __real_hid_open(vid, pid, serial);
    if (recorder().active())
        recorder().opened("\"vid\":" + orvex::trace::Quote(orvex::trace::hex4(vid)) +
                              ",\"pid\":" + orvex::trace::Quote(orvex::trace::hex4(pid)),
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
