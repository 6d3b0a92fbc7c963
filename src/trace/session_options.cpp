#include "session_options.h"

#include <cstdlib>
#include <cstring>

#include "device/hid_backend.h"
#include "hid_trace.h"

namespace orvex::trace {

bool TakeSessionOptions(int& argc, char** argv, SessionOptions& options, std::string& error) {
    int kept = 1;
    bool ended = false; // after `--` nothing is an option
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* file = nullptr;
        std::string name;
        if (!ended && (arg == "--trace" || arg.rfind("--trace=", 0) == 0)) {
            file = &options.traceFile;
            name = "--trace";
        } else if (!ended && (arg == "--replay" || arg.rfind("--replay=", 0) == 0)) {
            file = &options.replayFile;
            name = "--replay";
        }
        if (file) {
            if (arg.size() > name.size()) {
                *file = arg.substr(name.size() + 1);
            } else if (i + 1 < argc) {
                *file = argv[++i];
            } else {
                error = name + " needs a FILE";
                return false;
            }
            if (file->empty()) {
                error = name + " needs a FILE";
                return false;
            }
        } else if (!ended && arg == "--mask-serial") {
            options.maskSerial = true;
        } else {
            ended = ended || arg == "--";
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
