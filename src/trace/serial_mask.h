#pragma once

// The serial numbers a masked recording must not hold (--mask-serial): those
// learnt from the command line, the USB strings and the keypad's own reports,
// replaced by X's of their length wherever they stand.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace orvex::trace {

class SerialMask {
public:
    // Remembers a serial number; empty ones are ignored.
    void learn(const std::string& serial);
    // The arguments with the value of --serial (either form), and any serial
    // number already known, as X's; the --serial one is known from now on.
    void maskArgs(std::vector<std::string>& args);
    // Every serial number known, wherever it stands in `text`: whole texts,
    // and inside longer ones those of four characters or more (shorter ones
    // would hit unrelated bytes). True when something was masked.
    bool maskText(std::string& text) const;
    // The report with every serial number as X's: the keypad's in a status
    // answer or SetSerialNumber request (learnt here), and any known wherever
    // it stands. A frame's checksum is made right again so the masked trace
    // still replays.
    std::vector<uint8_t> maskReport(std::vector<uint8_t> report);

private:
    std::set<std::string> serials_;
};

} // namespace orvex::trace
