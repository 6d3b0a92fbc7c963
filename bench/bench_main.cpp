// orvex-bench: how close the utility comes to the limits of its USB link,
// and what its start-up costs. Prints one Markdown report with every figure
// next to its limit and the ratio. Exit status 1 when a measurement failed.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

#include "bench.h"

namespace {

void Usage() {
    std::cout
        << "Usage: orvex-bench [--runs N] [--startup-runs N] [--no-startup]\n"
           "                   [--app PATH] [--floor PATH] [--main-window PATH] [--probe PATH]\n"
           "  --runs N          repetitions of the CPU-timed figures (default 5)\n"
           "  --startup-runs N  launches of each program for start-up (default 7)\n"
           "  --no-startup      skip the start-up and memory figures\n"
           "  --app, --floor, --main-window, --probe\n"
           "                    programs and probe for the start-up figures\n"
           "                    (default: the ones built beside orvex-bench)\n";
}

bool Number(const char* text, int& out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!text[0] || *end || v < 1 || v > 1000)
        return false;
    out = static_cast<int>(v);
    return true;
}

void Print(const orvex::bench::Section& s) {
    std::cout << "## " << s.title << "\n\n";
    if (!s.intro.empty())
        std::cout << s.intro << "\n\n";
    if (!s.rows.empty()) {
        auto printRow = [](const std::vector<std::string>& cells) {
            std::cout << "|";
            for (const auto& cell : cells)
                std::cout << " " << cell << " |";
            std::cout << "\n";
        };
        printRow(s.headers);
        printRow(std::vector<std::string>(s.headers.size(), "---"));
        for (const auto& row : s.rows)
            printRow(row);
        std::cout << "\n";
    }
    for (const auto& n : s.notes)
        std::cout << "- " << n << "\n";
    if (!s.notes.empty())
        std::cout << "\n";
    std::cout.flush();
}

} // namespace

int main(int argc, char* argv[]) {
    orvex::bench::Options options;
    options.app = ORVEX_BENCH_APP;
    options.floor = ORVEX_BENCH_FLOOR;
    options.mainWindow = ORVEX_BENCH_MAIN_WINDOW;
    options.probe = ORVEX_BENCH_PROBE;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else if (a == "--no-startup") {
            options.startup = false;
        } else if (a == "--runs" && hasValue && Number(argv[i + 1], options.runs)) {
            ++i;
        } else if (a == "--startup-runs" && hasValue && Number(argv[i + 1], options.startupRuns)) {
            ++i;
        } else if (a == "--app" && hasValue) {
            options.app = argv[++i];
        } else if (a == "--floor" && hasValue) {
            options.floor = argv[++i];
        } else if (a == "--main-window" && hasValue) {
            options.mainWindow = argv[++i];
        } else if (a == "--probe" && hasValue) {
            options.probe = argv[++i];
        } else {
            std::cerr << "orvex-bench: unknown or incomplete argument " << a << "\n";
            Usage();
            return 2;
        }
    }

    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::cout << "# orvex-bench run, " << date << "\n\n"
              << orvex::bench::MachineDescription() << "\n"
              << "Ratio = measured / limit. Simulated times are virtual: the virtual keypad "
                 "with its link timing on (one 64-byte report per direction per 1 ms "
                 "frame).\n\n";
    std::cout.flush();

    bool failed = false;
    auto run = [&](const orvex::bench::Section& s) {
        Print(s);
        failed = failed || s.failed;
    };
    run(orvex::bench::FirmwareBench(options));
    run(orvex::bench::ExchangeBench(options));
    if (options.startup)
        run(orvex::bench::StartupBench(options));
    run(orvex::bench::CrcBench(options));
    if (failed)
        std::cout << "**Some measurements failed; see the notes above.**\n";
    return failed ? 1 : 0;
}
