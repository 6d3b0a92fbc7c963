#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace orvex::systest {

// Polls `done` every 20 ms until it holds; false when `timeout` ends first.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace orvex::systest
