#pragma once

// Shared pieces of orvex-bench: result tables, clocks and the virtual
// environment the link benchmarks run in.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/prompter.h"

namespace orvex::bench {

// One table of the report. Every measured figure sits next to its limit and
// the ratio measured / limit.
struct Section {
    std::string title;
    std::string intro;
    std::vector<std::string> headers;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> notes;
    bool failed = false;
};

struct Options {
    int runs = 5;        // repetitions of the CPU-timed measurements
    int startupRuns = 7; // launches of each program for the start-up figures
    bool startup = true;
    std::string app;        // orvex-config-virtual
    std::string floor;      // the empty Qt window program
    std::string mainWindow; // the main window alone (a finding, not a limit)
    std::string probe;      // the LD_PRELOAD probe module
};

Section FirmwareBench(const Options& options);
Section ExchangeBench(const Options& options);
Section StartupBench(const Options& options);
Section CrcBench(const Options& options);
std::string MachineDescription();

// --- clocks ---
int64_t ThreadCpuNs();
int64_t MonotonicNs();

// --- formatting ---
std::string Fixed(double value, int decimals);
// Ratio with enough digits to stay readable when it is far from 1.
std::string Ratio(double measured, double limit);
double Median(std::vector<double> values);

// Answers every message box with OK or No and keeps the texts, so a
// benchmark can tell a warning from a quiet run.
class QuietPrompter : public Prompter {
public:
    MsgAnswer message(const std::string& text, const std::string& caption, MsgButtons buttons,
                      MsgIcon icon) override;
    std::optional<std::string> openFile(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> pickFolder(const std::string&) override { return std::nullopt; }
    std::vector<std::string> texts;
};

// Virtual time, a quiet prompter, an empty virtual bus and the link timing
// on, for as long as it lives.
class LinkEnvironment {
public:
    LinkEnvironment();
    ~LinkEnvironment();
    LinkEnvironment(const LinkEnvironment&) = delete;
    LinkEnvironment& operator=(const LinkEnvironment&) = delete;

    VirtualClock clock;
    QuietPrompter prompts;
};

} // namespace orvex::bench
