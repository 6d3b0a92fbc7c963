#pragma once

// Session recording at the hidapi C API. Every executable that talks HID is
// linked with --wrap for the hidapi functions below (see src/CMakeLists.txt),
// so each call of the device link, the loader library and orvexctl passes
// through this recorder whichever hidapi (system or virtual) is underneath.
// While no recording is on, the wrappers only forward the call.

#include <string>
#include <vector>

namespace orvex::trace {

// Starts writing every HID event to `file` (JSON Lines, docs/trace-format.md).
// With `maskSerial`, the keypad's serial number is written as X's wherever it
// appears (strings, status answers, SetSerialNumber requests). False with
// `error` when the file cannot be created. Replaces a recording already on.
bool Start(const std::string& file, bool maskSerial, std::string& error);

// ORVEX_TRACE=FILE starts the recording at the first HID call unless Start was
// called before; ORVEX_TRACE_MASK_SERIAL=1 masks the serial number.
// Writes the exit event (when `code` >= 0) and closes the file.
void Stop(int exitCode = -1);

// Keeps the events from now on in memory as well (the diagnosis report shows
// the trace of its status read); EndCapture returns them.
void BeginCapture(bool maskSerial);
std::vector<std::string> EndCapture();

} // namespace orvex::trace
