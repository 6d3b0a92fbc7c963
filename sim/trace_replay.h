#pragma once

// A recorded keypad: the virtual backend's hidapi functions answer from a
// session trace instead of the virtual bus. Each written report must be the
// one the recording wrote at that place; it is answered with what the
// recording read after it. Arrivals and removals are announced to the bus's
// listeners when the replay passes them. The first difference is reported
// (event number, expected, actual) and from then on every call fails.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "trace/trace_format.h"

namespace orvex::sim {

struct ReplayDevice {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t release = 0;
    int interfaceNumber = 0;
    std::string manufacturer, product, serial; // UTF-8
};

class TraceReplay {
public:
    // The replay in force, or null.
    static TraceReplay* active();
    // Loads `file` and puts it in force. False with a one-line `error` when the
    // file is not a trace this program reads.
    static bool start(const std::string& file, std::string& error);
    static void stop();

    std::vector<ReplayDevice> enumerate(uint16_t vid, uint16_t pid);
    // The recorded handle number, or 0 when the open failed (or diverged).
    int open(const std::string& path);
    void close(int dev);
    int write(int dev, const uint8_t* data, size_t length);
    int read(int dev, uint8_t* data, size_t length);
    int string(int dev, const char* which, std::string& value);

    // The interface at `path` as the last recorded enumeration listed it.
    std::optional<ReplayDevice> listed(const std::string& path) const;

    bool diverged() const;
    // One line when the program ended before the recording did; empty when
    // the whole recording was played or it diverged (reported on stderr then).
    std::string summary() const;

private:
    explicit TraceReplay(trace::Trace t) : trace_(std::move(t)) {}
    const trace::Line* at() const;
    // Passes over what the device sent that the program did not ask for here:
    // unread reports and empty polls are dropped, arrivals and removals told.
    void passDeviceOutput();
    std::string describe(size_t index) const;
    void diverge(const std::string& expected, const std::string& actual);

    mutable std::recursive_mutex m_;
    trace::Trace trace_;
    size_t cursor_ = 0;
    bool diverged_ = false;
    std::string divergence_;
    std::vector<std::pair<unsigned, std::vector<ReplayDevice>>> lastEnumeration_;
};

} // namespace orvex::sim
