// orvexctl: configure a Halden Orvex keypad from scripts.

#include <cstdlib>
#include <iostream>

#include "cli/orvexctl.h"
#include "device/hid_backend.h"
#include "trace/hid_trace.h"

int main(int argc, char* argv[]) {
    std::vector<std::string> args;
    std::string traceFile, replayFile, error;
    bool maskSerial = false;
    // The recording and replay options may stand anywhere on the line; the
    // rest (with --mask-serial, which diagnose uses too) goes to the commands.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trace" || arg == "--replay") {
            if (i + 1 >= argc) {
                std::cerr << "orvexctl: " << arg << " needs a FILE\n";
                return orvex::cli::EXIT_USAGE;
            }
            (arg == "--trace" ? traceFile : replayFile) = argv[++i];
            continue;
        }
        maskSerial = maskSerial || arg == "--mask-serial";
        args.push_back(arg);
    }
    if (!replayFile.empty() && !orvex::ReplayHidTrace(replayFile, error)) {
        std::cerr << "orvexctl: " << error << "\n";
        return orvex::cli::EXIT_USAGE;
    }
    orvex::InitHidBackend();
    if (traceFile.empty() && maskSerial)
        setenv("ORVEX_TRACE_MASK_SERIAL", "1", 1); // for a recording asked by ORVEX_TRACE
    if (!traceFile.empty() && !orvex::trace::Start(traceFile, maskSerial, error)) {
        std::cerr << "orvexctl: " << error << "\n";
        return orvex::cli::EXIT_FILE;
    }
    const int rc = orvex::cli::Run(args, std::cout, std::cerr, orvex::cli::DefaultDataHome());
    orvex::trace::Stop(rc);
    if (const std::string summary = orvex::HidReplaySummary(); !summary.empty())
        std::cerr << summary << "\n";
    return rc;
}
