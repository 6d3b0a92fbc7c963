#include "trace_format.h"

#include <cctype>
#include <fstream>
#include <limits>

namespace orvex::trace {

std::string Hex(const uint8_t* data, size_t length) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::optional<std::vector<uint8_t>> Unhex(const std::string& text) {
    if (text.size() % 2)
        return std::nullopt;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2) {
        const auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        };
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

std::string Dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const nlohmann::json* Line::find(const std::string& key) const {
    const auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
}

std::string Line::text(const std::string& key) const {
    const auto* v = find(key);
    return v && v->is_string() ? v->get<std::string>() : std::string();
}

int64_t Line::number(const std::string& key, int64_t fallback) const {
    const auto* v = find(key);
    if (!v)
        return fallback;
    if (v->is_boolean())
        return v->get<bool>() ? 1 : 0;
    return v->is_number_integer() ? v->get<int64_t>() : fallback;
}

bool Line::flag(const std::string& key) const {
    return number(key) != 0;
}

std::vector<std::string> Line::list(const std::string& key) const {
    const auto* v = find(key);
    return v && v->is_array() ? v->get<std::vector<std::string>>() : std::vector<std::string>();
}

bool Line::has(const std::string& key) const {
    return find(key) != nullptr;
}

bool Line::parse(const std::string& line, std::string& error) {
    object_ = nlohmann::json::object();
    nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        error = "not a JSON object";
        return false;
    }
    for (const auto& [key, value] : parsed.items()) {
        bool fits = value.is_string() || value.is_boolean() || value.is_number_integer();
        // Integers are 64-bit signed: a larger unsigned one would read back wrong.
        if (value.is_number_unsigned() &&
            value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            fits = false;
        if (value.is_array()) {
            fits = true;
            for (const auto& item : value)
                fits = fits && item.is_string();
        }
        if (!fits) {
            error =
                "the value of \"" + key + "\" is not a string, integer, boolean or list of strings";
            return false;
        }
    }
    object_ = std::move(parsed);
    error.clear();
    return true;
}

namespace {

// One line without its line break, at most kMaxLineBytes long. False at the
// end of the file; `tooLong` when a line goes past the bound (the rest of the
// file is not read).
bool readBoundedLine(std::istream& in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    std::streambuf* buf = in.rdbuf();
    for (;;) {
        const int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof())
            return !line.empty();
        if (c == '\n')
            return true;
        if (line.size() == kMaxLineBytes) {
            tooLong = true;
            return true;
        }
        line += static_cast<char>(c);
    }
}

} // namespace

bool ReadTrace(const std::string& file, Trace& trace, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read the trace " + file;
        return false;
    }
    trace = {};
    std::string line;
    bool tooLong = false;
    int number = 0;
    for (int lineNumber = 1; readBoundedLine(in, line, tooLong); ++lineNumber) {
        if (tooLong) {
            error = file + " line " + std::to_string(lineNumber) + " is longer than " +
                    std::to_string(kMaxLineBytes) + " bytes: not a session trace";
            return false;
        }
        if (line.empty())
            continue;
        Line parsed;
        std::string why;
        if (!parsed.parse(line, why)) {
            error = file + " line " + std::to_string(lineNumber) + ": " + why;
            return false;
        }
        if (number++ == 0)
            trace.header = std::move(parsed);
        else
            trace.events.push_back(std::move(parsed));
    }
    if (number == 0 || trace.header.text("format") != kFormatName) {
        error =
            file + " is not an Orvex session trace (no \"format\":\"" + kFormatName + "\" header)";
        return false;
    }
    const int64_t version = trace.header.number("version", -1);
    if (!trace.header.has("version")) {
        error = file + " has no version in its header";
        return false;
    }
    if (version != kFormatVersion) {
        error = file + " is a trace of version " + std::to_string(version) +
                "; this program reads version " + std::to_string(kFormatVersion) + " only";
        return false;
    }
    return true;
}

} // namespace orvex::trace
