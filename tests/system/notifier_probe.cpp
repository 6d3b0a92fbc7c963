// Runs the production device notifier (libudev monitor) and prints each event
// it reports, one per line: "arrival" or "removal". "ready" once it listens.
//   notifier_probe VID PID SECONDS     (ids in hex)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bsl/device_notifier.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s VID PID SECONDS\n", argv[0]);
        return 2;
    }
    const auto vid = static_cast<uint16_t>(std::strtoul(argv[1], nullptr, 16));
    const auto pid = static_cast<uint16_t>(std::strtoul(argv[2], nullptr, 16));
    auto notifier = orvex::bsl::makeDeviceNotifier();
    const bool started = notifier->start(vid, pid, [](uint32_t event) {
        std::printf("%s\n", event == 0x8000 ? "arrival" : event == 0x8004 ? "removal" : "other");
        std::fflush(stdout);
    });
    if (!started) {
        std::printf("refused\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[3])));
    notifier->stop();
    return 0;
}
