#pragma once

// Session recording at the hidapi C API. Every executable that talks HID is
// linked with --wrap for the hidapi functions below (see src/CMakeLists.txt),
// so each call of the device link, the loader library and orvexctl passes
// through this recorder whichever hidapi (system or virtual) is underneath.
// While no recording is on, the wrappers only forward the call.

#include <functional>
#include <string>
#include <vector>

namespace orvex::trace {

// Starts writing every HID event to `file` (JSON Lines, docs/trace-format.md).
// With `maskSerial`, every serial number is written as X's wherever it
// appears (the recorded arguments, strings, status answers, SetSerialNumber
// requests, any report holding one already seen). False with `error` when the
// file cannot be created or written. Replaces a recording already on.
bool Start(const std::string& file, bool maskSerial, std::string& error);

// ORVEX_TRACE=FILE starts the recording at the first HID call unless Start was
// called before; ORVEX_TRACE_MASK_SERIAL=1 masks the serial number.
// Writes the exit event (when `code` >= 0) and closes the file.
void Stop(int exitCode = -1);

// Why the recording could not be written, as one line ("cannot write the
// trace FILE: No space left on device"), when it could not be created or a
// write to it failed; empty otherwise. After a failed write nothing more is
// written to the file: the program goes on, without its recording.
std::string WriteFailure();

// Called once, on the thread that wrote, when the recording first fails (the
// windows show a warning). It must not call back into the recorder.
void OnWriteFailure(std::function<void(const std::string&)> handler);

// Keeps the events from now on in memory as well (the diagnosis report shows
// the trace of its status read); EndCapture returns them.
void BeginCapture(bool maskSerial);
std::vector<std::string> EndCapture();

} // namespace orvex::trace
