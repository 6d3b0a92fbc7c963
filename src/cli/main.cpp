// orvexctl: configure a Halden Orvex keypad from scripts.

#include <iostream>

#include "cli/orvexctl.h"
#include "trace/hid_trace.h"
#include "trace/session_options.h"

int main(int argc, char* argv[]) {
    using namespace orvex;
    trace::SessionOptions session;
    std::string error;
    if (!trace::TakeSessionOptions(argc, argv, session, error)) {
        std::cerr << "orvexctl: " << error << "\n";
        return cli::EXIT_USAGE;
    }
    if (!trace::BeginSession(session, error)) {
        std::cerr << "orvexctl: " << error << "\n";
        // A recording that cannot be written is a file error; a replay that
        // cannot be read is bad input.
        return trace::WriteFailure().empty() ? cli::EXIT_USAGE : cli::EXIT_FILE;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    // diagnose masks its report too; first, so a `--` cannot make it a word.
    if (session.maskSerial)
        args.insert(args.begin(), "--mask-serial");
    int rc = cli::Run(args, std::cout, std::cerr, cli::DefaultDataHome());
    if (const std::string summary = trace::EndSession(rc); !summary.empty())
        std::cerr << summary << "\n";
    // The recording asked for is incomplete: a failure of its own, unless the
    // command already failed for another reason.
    if (const std::string failure = trace::WriteFailure(); !failure.empty()) {
        std::cerr << "orvexctl: " << failure << "\n";
        if (rc == cli::EXIT_OK)
            rc = cli::EXIT_FILE;
    }
    return rc;
}
