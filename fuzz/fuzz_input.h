#pragma once

// Reads the fuzzer's bytes front to back; past the end everything is zero.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

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

// A file the code under test reads the input from, on a memory file system
// when there is one; named after the fuzzer and its process, removed when the
// fuzzer exits normally. `name` is the same on every call of one fuzzer.
inline const std::string& workFile(const char* name) {
    struct File {
        explicit File(const char* n) {
            namespace fs = std::filesystem;
            std::error_code ec;
            const fs::path base =
                fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
            const std::string file(n);
            const auto dot = file.find('.');
            path = (base / ("orvex-" + file.substr(0, dot) + "-" + std::to_string(::getpid()) +
                            (dot == std::string::npos ? "" : file.substr(dot))))
                       .string();
        }
        ~File() {
            std::error_code ec;
            std::filesystem::remove(path, ec);
        }
        std::string path;
    };
    static const File f(name);
    return f.path;
}

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
