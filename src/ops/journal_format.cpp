#include "ops/journal_format.h"

#include <cstdint>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "device/device_commands.h"

namespace orvex::firmware {

using nlohmann::json;

namespace {

// 2: "download_started" added; a journal of format 1 is read as one whose
// download may have started.
constexpr int kJournalFormat = 2;
bool bytesOfHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2)
        return false;
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long v = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2)
            return false;
        bytes += static_cast<char>(v);
    }
    return true;
}

// An integer in [low, high]; throws json::exception otherwise. Read as
// 64 bits first, so 4294967301 is refused rather than taken as 5.
int inRange(const json& v, const std::string& what, int low, int high) {
    if (!v.is_number_integer())
        throw json::other_error::create(501, what + " is not a whole number", &v);
    if (v.is_number_unsigned()) {
        if (v.get<uint64_t>() > static_cast<uint64_t>(high))
            throw json::other_error::create(501, what + " out of range", &v);
    } else {
        const int64_t n = v.get<int64_t>();
        if (n < low || n > high)
            throw json::other_error::create(501, what + " out of range", &v);
    }
    return static_cast<int>(v.get<int64_t>());
}

int number(const json& j, const char* key, int low, int high) {
    return inRange(j.at(key), key, low, high);
}

std::string textAt(const json& j, const char* key) {
    const json& v = j.at(key);
    if (!v.is_string())
        throw json::other_error::create(501, std::string(key) + " is not a text", &v);
    return v.get<std::string>();
}

} // namespace

std::string UpgradeJournalText(const UpgradeJournal& journal) {
    const KeypadSettingsHandOver& s = journal.settings;
    json j = {
        {"format", kJournalFormat},
        {"program", journal.program},
        {"started_at", journal.startedAt},
        {"usb_port", s.usbPort},
        {"serial_number", PrintableText(s.serialNumber)},
        {"serial_number_hex", HexOf(s.serialNumber)},
        {"settings_read", s.captured},
        {"options", s.no_of_keys},
        {"keypad_type", s.keypad_table},
        {"led_brightness", s.led_brightness},
        {"buzzer", s.buzzer_enable},
        {"buzzer_period_index", s.buzzer_period},
        {"key_codes", s.key_codes},
        {"image", journal.imagePath},
        {"image_sha256", journal.imageSha256},
        {"download_started", journal.downloadStarted},
    };
    // A file name need not be UTF-8; the image path is only a reminder.
    return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool ParseUpgradeJournal(const std::string& text, UpgradeJournal& journal, std::string& why) {
    try {
        const json j = json::parse(text);
        if (!j.is_object())
            throw json::other_error::create(501, "not a JSON object", &j);
        const int format = number(j, "format", 1, kJournalFormat);
        journal = UpgradeJournal{};
        KeypadSettingsHandOver& s = journal.settings;
        journal.program = textAt(j, "program");
        journal.startedAt = textAt(j, "started_at");
        journal.imagePath = textAt(j, "image");
        journal.imageSha256 = textAt(j, "image_sha256");
        s.usbPort = textAt(j, "usb_port");
        if (!bytesOfHex(textAt(j, "serial_number_hex"), s.serialNumber) ||
            s.serialNumber.size() > SERIAL_LENGTH)
            throw json::other_error::create(501, "serial_number_hex is not 12 bytes in hex", &j);
        const json& read = j.at("settings_read");
        if (!read.is_boolean())
            throw json::other_error::create(501, "settings_read is not true or false", &j);
        s.captured = read.get<bool>();
        s.no_of_keys = number(j, "options", 0, 255);
        s.keypad_table = number(j, "keypad_type", 0, 255);
        s.led_brightness = number(j, "led_brightness", 0, 255);
        s.buzzer_enable = number(j, "buzzer", 0, 255);
        s.buzzer_period = number(j, "buzzer_period_index", -1, 254);
        const json& codes = j.at("key_codes");
        if (!codes.is_array() || codes.size() != s.key_codes.size())
            throw json::other_error::create(501, "key_codes is not 20 numbers", &j);
        for (size_t i = 0; i < s.key_codes.size(); ++i)
            s.key_codes[i] = inRange(codes[i], "key_codes", 0, 255);
        if (format == 1) {
            journal.downloadStarted = true;
        } else {
            const json& started = j.at("download_started");
            if (!started.is_boolean())
                throw json::other_error::create(501, "download_started is not true or false", &j);
            journal.downloadStarted = started.get<bool>();
        }
        return true;
    } catch (const json::exception& e) {
        why = e.what();
        return false;
    }
}

std::string HexOf(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

} // namespace orvex::firmware
