#pragma once

// orvexctl: scripted configuration of the keypad from the command line, a thin
// layer over the device link, the configuration file and the upgrade sequence.

#include <iosfwd>
#include <string>
#include <vector>

namespace orvex::cli {

// Exit codes: one per kind of failure, so scripts can tell them apart.
enum Exit : int {
    EXIT_OK = 0,
    EXIT_USAGE = 2,     // bad arguments or bad input (nothing was sent)
    EXIT_NO_KEYPAD = 3, // no keypad (or no loader) found
    EXIT_REFUSED = 4,   // the keypad refused a command or did not answer
    EXIT_VERIFY = 5,    // firmware download or verification failed
    EXIT_FILE = 6,      // a configuration or image file could not be read or written
};

// Runs one command line (without the program name). `dataHome` is the per-user
// data folder holding HaldenInterface/USBOrvexIllumUtilityCfg.ini.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const std::string& dataHome);

// The per-user data folder: $XDG_DATA_HOME, else $HOME/.local/share.
std::string DefaultDataHome();

} // namespace orvex::cli
