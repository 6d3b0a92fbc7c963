#include "hid_trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "recorder.h"

namespace orvex::trace {

namespace {

std::string narrow(const wchar_t* w) {
    std::string s;
    for (; w && *w; ++w) {
        const auto c = static_cast<uint32_t>(*w);
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | ((c >> 12) & 0x0F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return s;
}

std::vector<std::string> commandLine() {
    std::vector<std::string> args;
#ifdef __linux__
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    for (std::string arg; std::getline(in, arg, '\0');)
        args.push_back(arg);
#endif
    return args;
}

std::string programName() {
    const std::vector<std::string> args = commandLine();
    if (args.empty() || args[0].empty())
        return "unknown";
    return args[0].substr(args[0].find_last_of('/') + 1);
}

// The command line without the program and without the recording and
// replay options (either form, up to a `--`).
std::vector<std::string> programArgs() {
    std::vector<std::string> args = commandLine();
    if (!args.empty())
        args.erase(args.begin());
    for (size_t i = 0; i < args.size();) {
        const std::string& a = args[i];
        if (a == "--")
            break;
        if ((a == "--trace" || a == "--replay") && i + 1 < args.size())
            args.erase(args.begin() + static_cast<long>(i),
                       args.begin() + static_cast<long>(i) + 2);
        else if (a == "--mask-serial" || a.rfind("--trace=", 0) == 0 ||
                 a.rfind("--replay=", 0) == 0)
            args.erase(args.begin() + static_cast<long>(i));
        else
            ++i;
    }
    return args;
}

Json ids(const char* ev, unsigned short vid, unsigned short pid) {
    return Json{{"ev", ev}, {"vid", hex4(vid)}, {"pid", hex4(pid)}};
}

} // namespace

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v & 0xFFFF);
    return buf;
}

Recorder& Recorder::instance() {
    static Recorder r;
    return r;
}

bool Recorder::start(const std::string& file, bool mask, std::string& error) {
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
        mask_.maskArgs(argv);
    char when[32] = {};
    const std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    const Json header{{"format", kFormatName},    {"version", kFormatVersion},
                      {"program", programName()}, {"args", argv},
                      {"masked_serial", mask},    {"started", when}};
    file_ << Dump(header) << "\n";
    file_.flush();
    if (!file_) {
        failed(errno);
        error = failure_;
        return false;
    }
    updateActive();
    return true;
}

std::string Recorder::failure() {
    std::lock_guard lock(m_);
    return failure_;
}

void Recorder::onFailure(std::function<void(const std::string&)> handler) {
    std::lock_guard lock(m_);
    onFailure_ = std::move(handler);
}

void Recorder::stop(int exitCode) {
    std::lock_guard lock(m_);
    closeFile(exitCode);
    updateActive();
}

void Recorder::beginCapture(bool mask) {
    std::lock_guard lock(m_);
    if (mask) {
        std::vector<std::string> argv = programArgs();
        mask_.maskArgs(argv); // learns a serial number given with --serial
    }
    capturing_ = true;
    captureMask_ = mask;
    captured_.clear();
    if (!file_.is_open())
        start_ = tick_ms();
    updateActive();
}

std::vector<std::string> Recorder::endCapture() {
    std::lock_guard lock(m_);
    flushPolls();
    capturing_ = false;
    updateActive();
    return std::move(captured_);
}

void Recorder::enumerated(unsigned short vid, unsigned short pid, const hid_device_info* list) {
    std::lock_guard lock(m_);
    std::set<std::string> paths;
    std::vector<std::pair<Json, std::string>> devices; // body, serial
    for (const hid_device_info* it = list; it; it = it->next) {
        paths.insert(it->path ? it->path : "");
        const std::string serial = narrow(it->serial_number);
        mask_.learn(serial);
        devices.emplace_back(Json{{"ev", "device"},
                                  {"path", it->path ? it->path : ""},
                                  {"vid", hex4(it->vendor_id)},
                                  {"pid", hex4(it->product_id)},
                                  {"interface", it->interface_number},
                                  {"release", hex4(it->release_number)},
                                  {"manufacturer", narrow(it->manufacturer_string)},
                                  {"product", narrow(it->product_string)}},
                             serial);
    }
    // Arrivals and removals as the program sees them: the devices with these
    // ids that came or went since it last asked.
    const unsigned key = static_cast<unsigned>(vid) << 16 | pid;
    if (auto prev = seen_.find(key); prev != seen_.end()) {
        for (const auto& p : prev->second)
            if (!paths.count(p)) {
                Json e = ids("removal", vid, pid);
                e["path"] = p;
                emit(e);
            }
        for (const auto& p : paths)
            if (!prev->second.count(p)) {
                Json e = ids("arrival", vid, pid);
                e["path"] = p;
                emit(e);
            }
    }
    seen_[key] = paths;
    Json e = ids("enumerate", vid, pid);
    e["count"] = devices.size();
    emit(e);
    for (const auto& [body, serial] : devices)
        emit(body, Value::Text, "serial", {}, serial);
}

void Recorder::opened(Json what, hid_device* dev) {
    std::lock_guard lock(m_);
    const int id = dev ? nextDev_++ : 0;
    if (dev)
        devs_[dev] = id;
    Json e{{"ev", "open"}};
    e.update(what);
    e["dev"] = id;
    e["ok"] = dev != nullptr;
    emit(e);
}

void Recorder::closed(hid_device* dev) {
    std::lock_guard lock(m_);
    const int id = idOf(dev);
    devs_.erase(dev);
    emit(Json{{"ev", "close"}, {"dev", id}});
}

void Recorder::wrote(hid_device* dev, const unsigned char* data, size_t length, int result) {
    std::lock_guard lock(m_);
    std::vector<uint8_t> bytes(data, data + (data ? length : 0));
    emit(Json{{"ev", "write"}, {"dev", idOf(dev)}, {"result", result}}, Value::Report, "data",
         bytes);
}

void Recorder::read(hid_device* dev, const unsigned char* data, int result) {
    std::lock_guard lock(m_);
    const int id = idOf(dev);
    if (result == 0) {
        ++polls_[id]; // empty polls are only counted
        return;
    }
    const Json body{{"ev", "read"}, {"dev", id}, {"result", result}};
    if (result > 0)
        emit(body, Value::Report, "data", std::vector<uint8_t>(data, data + result));
    else
        emit(body);
}

void Recorder::string(hid_device* dev, const char* which, const wchar_t* value, int result) {
    std::lock_guard lock(m_);
    const std::string text = result >= 0 ? narrow(value) : std::string();
    if (std::strcmp(which, "serial") == 0)
        mask_.learn(text);
    emit(Json{{"ev", "string"}, {"dev", idOf(dev)}, {"which", which}, {"result", result}},
         Value::Text, "value", {}, text);
}

void Recorder::closeFile(int exitCode) {
    if (!file_.is_open())
        return;
    flushPolls();
    if (exitCode >= 0)
        writeFileLine(Json{{"ev", "exit"}, {"code", exitCode}});
    file_.close();
}

// The first failure: kept as one line, the file closed (the rest of the run
// goes unrecorded rather than recorded with holes) and the handler told.
void Recorder::failed(int err) {
    failure_ =
        "cannot write the trace " + fileName_ + ": " + (err ? std::strerror(err) : "write error");
    file_.close();
    file_.clear();
    updateActive();
    if (onFailure_)
        onFailure_(failure_);
}

void Recorder::writeFileLine(const Json& body) {
    if (!file_.is_open())
        return;
    errno = 0;
    file_ << line(fileCount_, body) << "\n";
    file_.flush();
    if (!file_)
        failed(errno);
}

int Recorder::idOf(hid_device* dev) const {
    auto it = devs_.find(dev);
    return it == devs_.end() ? 0 : it->second;
}

// Writes one event to the file and the capture; the report or text under
// `key` ends the line, masked where that copy is masked.
void Recorder::emit(const Json& body, Value kind, const std::string& key,
                    const std::vector<uint8_t>& bytes, const std::string& text) {
    flushPolls();
    auto finish = [&](bool masked) {
        Json e = body;
        if (kind == Value::Report) {
            const auto r = masked ? mask_.maskReport(bytes) : bytes;
            e[key] = Hex(r.data(), r.size());
        } else if (kind == Value::Text) {
            std::string value = text;
            if (masked)
                mask_.maskText(value);
            e[key] = value;
        }
        return e;
    };
    if (file_.is_open())
        writeFileLine(finish(fileMask_));
    if (capturing_)
        captured_.push_back(line(captureCount_, finish(captureMask_)));
}

void Recorder::flushPolls() {
    auto polls = std::move(polls_);
    polls_.clear();
    for (const auto& [dev, count] : polls) {
        const Json body{{"ev", "polls"}, {"dev", dev}, {"count", count}};
        writeFileLine(body);
        if (capturing_)
            captured_.push_back(line(captureCount_, body));
    }
}

std::string Recorder::line(int& count, const Json& body) const {
    Json e{{"n", ++count}, {"t", tick_ms() - start_}};
    e.update(body);
    return Dump(e);
}

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
