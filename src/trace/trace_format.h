#pragma once

// Session traces: JSON Lines, one HID event a line, described in
// docs/trace-format.md. The writer helpers used by the recorder and the reader
// used by the replay and the tests. Plain C++, no Qt.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvex::trace {

inline constexpr const char* kFormatName = "orvex-trace";
inline constexpr int kFormatVersion = 1;

// "3f4002..." for the bytes; bytes back from such text (nullopt when malformed).
std::string Hex(const uint8_t* data, size_t length);
std::optional<std::vector<uint8_t>> Unhex(const std::string& text);
// A JSON string literal: quotes, backslashes and control characters escaped,
// other bytes passed through (UTF-8 stays UTF-8).
std::string Quote(const std::string& text);

// One line of a trace: an object whose values are strings, integers, booleans
// or arrays of strings (nothing deeper).
class Line {
public:
    std::string text(const std::string& key) const;
    int64_t number(const std::string& key, int64_t fallback = 0) const;
    bool flag(const std::string& key) const;
    std::vector<std::string> list(const std::string& key) const;
    bool has(const std::string& key) const;

    // Parses one line; false with `error` when it is not such an object.
    bool parse(const std::string& line, std::string& error);

private:
    struct Cursor;
    bool parseMembers(Cursor& c, const std::string& line, std::string& error);
    std::map<std::string, std::string> texts_;
    std::map<std::string, int64_t> numbers_;
    std::map<std::string, std::vector<std::string>> lists_;
};

struct Trace {
    Line header;
    std::vector<Line> events; // events[i] is event number i + 1
};

// Reads a trace and checks its header: format name and a version this program
// knows. False with a one-line `error` naming the file otherwise.
bool ReadTrace(const std::string& file, Trace& trace, std::string& error);

} // namespace orvex::trace
