#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "device/hid_backend.h"
#include "firmware/standin_images.h"
#include "trace_replay.h"
#include "virtual_bus.h"
#include "virtual_loader.h"

namespace orvex {

namespace {

// With ORVEX_VIRTUAL_STATE naming a file, the virtual keypad keeps its state
// there between runs, so a script of several orvexctl-virtual calls talks to
// one keypad that stays powered.
const char* stateFile() {
    const char* f = std::getenv("ORVEX_VIRTUAL_STATE");
    return f && *f ? f : nullptr;
}

void saveState() {
    const char* file = stateFile();
    if (!file)
        return;
    const std::string tmp = std::string(file) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << sim::defaultKeypad()->model.saveState();
        if (!out.flush())
            return;
    }
    std::rename(tmp.c_str(), file);
}

// ORVEX_VIRTUAL_UNPLUGGED=1: the keypad starts out of its socket (the window's
// "Virtual keypad" menu plugs it in).
bool startUnplugged() {
    const char* v = std::getenv("ORVEX_VIRTUAL_UNPLUGGED");
    return v && *v && std::strcmp(v, "0") != 0;
}

} // namespace

// The -virtual programs start with one keypad plugged in, whose loader runs
// the stand-in RAM loader, or replay a recorded one.
void InitHidBackend() {
    firmware::UseBuiltInLoaderImages(firmware::StandInLoaderImages());
    if (const char* file = std::getenv("ORVEX_REPLAY");
        file && *file && !sim::TraceReplay::active()) {
        std::string error;
        if (!sim::TraceReplay::start(file, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(2);
        }
    }
    if (sim::TraceReplay::active())
        return;
    sim::attachLoader(sim::defaultKeypad());
    if (!startUnplugged())
        sim::VirtualBus::instance().plug(sim::defaultKeypad());
    if (const char* file = stateFile()) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        if (in && !sim::defaultKeypad()->model.loadState(text.str()))
            std::fprintf(stderr, "virtual keypad: ignoring unreadable state in %s\n", file);
        std::atexit(saveState);
    }
}

const char* HidBackendName() {
    return "virtual";
}

bool ReplayHidTrace(const std::string& file, std::string& error) {
    return sim::TraceReplay::start(file, error);
}

std::string HidReplaySummary() {
    const sim::TraceReplay* replay = sim::TraceReplay::active();
    return replay ? replay->summary() : std::string();
}

} // namespace orvex
