#pragma once

#include <atomic>
#include <cstdint>

namespace orvex {

// Millisecond sleep and tick counter. Everything that waits (the 10 ms polls of
// an exchange, the 3000 ms restarts, the self-test pauses) goes through this so
// tests can run the same code in virtual time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual void sleep_ms(uint32_t ms) = 0;
    virtual uint64_t tick_ms() = 0;
};

class SystemClock final : public Clock {
public:
    void sleep_ms(uint32_t ms) override;
    uint64_t tick_ms() override;
};

// Time moves only when someone sleeps. Several threads may sleep at once; each
// sleep simply advances the shared time by its own length.
class VirtualClock final : public Clock {
public:
    void sleep_ms(uint32_t ms) override;
    uint64_t tick_ms() override { return now_.load(); }
    void advance(uint64_t ms) { now_ += ms; }
    uint64_t slept_ms() const { return slept_.load(); }

private:
    std::atomic<uint64_t> now_{1000};
    std::atomic<uint64_t> slept_{0};
};

// The process-wide clock. Defaults to the system clock; tests install a
// VirtualClock. The caller keeps ownership of what it installs.
Clock& clock();
void setClock(Clock* c);

inline void sleep_ms(uint32_t ms) {
    clock().sleep_ms(ms);
}
inline uint64_t tick_ms() {
    return clock().tick_ms();
}

} // namespace orvex
