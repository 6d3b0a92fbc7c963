// orvexctl: configure a Halden Orvex keypad from scripts.

#include <iostream>

#include "cli/orvexctl.h"
#include "trace/session_options.h"

int main(int argc, char* argv[]) {
    orvex::trace::SessionOptions session;
    std::string error;
    if (!orvex::trace::TakeSessionOptions(argc, argv, session, error)) {
        std::cerr << "orvexctl: " << error << "\n";
        return orvex::cli::EXIT_USAGE;
    }
    if (!orvex::trace::BeginSession(session, error)) {
        std::cerr << "orvexctl: " << error << "\n";
        return orvex::cli::EXIT_USAGE;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    if (session.maskSerial)
        args.emplace_back("--mask-serial"); // diagnose masks its report too
    const int rc = orvex::cli::Run(args, std::cout, std::cerr, orvex::cli::DefaultDataHome());
    if (const std::string summary = orvex::trace::EndSession(rc); !summary.empty())
        std::cerr << summary << "\n";
    return rc;
}
