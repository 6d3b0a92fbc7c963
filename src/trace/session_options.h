#pragma once

// The recording and replay options every program takes: --trace FILE,
// --mask-serial and (virtual programs) --replay FILE.

#include <string>

namespace orvex::trace {

struct SessionOptions {
    std::string traceFile;
    std::string replayFile;
    bool maskSerial = false;
};

// Takes the options out of argv (anywhere on the line). False with `error`
// when one lacks its FILE.
bool TakeSessionOptions(int& argc, char** argv, SessionOptions& options, std::string& error);

// Starts the replay if asked, initialises the HID backend, then starts the
// recording (--trace, or ORVEX_TRACE at the first HID call). False with a
// one-line `error` when the trace cannot be read or written (WriteFailure of
// hid_trace.h then tells the second from the first).
bool BeginSession(const SessionOptions& options, std::string& error);

// Ends the recording with the exit code and returns the replay's closing
// line (empty when there is nothing to say).
std::string EndSession(int exitCode);

} // namespace orvex::trace
