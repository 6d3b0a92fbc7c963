#pragma once

#include <string>

namespace orvex {

// Implemented once by each HID backend chosen at link time: the system hidapi
// (real keypads) or the virtual keypad.
void InitHidBackend();
const char* HidBackendName();

// Answers every HID call from the session recorded in `file` instead of a
// keypad (ORVEX_REPLAY=FILE does the same at InitHidBackend). Call before
// InitHidBackend. Only the virtual backend replays; false with a one-line
// `error` otherwise, or when the file is not a trace this program reads.
bool ReplayHidTrace(const std::string& file, std::string& error);

// After the run: one line when a replay ended before its recording did; empty
// otherwise (a divergence is reported on stderr when it happens).
std::string HidReplaySummary();

} // namespace orvex
