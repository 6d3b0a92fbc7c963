#pragma once

// Session traces: JSON Lines, one HID event a line, described in
// docs/trace-format.md. The hex helpers used by the recorder and the replay,
// and the reader used by the replay and the tests. Plain C++, no Qt; the JSON
// itself is nlohmann-json's.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvex::trace {

inline constexpr const char* kFormatName = "orvex-trace";
inline constexpr int kFormatVersion = 1;
// The longest line the reader takes. A recorded line is a few hundred bytes
// (the header with its arguments a few kilobytes); a file without line breaks
// (`--replay /dev/zero`) must not be read into memory whole.
inline constexpr size_t kMaxLineBytes = 1 << 20;

// "3f4002..." for the bytes; bytes back from such text (nullopt when malformed).
std::string Hex(const uint8_t* data, size_t length);
std::optional<std::vector<uint8_t>> Unhex(const std::string& text);

// One event or header as it is written: members in the order they were set.
using Json = nlohmann::ordered_json;
// One line of JSON, bytes that are not UTF-8 written as U+FFFD rather than
// refused (device strings and arguments are whatever they are).
std::string Dump(const Json& value);

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
    const nlohmann::json* find(const std::string& key) const;
    nlohmann::json object_ = nlohmann::json::object();
};

struct Trace {
    Line header;
    std::vector<Line> events; // events[i] is event number i + 1
};

// Reads a trace and checks its header: format name and a version this program
// knows. False with a one-line `error` naming the file otherwise (a line
// longer than kMaxLineBytes included).
bool ReadTrace(const std::string& file, Trace& trace, std::string& error);

} // namespace orvex::trace
