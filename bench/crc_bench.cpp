// Throughput of the CRC engine the verification uses, over a 1 MiB buffer.

#include <vector>

#include "bench.h"
#include "bsl/bsl_protocol.h"
#include "firmware/crc.h"
#include "loader_model.h"

namespace orvex::bench {

namespace {

constexpr size_t kBufferBytes = 1024 * 1024;
// Least CPU time per measurement, so the clock's resolution does not matter.
constexpr int64_t kMinBatchNs = 200 * 1000000LL;

// As the verification computes a block's CRC: seed 0xFFFF, one byte at a time.
uint16_t CrcOf(const std::vector<uint8_t>& data) {
    CRC crc(0xFFFF);
    crc.CrcInit(0xFFFF);
    for (const uint8_t b : data)
        crc.CrcInput(b);
    return crc.GetCrcValue();
}

} // namespace

Section CrcBench(const Options& options) {
    Section section;
    section.title = "CRC throughput";
    section.intro =
        "`CRC` (CRC-16/CCITT, byte by byte, as `Calculate_CRC` uses it) over a 1 MiB buffer; "
        "MB = 10^6 bytes; median of " +
        std::to_string(options.runs) +
        " batches of at least 200 ms CPU time. Limit: the rate at which image bytes cross the "
        "link, 58 bytes per 1 ms frame (0.058 MB/s); the CRC is never the bottleneck while the "
        "ratio stays above 1.";
    section.headers = {"Figure", "Measured", "Limit", "Ratio"};

    std::vector<uint8_t> data(kBufferBytes);
    uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    // The engine must agree with the loader's own CRC, or the speed means nothing.
    const std::vector<uint8_t> check{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    const uint16_t reference = sim::LoaderModel::crc16(data.data(), data.size());
    if (CrcOf(check) != 0x29B1 || CrcOf(data) != reference) {
        section.failed = true;
        section.notes.push_back("CRC results differ from CRC-16/CCITT-FALSE; no figure.");
        return section;
    }

    volatile uint16_t sink = 0;
    std::vector<double> rates;
    for (int r = 0; r < std::max(1, options.runs); ++r) {
        int passes = 0;
        const int64_t t0 = ThreadCpuNs();
        int64_t t1 = t0;
        while (t1 - t0 < kMinBatchNs) {
            sink = sink ^ CrcOf(data);
            ++passes;
            t1 = ThreadCpuNs();
        }
        rates.push_back(static_cast<double>(passes) * kBufferBytes / (t1 - t0) * 1e3);
    }
    const double mbps = Median(rates);
    const double linkMbps = static_cast<double>(bsl::kMaxRxData) / 1000.0;
    section.rows.push_back({"CRC throughput, 1 MiB buffer", Fixed(mbps, 1) + " MB/s",
                            Fixed(linkMbps, 3) + " MB/s (58 B per frame)", Ratio(mbps, linkMbps)});
    section.notes.push_back("One 5000-byte verification block takes " + Fixed(5000 / mbps, 1) +
                            " us of CPU against the 2 ms round trip of "
                            "its CRC request.");
    return section;
}

} // namespace orvex::bench
