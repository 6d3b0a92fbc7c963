// Runs a command against the emulated keypad and prints what the keypad
// received: a hand tool for trying hidapi programs on the real hidraw backend.
//   orvex-emulated-keypad [--no-keyboard] [--mode=0] [--loader] -- /path/to/program args...
// --loader emulates the keypad's bootstrap loader behind EnterBootloader.

#include <cstdio>
#include <cstring>
#include <string>

#include "child_process.h"
#include "hidraw_keypad.h"

using namespace orvex::systest;

int main(int argc, char** argv) {
    HidrawKeypad::Identity id;
    bool loader = false;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--no-keyboard") == 0)
            id.keyboardInterface = false;
        else if (std::strcmp(argv[i], "--loader") == 0)
            loader = true;
        else if (std::strncmp(argv[i], "--mode=", 7) == 0)
            id.nodeMode = static_cast<mode_t>(std::stoul(argv[i] + 7, nullptr, 8));
    }
    if (i + 1 >= argc) {
        std::fprintf(stderr,
                     "usage: %s [--no-keyboard] [--mode=OCTAL] [--loader] -- program [args...]\n",
                     argv[0]);
        return 2;
    }
    Testbed bed;
    HidrawKeypad keypad(bed);
    keypad.setIdentity(id);
    if (loader)
        keypad.emulateLoader();
    keypad.plug();

    ChildProcess child;
    ChildProcess::Options o;
    for (int k = i + 1; k < argc; ++k)
        o.argv.push_back(argv[k]);
    o.env = bed.programEnv(ORVEX_FSTAT_SHIM);
    o.withoutFileOverride = true;
    std::string why;
    if (!child.start(o, &why)) {
        std::fprintf(stderr, "cannot start: %s\n", why.c_str());
        return 2;
    }
    const int rc = child.waitExit(120000);
    std::printf("--- exit %d; opens if0=%d if1=%d; keyboard writes %d\n", rc, keypad.opens(0),
                keypad.opens(1), keypad.keyboardWrites());
    for (const auto& c : keypad.model.log())
        std::printf("--- command %u, %zu payload bytes\n", c.command, c.payload.size());
    for (const auto& a : keypad.arrivals())
        std::printf("--- arrived: %s\n", a.c_str());
    if (loader)
        std::printf("--- loader: %d reports, image version \"%s\"\n", keypad.loader.totalReports(),
                    keypad.loader.imageVersion().c_str());
    for (unsigned long r : keypad.unknownIoctls())
        std::printf("--- unknown ioctl 0x%lx\n", r);
    return rc;
}
