#include "trace_format.h"

#include <cctype>
#include <charconv>
#include <fstream>

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

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            static const char* digits = "0123456789abcdef";
            out += "\\u00";
            out += digits[ch >> 4];
            out += digits[ch & 0x0F];
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

std::string Line::text(const std::string& key) const {
    auto it = texts_.find(key);
    return it == texts_.end() ? std::string() : it->second;
}

int64_t Line::number(const std::string& key, int64_t fallback) const {
    auto it = numbers_.find(key);
    return it == numbers_.end() ? fallback : it->second;
}

bool Line::flag(const std::string& key) const {
    return number(key) != 0;
}

std::vector<std::string> Line::list(const std::string& key) const {
    auto it = lists_.find(key);
    return it == lists_.end() ? std::vector<std::string>() : it->second;
}

bool Line::has(const std::string& key) const {
    return texts_.count(key) || numbers_.count(key) || lists_.count(key);
}

struct Line::Cursor {
    const std::string& s;
    size_t i = 0;
    void skipSpace() {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
    }
    bool take(char c) {
        skipSpace();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
    bool string(std::string& out) {
        if (!take('"'))
            return false;
        out.clear();
        while (i < s.size() && s[i] != '"') {
            char c = s[i++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i >= s.size())
                return false;
            c = s[i++];
            if (c == 'u') {
                unsigned code = 0;
                if (i + 4 > s.size() ||
                    std::from_chars(s.data() + i, s.data() + i + 4, code, 16).ptr !=
                        s.data() + i + 4)
                    return false;
                i += 4;
                if (code > 0xFF)
                    return false; // the recorder escapes control characters only
                out += static_cast<char>(code);
            } else if (c == 'n') {
                out += '\n';
            } else if (c == 't') {
                out += '\t';
            } else if (c == 'r') {
                out += '\r';
            } else {
                out += c;
            }
        }
        return take('"');
    }
};

bool Line::parse(const std::string& line, std::string& error) {
    texts_.clear();
    numbers_.clear();
    lists_.clear();
    Cursor c{line};
    error = "not a JSON object";
    if (!c.take('{'))
        return false;
    if (c.take('}')) {
        c.skipSpace();
        if (c.i != line.size())
            return false;
        error.clear();
        return true;
    }
    return parseMembers(c, line, error);
}

bool Line::parseMembers(Cursor& c, const std::string& line, std::string& error) {
    do {
        std::string key;
        if (!c.string(key) || !c.take(':'))
            return false;
        c.skipSpace();
        if (c.i >= line.size())
            return false;
        const char first = line[c.i];
        {
            if (first == '"') {
                std::string value;
                if (!c.string(value))
                    return false;
                texts_[key] = value;
            } else if (first == '[') {
                ++c.i;
                std::vector<std::string> values;
                if (!c.take(']')) {
                    do {
                        std::string value;
                        if (!c.string(value))
                            return false;
                        values.push_back(value);
                    } while (c.take(','));
                    if (!c.take(']'))
                        return false;
                }
                lists_[key] = values;
            } else if (line.compare(c.i, 4, "true") == 0 || line.compare(c.i, 5, "false") == 0) {
                numbers_[key] = first == 't';
                c.i += first == 't' ? 4 : 5;
            } else {
                // In place: copying the rest of the line for each number would
                // make a long line cost its length squared.
                int64_t value = 0;
                const char* begin = line.data() + c.i;
                const auto [end, ec] = std::from_chars(begin, line.data() + line.size(), value);
                if (ec != std::errc())
                    return false;
                numbers_[key] = value;
                c.i += static_cast<size_t>(end - begin);
            }
        }
    } while (c.take(','));
    if (!c.take('}'))
        return false;
    c.skipSpace();
    if (c.i != line.size())
        return false;
    error.clear();
    return true;
}

bool ReadTrace(const std::string& file, Trace& trace, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "cannot read the trace " + file;
        return false;
    }
    trace = {};
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        Line parsed;
        std::string why;
        if (!parsed.parse(line, why)) {
            error = file + " line " + std::to_string(number + 1) + ": " + why;
            return false;
        }
        if (number++ == 0)
            trace.header = parsed;
        else
            trace.events.push_back(parsed);
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
