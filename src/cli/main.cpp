// orvexctl: configure a Halden Orvex keypad from scripts.

#include <iostream>

#include "cli/orvexctl.h"
#include "device/hid_backend.h"

int main(int argc, char* argv[]) {
    orvex::InitHidBackend();
    const std::vector<std::string> args(argv + 1, argv + argc);
    return orvex::cli::Run(args, std::cout, std::cerr, orvex::cli::DefaultDataHome());
}
