#include "trace_replay.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "virtual_bus.h"

namespace orvex::sim {

namespace {

std::unique_ptr<TraceReplay>& current() {
    static std::unique_ptr<TraceReplay> replay;
    return replay;
}

uint16_t hexId(const std::string& text) {
    try {
        return static_cast<uint16_t>(std::stoul(text, nullptr, 16));
    } catch (const std::exception&) {
        return 0;
    }
}

unsigned key(uint16_t vid, uint16_t pid) {
    return static_cast<unsigned>(vid) << 16 | pid;
}

} // namespace

TraceReplay* TraceReplay::active() {
    return current().get();
}

bool TraceReplay::start(const std::string& file, std::string& error) {
    trace::Trace t;
    if (!trace::ReadTrace(file, t, error))
        return false;
    current().reset(new TraceReplay(std::move(t)));
    return true;
}

void TraceReplay::stop() {
    current().reset();
}

const trace::Line* TraceReplay::at() const {
    return cursor_ < trace_.events.size() ? &trace_.events[cursor_] : nullptr;
}

void TraceReplay::passDeviceOutput() {
    while (const trace::Line* e = at()) {
        const std::string ev = e->text("ev");
        if (ev == "arrival" || ev == "removal") {
            ++cursor_;
            VirtualBus::instance().announce(
                {ev == "arrival" ? BusEvent::Arrival : BusEvent::Removal, hexId(e->text("vid")),
                 hexId(e->text("pid"))});
        } else if (ev == "read" || ev == "polls") {
            ++cursor_;
        } else {
            return;
        }
    }
}

std::string TraceReplay::describe(size_t index) const {
    if (index >= trace_.events.size())
        return "the end of the recording";
    const trace::Line& e = trace_.events[index];
    const std::string ev = e.text("ev");
    if (ev == "write")
        return "write " + e.text("data");
    if (ev == "open")
        return "open " + e.text("path");
    if (ev == "enumerate")
        return "enumerate " + e.text("vid") + ":" + e.text("pid");
    if (ev == "exit")
        return "the end of the recording";
    return ev;
}

void TraceReplay::diverge(const std::string& expected, const std::string& actual) {
    diverged_ = true;
    divergence_ = "replay: event " + std::to_string(cursor_ + 1) + " differs: expected " +
                  expected + ", actual " + actual;
    std::fprintf(stderr, "%s\n", divergence_.c_str());
}

std::vector<ReplayDevice> TraceReplay::enumerate(uint16_t vid, uint16_t pid) {
    std::lock_guard lock(m_);
    if (diverged_)
        return {};
    passDeviceOutput();
    const trace::Line* e = at();
    const unsigned k = key(vid, pid);
    auto last = std::find_if(lastEnumeration_.begin(), lastEnumeration_.end(),
                             [k](const auto& p) { return p.first == k; });
    if (!e || e->text("ev") != "enumerate" || hexId(e->text("vid")) != vid ||
        hexId(e->text("pid")) != pid) {
        // The program asks more often than it did while recording (a poll
        // loop): nothing has changed since the last answer.
        return last == lastEnumeration_.end() ? std::vector<ReplayDevice>() : last->second;
    }
    const auto count = static_cast<size_t>(std::max<int64_t>(0, e->number("count")));
    ++cursor_;
    std::vector<ReplayDevice> list;
    for (size_t i = 0; i < count && at() && at()->text("ev") == "device"; ++i, ++cursor_) {
        const trace::Line& d = *at();
        list.push_back({d.text("path"), hexId(d.text("vid")), hexId(d.text("pid")),
                        hexId(d.text("release")), static_cast<int>(d.number("interface")),
                        d.text("manufacturer"), d.text("product"), d.text("serial")});
    }
    if (last == lastEnumeration_.end())
        lastEnumeration_.emplace_back(k, list);
    else
        last->second = list;
    return list;
}

int TraceReplay::open(const std::string& path) {
    std::lock_guard lock(m_);
    if (diverged_)
        return 0;
    passDeviceOutput();
    const trace::Line* e = at();
    if (!e || e->text("ev") != "open" || e->text("path") != path) {
        diverge(describe(cursor_), "open " + path);
        return 0;
    }
    ++cursor_;
    return e->flag("ok") ? static_cast<int>(e->number("dev")) : 0;
}

void TraceReplay::close(int dev) {
    std::lock_guard lock(m_);
    if (diverged_)
        return;
    passDeviceOutput();
    const trace::Line* e = at();
    if (e && e->text("ev") == "close" && e->number("dev") == dev)
        ++cursor_;
}

int TraceReplay::write(int dev, const uint8_t* data, size_t length) {
    std::lock_guard lock(m_);
    if (diverged_)
        return -1;
    passDeviceOutput();
    const std::string actual = trace::Hex(data, length);
    const trace::Line* e = at();
    if (!e || e->text("ev") != "write" || e->number("dev") != dev) {
        diverge(describe(cursor_), "write " + actual);
        return -1;
    }
    if (trace::Unhex(e->text("data")) != std::vector<uint8_t>(data, data + length)) {
        diverge(e->text("data"), actual);
        return -1;
    }
    ++cursor_;
    return static_cast<int>(e->number("result"));
}

int TraceReplay::read(int dev, uint8_t* data, size_t length) {
    std::lock_guard lock(m_);
    if (diverged_)
        return -1;
    while (at() && at()->text("ev") == "polls")
        ++cursor_;
    const trace::Line* e = at();
    if (!e || e->text("ev") != "read" || e->number("dev") != dev)
        return 0; // the recording read nothing more here
    ++cursor_;
    const int result = static_cast<int>(e->number("result"));
    if (result <= 0)
        return result;
    const auto bytes = trace::Unhex(e->text("data"));
    if (!bytes) {
        diverge("readable report bytes", "event " + std::to_string(cursor_) + " malformed");
        return -1;
    }
    const size_t n = std::min(length, bytes->size());
    std::memcpy(data, bytes->data(), n);
    return static_cast<int>(n);
}

int TraceReplay::string(int dev, const char* which, std::string& value) {
    std::lock_guard lock(m_);
    if (diverged_)
        return -1;
    passDeviceOutput();
    const trace::Line* e = at();
    if (e && e->text("ev") == "string" && e->number("dev") == dev && e->text("which") == which) {
        ++cursor_;
        value = e->text("value");
        return static_cast<int>(e->number("result"));
    }
    return -1; // not asked while recording: as a device that does not answer
}

std::optional<ReplayDevice> TraceReplay::listed(const std::string& path) const {
    std::lock_guard lock(m_);
    for (const auto& [ids, list] : lastEnumeration_)
        for (const auto& d : list)
            if (d.path == path)
                return d;
    return std::nullopt;
}

bool TraceReplay::diverged() const {
    std::lock_guard lock(m_);
    return diverged_;
}

std::string TraceReplay::summary() const {
    std::lock_guard lock(m_);
    if (diverged_)
        return {}; // reported when it happened
    size_t i = cursor_;
    for (; i < trace_.events.size(); ++i) {
        const std::string ev = trace_.events[i].text("ev");
        // Device output the program no longer read and its final close do not
        // count; anything the program did while recording does.
        if (ev != "read" && ev != "polls" && ev != "arrival" && ev != "removal" && ev != "close")
            break;
    }
    if (i >= trace_.events.size() || trace_.events[i].text("ev") == "exit")
        return {};
    return "replay: the program stopped before event " + std::to_string(i + 1) + " (" +
           describe(i) + ") of " + std::to_string(trace_.events.size());
}

} // namespace orvex::sim
