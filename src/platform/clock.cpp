#include "clock.h"

#include <chrono>
#include <thread>

namespace orvex {

void SystemClock::sleep_ms(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t SystemClock::tick_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void VirtualClock::sleep_ms(uint32_t ms) {
    slept_ += ms;
    now_ += ms;
    // Let other threads (a worker polling in virtual time) make progress too.
    std::this_thread::yield();
}

namespace {
SystemClock g_systemClock;
std::atomic<Clock*> g_clock{&g_systemClock};
} // namespace

Clock& clock() {
    return *g_clock.load();
}

void setClock(Clock* c) {
    g_clock.store(c ? c : &g_systemClock);
}

} // namespace orvex
