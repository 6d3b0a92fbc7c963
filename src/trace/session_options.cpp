#include "session_options.h"

#include <cstdlib>
#include <cstring>

#include "device/hid_backend.h"
#include "hid_trace.h"

namespace orvex::trace {

bool TakeSessionOptions(int& argc, char** argv, SessionOptions& options, std::string& error) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const bool trace = std::strcmp(argv[i], "--trace") == 0;
        if (trace || std::strcmp(argv[i], "--replay") == 0) {
            if (i + 1 >= argc) {
                error = std::string(argv[i]) + " needs a FILE";
                return false;
            }
            (trace ? options.traceFile : options.replayFile) = argv[++i];
        } else if (std::strcmp(argv[i], "--mask-serial") == 0) {
            options.maskSerial = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return true;
}

bool BeginSession(const SessionOptions& options, std::string& error) {
    if (!options.replayFile.empty() && !ReplayHidTrace(options.replayFile, error))
        return false;
    InitHidBackend();
    if (options.traceFile.empty()) {
        if (options.maskSerial)
            setenv("ORVEX_TRACE_MASK_SERIAL", "1", 1); // for a recording asked by ORVEX_TRACE
        return true;
    }
    return Start(options.traceFile, options.maskSerial, error);
}

std::string EndSession(int exitCode) {
    Stop(exitCode);
    return HidReplaySummary();
}

} // namespace orvex::trace
