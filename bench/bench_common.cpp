#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench.h"
#include "device/hid_link.h"
#include "usb_timing.h"
#include "virtual_bus.h"

namespace orvex::bench {

int64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ratio(double measured, double limit) {
    if (limit <= 0)
        return "n/a";
    const double r = measured / limit;
    if (r == 0)
        return "0";
    if (r >= 100)
        return Fixed(r, 0);
    if (r >= 0.01)
        return Fixed(r, 3);
    char text[64];
    std::snprintf(text, sizeof text, "%.2g", r);
    return text;
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

MsgAnswer QuietPrompter::message(const std::string& text, const std::string&, MsgButtons buttons,
                                 MsgIcon) {
    texts.push_back(text);
    return buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::No;
}

LinkEnvironment::LinkEnvironment() {
    setClock(&clock);
    setPrompter(&prompts);
    sim::VirtualBus::instance().reset();
    sim::UsbTiming::instance().reset();
    sim::UsbTiming::instance().setEnabled(true);
}

LinkEnvironment::~LinkEnvironment() {
    CloseDevice();
    sim::UsbTiming::instance().setEnabled(false);
    sim::UsbTiming::instance().reset();
    sim::VirtualBus::instance().reset();
    setPrompter(nullptr);
    setClock(nullptr);
}

namespace {

std::string firstMatch(const char* file, const std::string& key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) {
            const size_t colon = line.find_first_of(":=");
            std::string value = colon == std::string::npos ? line : line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    return "?";
}

std::string wholeFile(const char* file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
}

} // namespace

std::string MachineDescription() {
    utsname u{};
    uname(&u);
    std::ostringstream out;
    const long kb = std::atol(firstMatch("/proc/meminfo", "MemTotal").c_str());
    out << "- CPU: " << firstMatch("/proc/cpuinfo", "model name") << ", "
        << sysconf(_SC_NPROCESSORS_ONLN) << " logical cores online\n"
        << "- Memory: " << Fixed(kb / 1048576.0, 1) << " GiB\n"
        << "- System: " << firstMatch("/etc/os-release", "PRETTY_NAME=") << ", Linux " << u.release
        << "\n"
        << "- Compiler: " << __VERSION__ << ", " << ORVEX_BENCH_BUILD_TYPE << " build\n"
        << "- Qt: " << qVersion() << "\n"
        << "- Load average when the run started: " << wholeFile("/proc/loadavg") << "\n";
    std::string text = out.str();
    // os-release quotes its values.
    text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
    return text;
}

} // namespace orvex::bench
