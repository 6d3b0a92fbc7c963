// One exchange of each kind, keypad commands and loader commands, with the
// link timing on: reports, simulated link time and host CPU time.

#include <algorithm>
#include <functional>

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

constexpr int kIterations = 2000;
constexpr int kRestartIterations = 200;

struct LinkSlice {
    size_t out = 0;
    size_t in = 0;
    uint64_t linkMs = 0; // first frame used to the end of the last one
};

LinkSlice SliceFrom(size_t first) {
    LinkSlice s;
    const auto log = sim::UsbTiming::instance().transfers();
    if (first >= log.size())
        return s;
    uint64_t begin = log[first].frame;
    uint64_t end = begin;
    for (size_t i = first; i < log.size(); ++i) {
        ++(log[i].direction == sim::Transfer::Out ? s.out : s.in);
        begin = std::min(begin, log[i].frame);
        end = std::max(end, log[i].frame + sim::UsbTiming::kFrameMs);
    }
    s.linkMs = end - begin;
    return s;
}

struct Measured {
    std::string name;
    bool ok = false;
    LinkSlice link;
    uint64_t elapsedMs = 0;
    double hostCpuNs = 0;
    bool polled = false; // keypad exchanges poll every 10 ms
    std::string note;
};

// Host CPU time per call: thread CPU time minus the time spent inside the
// virtual device, over a batch, median of `runs` batches.
double CpuPerCall(int runs, int iterations, const std::function<void()>& call) {
    auto& timing = sim::UsbTiming::instance();
    std::vector<double> per;
    for (int r = 0; r < runs; ++r) {
        const uint64_t dev0 = timing.deviceNanoseconds();
        const int64_t cpu0 = ThreadCpuNs();
        for (int i = 0; i < iterations; ++i)
            call();
        const int64_t cpu1 = ThreadCpuNs();
        const uint64_t dev1 = timing.deviceNanoseconds();
        per.push_back((static_cast<double>(cpu1 - cpu0) - static_cast<double>(dev1 - dev0)) /
                      iterations);
        // Keep the transfer log from growing without end.
        timing.clearTransfers();
    }
    return Median(per);
}

// Cost of reading the thread CPU clock, taken off single-call measurements.
double ClockOverheadNs() {
    const int n = 10000;
    const int64_t a = ThreadCpuNs();
    for (int i = 0; i < n; ++i)
        ThreadCpuNs();
    return static_cast<double>(ThreadCpuNs() - a) / (n + 1);
}

Measured KeypadExchange(const Options& options, const std::string& name, uint8_t command,
                        std::vector<uint8_t> payload) {
    LinkEnvironment env;
    auto keypad = sim::makeKeypad();
    sim::VirtualBus::instance().plug(keypad);
    Measured m;
    m.name = name;
    m.polled = true;
    if (!RescanForDevice())
        return m;
    auto call = [&] {
        uint8_t response[RESPONSE_CAPACITY];
        uint32_t length = 0;
        return USBEncoderSendAndReceive_a(hid_handle, command, payload.data(),
                                          static_cast<uint32_t>(payload.size()), response,
                                          RESPONSE_CAPACITY, &length, EXCHANGE_TIMEOUT_MS);
    };
    for (int i = 0; i < 50; ++i)
        call();
    m.hostCpuNs = CpuPerCall(options.runs, kIterations, [&] { call(); });

    const size_t first = sim::UsbTiming::instance().transferCount();
    const uint64_t t0 = env.clock.tick_ms();
    m.ok = call() == LINK_OK;
    m.elapsedMs = env.clock.tick_ms() - t0;
    m.link = SliceFrom(first);
    return m;
}

// Commands after which the keypad leaves the bus: a fresh keypad each time,
// only the exchange itself timed.
Measured LeavingExchange(const Options& options, const std::string& name, uint8_t command) {
    Measured m;
    m.name = name;
    m.polled = true;
    const double overhead = ClockOverheadNs();
    std::vector<double> per;
    for (int r = 0; r < std::max(1, options.runs); ++r) {
        double sum = 0;
        for (int i = 0; i < kRestartIterations; ++i) {
            LinkEnvironment env;
            auto keypad = sim::makeKeypad();
            sim::attachLoader(keypad);
            sim::VirtualBus::instance().plug(keypad);
            if (!RescanForDevice())
                return m;
            uint8_t response[RESPONSE_CAPACITY];
            uint32_t length = 0;
            const size_t first = sim::UsbTiming::instance().transferCount();
            const uint64_t t0 = env.clock.tick_ms();
            const uint64_t dev0 = sim::UsbTiming::instance().deviceNanoseconds();
            const int64_t cpu0 = ThreadCpuNs();
            const int rc =
                USBEncoderSendAndReceive_a(hid_handle, command, nullptr, 0, response,
                                           RESPONSE_CAPACITY, &length, EXCHANGE_TIMEOUT_MS);
            const int64_t cpu1 = ThreadCpuNs();
            const uint64_t dev1 = sim::UsbTiming::instance().deviceNanoseconds();
            sum += static_cast<double>(cpu1 - cpu0) - static_cast<double>(dev1 - dev0) - overhead;
            m.elapsedMs = env.clock.tick_ms() - t0;
            m.link = SliceFrom(first);
            // The keypad is gone before an answer can be read.
            m.ok = rc == LINK_IO_ERROR && !sim::VirtualBus::instance().present(keypad);
        }
        per.push_back(sum / kRestartIterations);
    }
    m.hostCpuNs = Median(per);
    m.note = "keypad leaves the bus; the exchange ends with LINK_IO_ERROR, which callers ignore";
    return m;
}

// Loader commands on the RAM loader, opened and unlocked by the upgrade's
// own start-up.
std::vector<Measured> LoaderExchanges(const Options& options, std::string& failure) {
    LinkEnvironment env;
    auto keypad = sim::makeKeypad();
    sim::VirtualBus::instance().plug(keypad);
    auto loader = sim::attachLoader(keypad);
    RescanForDevice();
    SendDeviceCommand(EnterBootloader);
    firmware::UpgradeSequence sequence(nullptr, firmware::LoaderIds::FromResources(),
                                       firmware::StandInLoaderImages());
    std::vector<Measured> out;
    if (!sequence.DownloadStartUp()) {
        failure = "the RAM loader did not start";
        return out;
    }
    // The start-up erased the vector segment: the blank password fits now.
    const DataBlock_ blank = BSL_getDefaultPass();
    std::string block = "@8000\n";
    for (size_t i = 0; i < bsl::kMaxRxData; ++i)
        block += "A5" + std::string(i % 16 == 15 || i + 1 == bsl::kMaxRxData ? "\n" : " ");
    block += "q\n";

    struct Kind {
        std::string name;
        std::function<bool()> call;
        std::string note;
    };
    const std::vector<Kind> kinds = {
        {"RX Password (0x11)", [&] { return BSL_RX_Password(blank) == 0; }, ""},
        {"Erase Segment (0x12)", [] { return BSL_eraseSegment(0x8000) == 0; }, ""},
        {"CRC Check (0x16), 5000 bytes", [] { return BSL_CRC_Check(0x4400, 5000) == 0; }, ""},
        {"TX BSL Version (0x19)", [] { return BSL_TX_BSL_Version_String() != "ERROR"; }, ""},
        {"RX Data Block Fast (0x1B), 58 bytes", [&] { return BSL_RX_TXT(block, 1) == 0; },
         "no answer; host CPU includes reading the TI-TXT text"},
    };
    for (const auto& k : kinds) {
        Measured m;
        m.name = k.name;
        m.note = k.note;
        for (int i = 0; i < 50; ++i)
            k.call();
        m.hostCpuNs = CpuPerCall(options.runs, kIterations, [&] { k.call(); });
        const size_t first = sim::UsbTiming::instance().transferCount();
        const uint64_t t0 = env.clock.tick_ms();
        m.ok = k.call();
        m.elapsedMs = env.clock.tick_ms() - t0;
        m.link = SliceFrom(first);
        out.push_back(m);
    }
    BSL_close_BSL();
    return out;
}

} // namespace

Section ExchangeBench(const Options& options) {
    Section section;
    section.title = "One exchange of each kind (1 ms frames, virtual time)";
    section.intro =
        "Link limit: one frame per report, so 2 ms for a request with its answer and 1 ms for a "
        "request without one. Host CPU time is per exchange, median of batches of " +
        std::to_string(kIterations) + " (keypad restarts: " + std::to_string(kRestartIterations) +
        " single exchanges), without the virtual device's own work; its ratio is to the link "
        "limit. Keypad exchanges read once right after the write and then every 10 ms, so "
        "their elapsed time is shown separately.";
    section.headers = {
        "Exchange", "Reports out / in", "Simulated link time", "Limit",
        "Ratio",    "Host CPU time",    "CPU / link limit",    "Elapsed incl. 10 ms poll"};

    const std::vector<uint8_t> table(20, 0x04);
    const std::vector<uint8_t> serial{'O', 'V', 'X', '0', '0', '0', '1', '2', '3', '4', '5', '6'};
    std::vector<Measured> all = {
        KeypadExchange(options, "GetStatus (1)", GetStatus, {}),
        KeypadExchange(options, "SetLedBrightness (2)", SetLedBrightness, {5}),
        KeypadExchange(options, "SetJackLedBrightness (3)", SetJackLedBrightness, {5}),
        KeypadExchange(options, "SetBuzzer (4)", SetBuzzer, {1}),
        KeypadExchange(options, "LoadCodeTable (5), 20 bytes", LoadCodeTable, table),
        KeypadExchange(options, "SetBuzzerPeriod (6)", SetBuzzerPeriod, {3}),
        KeypadExchange(options, "SetKeypadType (7)", SetKeypadType, {0}),
        KeypadExchange(options, "WriteDefaults (9)", WriteDefaults, {}),
        LeavingExchange(options, "FactoryReset (10)", FactoryReset),
        KeypadExchange(options, "SetOptions (11)", SetOptions, {2}),
        LeavingExchange(options, "EnterBootloader (12)", EnterBootloader),
        KeypadExchange(options, "StatusBuzzer (13)", StatusBuzzer, {1}),
        KeypadExchange(options, "SetSerialNumber (14)", SetSerialNumber, serial),
    };
    std::string failure;
    for (auto& m : LoaderExchanges(options, failure)) {
        m.name = "Loader: " + m.name;
        all.push_back(std::move(m));
    }
    if (!failure.empty()) {
        section.failed = true;
        section.notes.push_back("Loader exchanges: " + failure + ".");
    }

    for (const auto& m : all) {
        const double limit = m.link.in > 0 ? 2.0 : 1.0;
        const double cpuUs = m.hostCpuNs / 1000;
        section.rows.push_back({m.name + (m.ok ? "" : " (FAILED)"),
                                std::to_string(m.link.out) + " / " + std::to_string(m.link.in),
                                std::to_string(m.link.linkMs) + " ms", Fixed(limit, 0) + " ms",
                                Ratio(static_cast<double>(m.link.linkMs), limit),
                                Fixed(cpuUs, 2) + " us", Ratio(cpuUs / 1000, limit),
                                m.polled ? std::to_string(m.elapsedMs) + " ms"
                                         : "no poll (" + std::to_string(m.elapsedMs) + " ms)"});
        if (!m.ok)
            section.failed = true;
        if (!m.note.empty())
            section.notes.push_back(m.name + ": " + m.note + ".");
    }
    section.notes.push_back(
        "Keypad exchanges: the answer crosses the link 2 ms after the write starts, but the "
        "exchange's first read comes 1 ms after it (when the write returns), finds nothing and "
        "sleeps 10 ms; so an answered exchange takes 11 ms, of which 9 ms is poll wait. The "
        "loader library reads with a timeout instead and sees the answer as it arrives.");
    return section;
}

} // namespace orvex::bench
