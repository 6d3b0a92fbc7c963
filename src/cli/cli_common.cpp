#include "cli/cli_common.h"

#include <charconv>
#include <mutex>

#include <hidapi/hidapi.h>

#include "config/utility_config.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"

namespace orvex::cli {

bool parseInt(const std::string& text, int low, int high, int& value) {
    int v = 0;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || p != end || text.empty() || v < low || v > high)
        return false;
    value = v;
    return true;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

bool openAt(const std::string& path, std::optional<DeviceStatus>& status) {
    if (!OpenKeypadAtPath(path))
        return false;
    DeviceStatus s;
    if (ReadDeviceStatus(s) == 0)
        status = s;
    return true;
}

namespace {

// One line per keypad: its path and the serial number its status reports.
std::string keypadLines(const std::vector<std::string>& paths) {
    std::string lines;
    for (const auto& path : paths) {
        std::optional<DeviceStatus> status;
        const bool opened = openAt(path, status);
        lines += "\n  " + path + "\tserial " +
                 (!opened  ? std::string("? (cannot be opened)")
                  : status ? PrintableSerial(status->serialNumber, "")
                           : std::string("? (no status answer)"));
    }
    CloseDevice();
    return lines;
}

// --serial / --path: finds and opens the keypad asked for. The serial number
// is the one the keypad reports in its status (trailing spaces ignored); two
// keypads reporting it cannot be told apart.
int openSelected(const Context& c) {
    bool refused = false;
    std::vector<std::string> matches;
    for (const auto& path : KeypadCommandPaths()) {
        if (!c.path.empty() && path != c.path)
            continue;
        std::optional<DeviceStatus> status;
        if (!openAt(path, status)) {
            refused = true;
            continue;
        }
        if (!c.path.empty()) {
            // Both named: they must name the same keypad, or neither is used.
            if (c.serial.empty() || (status && trimmed(status->serialNumber) == trimmed(c.serial)))
                return EXIT_OK;
            CloseDevice();
            return c.fail(EXIT_USAGE,
                          "--serial " + c.serial + " and --path " + c.path +
                              " name two different keypads (the keypad at " + c.path +
                              " reports serial number " +
                              (status ? PrintableSerial(status->serialNumber) : std::string("?")) +
                              "); nothing was sent");
        }
        if (status && trimmed(status->serialNumber) == trimmed(c.serial))
            matches.push_back(path);
    }
    CloseDevice();
    if (matches.size() > 1)
        return c.fail(EXIT_USAGE, "more than one keypad reports serial number " + c.serial +
                                      "; name the one to use with --path:" + keypadLines(matches));
    if (matches.size() == 1) {
        std::optional<DeviceStatus> status;
        if (openAt(matches.front(), status))
            return EXIT_OK;
        refused = true;
    }
    const std::string which = c.path.empty() ? "serial number " + c.serial : "path " + c.path;
    return c.fail(EXIT_NO_KEYPAD, "no keypad with " + which +
                                      (refused ? " (a keypad present cannot be opened: "
                                                 "no permission, see the udev rule)"
                                               : ""));
}

} // namespace

int openKeypad(const Context& c, Pick pick) {
    if (!c.serial.empty() || !c.path.empty())
        return openSelected(c);
    if (pick == Pick::OnlyOne) {
        if (const std::vector<std::string> paths = KeypadCommandPaths(); paths.size() > 1)
            return c.fail(EXIT_USAGE,
                          "more than one keypad is attached; name the one to use with --serial "
                          "or --path:" +
                              keypadLines(paths));
    }
    if (RescanQuietly())
        return EXIT_OK;
    if (LastScanFoundButCouldNotOpen())
        return c.fail(EXIT_NO_KEYPAD,
                      "keypad found but it cannot be opened (no permission: see the udev rule)");
    return c.fail(EXIT_NO_KEYPAD, "no keypad found (USB 2047:09bf)");
}

int takeLock(const Context& c, ops::KeypadChange& change, const char* name) {
    if (const ops::Result r = change.takeLock("orvexctl"); !r.ok())
        return c.fail(EXIT_REFUSED, std::string(name) + ": " + r.text);
    return EXIT_OK;
}

int readStatus(const Context& c, DeviceStatus& s) {
    if (ReadDeviceStatus(s) != 0)
        return c.fail(EXIT_REFUSED, "unable to read the keypad's status");
    return EXIT_OK;
}

void prepareConfig(const Context& c) {
    PrepareConfigFileAt(c.dataHome);
}

std::string hex2(unsigned v) {
    static const char* digits = "0123456789ABCDEF";
    return {digits[(v >> 4) & 0xF], digits[v & 0xF]};
}

std::string tableText(const DeviceStatus& s) {
    std::string text;
    for (int k = 0; k + 1 < s.tableLength; k += 2) {
        if (!text.empty())
            text += ' ';
        text += hex2(s.keyCodes[static_cast<size_t>(k)]) + ":" +
                hex2(s.keyCodes[static_cast<size_t>(k) + 1]);
    }
    return text;
}

} // namespace orvex::cli
