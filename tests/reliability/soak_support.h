#pragma once

// Shared by the soaks: a seeded random source that can be repeated, a clock
// that runs scheduled events in virtual time, and an independent reading of the
// response frame to judge what the link accepted.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace orvex::test {

// A number from the environment (ORVEX_SOAK_SEED, ORVEX_SOAK_ROUNDS...), so a
// failing run can be repeated exactly or a longer one started by hand.
inline uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    return end && *end == '\0' ? v : fallback;
}

class Random {
public:
    explicit Random(uint64_t seed) : gen_(seed) {}
    // Uniform in [lo, hi].
    int64_t range(int64_t lo, int64_t hi) {
        return std::uniform_int_distribution<int64_t>(lo, hi)(gen_);
    }
    bool chance(double p) { return std::bernoulli_distribution(p)(gen_); }
    template <class T> const T& pick(const std::vector<T>& v) {
        return v[static_cast<size_t>(range(0, static_cast<int64_t>(v.size()) - 1))];
    }

private:
    std::mt19937_64 gen_;
};

// Virtual time that also carries out events at given moments, so a keypad can
// be unplugged while an exchange is waiting for it. Single-threaded use.
class EventClock final : public Clock {
public:
    void sleep_ms(uint32_t ms) override {
        now_ += ms;
        runDue();
    }
    uint64_t tick_ms() override { return now_; }
    void advance(uint64_t ms) {
        now_ += ms;
        runDue();
    }
    void at(uint64_t when, std::function<void()> fn) { events_.emplace(when, std::move(fn)); }
    void clearEvents() { events_.clear(); }

private:
    void runDue() {
        while (!events_.empty() && events_.begin()->first <= now_) {
            auto fn = std::move(events_.begin()->second);
            events_.erase(events_.begin());
            fn();
        }
    }
    uint64_t now_ = 1000;
    std::multimap<uint64_t, std::function<void()>> events_;
};

// The response frame as the report layout defines it, read without the link's
// code: size byte at most 64, STX, data length 1..55 (digits other than 0-9 and
// A-F count as 0), result byte 0, ETX and the XOR checksum in place.
struct FrameView {
    bool valid = false;
    int command = -1;
    std::vector<uint8_t> payload;
};

inline int LenientHex(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

inline FrameView ReadFrame(const uint8_t* r) {
    FrameView f;
    if (r[1] > 64 || r[2] != 0x02)
        return f;
    const int n = LenientHex(r[5]) * 16 + LenientHex(r[6]);
    if (n < 1 || n > 55 || r[7] != 0 || r[7 + n] != 0x03)
        return f;
    uint8_t sum = 0;
    for (int i = 2; i <= 7 + n; ++i)
        sum ^= r[i];
    if (r[8 + n] != sum)
        return f;
    f.valid = true;
    f.command = LenientHex(r[3]) * 16 + LenientHex(r[4]);
    f.payload.assign(r + 8, r + 7 + n);
    return f;
}

} // namespace orvex::test
