#pragma once

// The recorder behind hid_trace.h, shared with the hidapi wrappers
// (hid_wrap.cpp). Internal to src/trace.

#include <hidapi/hidapi.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "serial_mask.h"
#include "trace_format.h"

namespace orvex::trace {

std::string hex4(unsigned v);

class Recorder {
public:
    static Recorder& instance();

    bool active() const { return active_.load(std::memory_order_acquire); }

    bool start(const std::string& file, bool mask, std::string& error);
    std::string failure();
    void onFailure(std::function<void(const std::string&)> handler);
    void stop(int exitCode);
    void beginCapture(bool mask);
    std::vector<std::string> endCapture();

    // --- events ---
    void enumerated(unsigned short vid, unsigned short pid, const hid_device_info* list);
    // `what`: the path or the ids the device was opened by.
    void opened(Json what, hid_device* dev);
    void closed(hid_device* dev);
    void wrote(hid_device* dev, const unsigned char* data, size_t length, int result);
    void read(hid_device* dev, const unsigned char* data, int result);
    void string(hid_device* dev, const char* which, const wchar_t* value, int result);

private:
    // What an event carries that a masked line writes differently.
    enum class Value { None, Report, Text };

    void updateActive() { active_.store(file_.is_open() || capturing_, std::memory_order_release); }
    void closeFile(int exitCode);
    void failed(int err);
    void writeFileLine(const Json& body);
    int idOf(hid_device* dev) const;
    void emit(const Json& body, Value kind = Value::None, const std::string& key = {},
              const std::vector<uint8_t>& bytes = {}, const std::string& text = {});
    void flushPolls();
    std::string line(int& count, const Json& body) const;

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
    SerialMask mask_;
    std::string fileName_;
    std::string failure_;
    std::function<void(const std::string&)> onFailure_;
};

// The recorder, started from ORVEX_TRACE at the first call when asked.
Recorder& recorder();

} // namespace orvex::trace
