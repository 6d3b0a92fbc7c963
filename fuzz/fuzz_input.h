#pragma once

// Reads the fuzzer's bytes front to back; past the end everything is zero.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzin {

class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    size_t left() const { return empty() ? 0 : size_ - pos_; }
    uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
    // Up to `n` bytes (fewer at the end), the rest of `out` zero.
    template <size_t N> void bytes(std::array<uint8_t, N>& out, size_t n = N) {
        out.fill(0);
        for (size_t i = 0; i < n && i < N && !empty(); ++i)
            out[i] = data_[pos_++];
    }
    std::string rest() {
        std::string s(reinterpret_cast<const char*>(data_) + pos_, left());
        pos_ = size_;
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

} // namespace fuzzin

// A property of the code under test does not hold: a crash libFuzzer reports
// with the input that caused it.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);         \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
