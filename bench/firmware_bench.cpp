// Firmware programming against the virtual loader with the link timing on:
// reports and simulated link time of the erase pass, the download and the
// verification, next to the fewest the protocol allows for the same image.

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "bench.h"
#include "bsl/bsl430.h"
#include "bsl/bsl_protocol.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "firmware/standin_images.h"
#include "firmware/upgrade_sequence.h"
#include "usb_timing.h"
#include "virtual_bus.h"
#include "virtual_loader.h"

namespace orvex::bench {

namespace {

constexpr uint32_t kCodeStart = 0x4400;
constexpr uint32_t kVersionRecord = 0xFF40;
constexpr uint32_t kVectors = 0xFFE0;
constexpr uint32_t kUpperFlash = 0x10000;
constexpr size_t kSegment = 512;
// The upgrade verifies in blocks of at most this many bytes.
constexpr size_t kVerifyBlock = 5000;

struct ImageSection {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// A keypad image of exactly kb KiB: code from 0x4400, the version record at
// 0xFF40, the usual vector table at 0xFFE0 (so the stored password keeps
// matching) and, for images too large for the lower flash, code from 0x10000.
struct Image {
    int kb = 0;
    std::string version;
    std::vector<ImageSection> sections;

    size_t bytes() const {
        size_t n = 0;
        for (const auto& s : sections)
            n += s.bytes.size();
        return n;
    }
};

std::vector<uint8_t> PseudoRandom(uint32_t seed, size_t n) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed;
    for (auto& b : out) {
        x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

Image MakeImage(int kb) {
    Image image;
    image.kb = kb;
    image.version = "3." + std::to_string(kb);
    const std::string text = "OVX:" + image.version;
    std::vector<uint8_t> record(text.begin(), text.end());
    record.push_back(0);
    const auto& v = sim::LoaderModel::factoryVectors();
    const std::vector<uint8_t> vectors(v.begin(), v.end());

    const size_t code = static_cast<size_t>(kb) * 1024 - record.size() - vectors.size();
    const size_t low = std::min<size_t>(code, kVersionRecord - kCodeStart);
    image.sections.push_back({kCodeStart, PseudoRandom(static_cast<uint32_t>(kb), low)});
    image.sections.push_back({kVersionRecord, record});
    image.sections.push_back({kVectors, vectors});
    if (code > low)
        image.sections.push_back(
            {kUpperFlash, PseudoRandom(static_cast<uint32_t>(kb) + 1000, code - low)});
    return image;
}

std::string TiTxt(const Image& image) {
    std::string out;
    char buf[16];
    for (const auto& s : image.sections) {
        std::snprintf(buf, sizeof buf, s.address > 0xFFFF ? "@%05X\n" : "@%04X\n", s.address);
        out += buf;
        for (size_t i = 0; i < s.bytes.size(); ++i) {
            std::snprintf(buf, sizeof buf, "%02X", s.bytes[i]);
            out += buf;
            out += (i % 16 == 15 || i + 1 == s.bytes.size()) ? "\n" : " ";
        }
    }
    return out + "q\n";
}

// The fewest reports the protocol allows for an image: every data byte in a
// 58-byte RX block, one erase per flash segment the image touches and one CRC
// request per verification block.
struct Minimum {
    size_t data = 0;
    size_t segments = 0;
    size_t blocks = 0;

    size_t written() const { return data + segments + blocks; }
    size_t read() const { return segments + blocks; }
    // An erase or a CRC request waits for its answer: two frames each.
    size_t linkMs() const { return data + 2 * (segments + blocks); }
};

Minimum MinimumFor(const Image& image) {
    const size_t bytes = image.bytes();
    std::set<uint32_t> segments;
    for (const auto& s : image.sections) {
        const uint32_t last = s.address + static_cast<uint32_t>(s.bytes.size()) - 1;
        for (uint32_t seg = s.address / kSegment; seg <= last / kSegment; ++seg)
            segments.insert(seg);
    }
    return {(bytes + bsl::kMaxRxData - 1) / bsl::kMaxRxData, segments.size(),
            (bytes + kVerifyBlock - 1) / kVerifyBlock};
}

// What the progress callback saw when a step began.
struct Mark {
    std::string text;
    uint64_t tick = 0;
    size_t transfers = 0;
    size_t loaderLog = 0;
    uint64_t deviceNs = 0;
    int64_t cpuIn = 0;  // thread CPU time on entry
    int64_t cpuOut = 0; // and on leaving (bookkeeping excluded)
};

struct UpgradeRun {
    bool ok = false;
    std::string version;
    std::vector<Mark> marks;
    std::vector<sim::Transfer> transfers;
    std::vector<sim::LoaderCommand> loaderLog;
    std::vector<std::string> warnings;
};

UpgradeRun RunUpgrade(const std::string& path) {
    LinkEnvironment env;
    auto& timing = sim::UsbTiming::instance();
    auto keypad = sim::makeKeypad();
    sim::VirtualBus::instance().plug(keypad);
    auto loader = sim::attachLoader(keypad);
    RescanForDevice();
    SendDeviceCommand(EnterBootloader);

    UpgradeRun run;
    auto mark = [&](int, const std::string& text) {
        Mark m;
        m.cpuIn = ThreadCpuNs();
        m.text = text;
        m.tick = env.clock.tick_ms();
        m.transfers = timing.transferCount();
        m.deviceNs = timing.deviceNanoseconds();
        m.loaderLog = loader->model.log().size();
        m.cpuOut = ThreadCpuNs();
        run.marks.push_back(std::move(m));
    };
    mark(0, "<begin>");
    firmware::UpgradeSequence sequence(mark, firmware::LoaderIds::FromResources(),
                                       firmware::StandInLoaderImages());
    run.ok = sequence.Run(path);
    mark(0, "<end>");
    run.version = loader->model.imageVersion();
    run.transfers = timing.transfers();
    run.loaderLog = loader->model.log();
    run.warnings = env.prompts.texts;
    return run;
}

struct Phase {
    bool found = false;
    size_t out = 0;
    size_t in = 0;
    uint64_t ms = 0;
    double hostCpuNs = 0;
    std::map<uint8_t, int> commands;
};

const Mark* FindMark(const UpgradeRun& run, const std::string& prefix) {
    for (const auto& m : run.marks)
        if (m.text.rfind(prefix, 0) == 0)
            return &m;
    return nullptr;
}

Phase Slice(const UpgradeRun& run, const std::string& from, const std::string& to) {
    Phase p;
    const Mark* a = FindMark(run, from);
    const Mark* b = FindMark(run, to);
    if (!a || !b)
        return p;
    p.found = true;
    for (size_t i = a->transfers; i < b->transfers; ++i)
        ++(run.transfers[i].direction == sim::Transfer::Out ? p.out : p.in);
    for (size_t i = a->loaderLog; i < b->loaderLog; ++i)
        ++p.commands[run.loaderLog[i].command];
    p.ms = b->tick - a->tick;
    p.hostCpuNs =
        static_cast<double>(b->cpuIn - a->cpuOut) - static_cast<double>(b->deviceNs - a->deviceNs);
    return p;
}

std::string Commands(const Phase& p) {
    std::string out;
    for (const auto& [code, count] : p.commands) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s0x%02X x %d", out.empty() ? "" : ", ", code, count);
        out += buf;
    }
    return out.empty() ? "none" : out;
}

const char* kErase = "Erasing memory segments";
const char* kSending = "Sending ";
const char* kSent = "Firmware Sent";
const char* kVerifying = "Verifying memory";
const char* kVerified = "Memory successfully verified";
const char* kResetting = "Resetting Device";

// Reads a TI-TXT file's sections as written (one per "@" line).
bool ReadImage(const std::string& path, Image& image) {
    std::ifstream in(path);
    std::string token;
    while (in >> token) {
        if (token == "q" || token == "Q")
            return !image.sections.empty();
        if (token[0] == '@')
            image.sections.push_back(
                {static_cast<uint32_t>(std::stoul(token.substr(1), nullptr, 16)), {}});
        else if (!image.sections.empty())
            image.sections.back().bytes.push_back(
                static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
        else
            return false;
    }
    return false;
}

// The version text of the record at 0xFF40 ("OVX:" + version + NUL), as the
// virtual loader reads it back; empty when there is none.
std::string RecordVersion(const Image& image) {
    for (const auto& s : image.sections) {
        if (kVersionRecord < s.address || kVersionRecord >= s.address + s.bytes.size())
            continue;
        const size_t at = kVersionRecord - s.address;
        const std::string text(s.bytes.begin() + static_cast<std::ptrdiff_t>(at), s.bytes.end());
        const std::string record = text.substr(0, text.find('\0'));
        return record.rfind("OVX:", 0) == 0 ? record.substr(4) : "";
    }
    return "";
}

struct Case {
    std::string label;
    std::string path;
    Image image;
    bool sample = false; // a small sample image: report counts only
};

// Runs the upgrade of one image `runs` times and adds its rows. Returns the
// download's reports against ceil(bytes / 58), 0 when it failed.
double Measure(const Options& options, const Case& c, Section& section) {
    const Image& image = c.image;
    const Minimum min = MinimumFor(image);
    std::vector<double> cpu;
    UpgradeRun run;
    Phase all;
    bool consistent = true;
    const int runs = c.sample ? 1 : std::max(1, options.runs);
    for (int r = 0; r < runs; ++r) {
        run = RunUpgrade(c.path);
        const Phase a = Slice(run, kErase, kVerified);
        if (r > 0 && (a.out != all.out || a.in != all.in || a.ms != all.ms))
            consistent = false;
        all = a;
        cpu.push_back(a.hostCpuNs);
        if (!run.ok || run.version != image.version || !all.found)
            break;
    }
    if (!run.ok || run.version != image.version || !all.found) {
        section.failed = true;
        std::string why = "Upgrade with the " + c.label + " image failed:";
        for (const auto& m : run.marks) {
            std::string text = m.text;
            std::replace(text.begin(), text.end(), '\r', ' ');
            std::replace(text.begin(), text.end(), '\n', ' ');
            why += " | " + text;
        }
        section.notes.push_back(why);
        return 0;
    }
    if (!consistent) {
        section.failed = true;
        section.notes.push_back(c.label + ": report counts differ between runs.");
    }
    // "Sending RAM BSL" comes earlier: the download starts at "Sending <path>".
    const std::string sending = kSending + c.path;
    const Phase erase = Slice(run, kErase, sending);
    const Phase download = Slice(run, sending, kSent);
    const Phase verify = Slice(run, kVerifying, kVerified);
    const Phase startUp = Slice(run, "<begin>", kErase);
    const Phase restart = Slice(run, kResetting, "<end>");
    const double hostMs = Median(cpu) / 1e6;
    const std::string bytes = std::to_string(image.bytes());
    auto ratio = [](size_t measured, size_t limit) {
        return Ratio(static_cast<double>(measured), static_cast<double>(limit));
    };

    section.rows.push_back(
        {c.label, "Reports written (erase + download + verify)", std::to_string(all.out),
         std::to_string(min.written()) + " = " + std::to_string(min.data) + " data + " +
             std::to_string(min.segments) + " erase + " + std::to_string(min.blocks) + " CRC",
         ratio(all.out, min.written())});
    section.rows.push_back(
        {c.label, "- of which download data reports", std::to_string(download.out),
         std::to_string(min.data) + " = ceil(" + bytes + " / 58)", ratio(download.out, min.data)});
    if (!c.sample) {
        section.rows.push_back({c.label, "- of which erase requests", std::to_string(erase.out),
                                std::to_string(min.segments) + " segments",
                                ratio(erase.out, min.segments)});
        section.rows.push_back({c.label, "- of which CRC requests", std::to_string(verify.out),
                                std::to_string(min.blocks) + " = ceil(" + bytes + " / 5000)",
                                ratio(verify.out, min.blocks)});
        section.rows.push_back({c.label, "Reports read", std::to_string(all.in),
                                std::to_string(min.read()) + " = " + std::to_string(min.segments) +
                                    " erase + " + std::to_string(min.blocks) + " CRC answers",
                                ratio(all.in, min.read())});
        section.rows.push_back({c.label, "Simulated link time", std::to_string(all.ms) + " ms",
                                std::to_string(min.linkMs()) + " ms", ratio(all.ms, min.linkMs())});
        section.rows.push_back({c.label,
                                "Host CPU time (median of " + std::to_string(cpu.size()) + ")",
                                Fixed(hostMs, 3) + " ms", std::to_string(min.linkMs()) + " ms",
                                Ratio(hostMs, static_cast<double>(min.linkMs()))});
    }

    std::string note = c.label + " (" + bytes + " bytes in " +
                       std::to_string(image.sections.size()) + " sections): erase " +
                       Commands(erase) + "; download " + Commands(download) + "; verify " +
                       Commands(verify) + ".";
    if (!c.sample)
        note += " Rest of the upgrade: start-up " + std::to_string(startUp.out) + " written / " +
                std::to_string(startUp.in) + " read (" + Commands(startUp) + "), " +
                std::to_string(startUp.ms) +
                " ms including the 3 x 1000 ms wait for the RAM loader; restart " +
                std::to_string(restart.out) + " written.";
    section.notes.push_back(note);
    return static_cast<double>(download.out) / static_cast<double>(min.data);
}

} // namespace

Section FirmwareBench(const Options& options) {
    Section section;
    section.title = "Firmware programming (virtual loader, 1 ms frames, virtual time)";
    section.intro =
        "Erase pass, download and verification of `firmware::UpgradeSequence`, counted on the "
        "bus from the first erase to the end of the verification. Limit: ceil(bytes / 58) data "
        "reports + one erase per 512-byte segment touched + one CRC request per 5000-byte "
        "verification block (ceil(bytes / 5000)); each erase and CRC request waits for its "
        "answer, so the least link time is data + 2 x (erases + CRC requests) frames. Host CPU "
        "time excludes the virtual loader's own work; its limit is that least link time (the "
        "host keeps up with the link while the ratio stays below 1). The 16, 32 and 48 KiB "
        "images are generated: code from 0x4400 (and from 0x10000 when it does not fit below "
        "the vectors), a version record at 0xFF40 and the vector table at 0xFFE0. The small "
        "sample images of resources/firmware/samples follow for comparison.";
    section.headers = {"Image", "Figure", "Measured", "Limit", "Ratio"};

    char dirTemplate[] = "/tmp/orvex-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir) {
        section.failed = true;
        section.notes.push_back("Cannot create a temporary folder for the images.");
        return section;
    }

    double worst = 0;
    for (const int kb : {16, 32, 48}) {
        Case c;
        c.image = MakeImage(kb);
        c.label = std::to_string(kb) + " KiB";
        c.path = std::string(dir) + "/bench_" + std::to_string(kb) + "k.txt";
        std::ofstream(c.path) << TiTxt(c.image);
        const double r = Measure(options, c, section);
        worst = r == 0 ? 99 : std::max(worst, r);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    section.notes.insert(section.notes.begin(),
                         "Download data reports against ceil(bytes / 58) for the 16, 32 and 48 "
                         "KiB images: at most " +
                             Fixed(worst, 3) + " x, " + (worst <= 1.1 ? "within" : "NOT within") +
                             " the 1.1 x bound.");

    // Whatever sample images the source tree carries, in name order.
    std::vector<std::filesystem::path> samples;
    for (const auto& e : std::filesystem::directory_iterator(ORVEX_BENCH_SAMPLES, ignored))
        if (e.path().extension() == ".txt")
            samples.push_back(e.path());
    std::sort(samples.begin(), samples.end());
    for (const auto& path : samples) {
        Case c;
        c.sample = true;
        c.label = path.filename().string();
        c.path = path.string();
        if (!ReadImage(c.path, c.image) || (c.image.version = RecordVersion(c.image)).empty()) {
            section.notes.push_back("Sample image " + c.path +
                                    " not readable or without a version record; skipped.");
            continue;
        }
        Measure(options, c, section);
    }
    return section;
}

} // namespace orvex::bench
