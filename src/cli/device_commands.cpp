// orvexctl commands that read or change the running keypad: status, set,
// table, factory-reset, list.

#include <cctype>
#include <map>
#include <sstream>

#include <hidapi/hidapi.h>

#include "cli/cli_common.h"
#include "device/hid_link.h"

namespace orvex::cli {

namespace {

bool parseTable(const std::string& text, std::vector<uint8_t>& bytes) {
    std::istringstream in(text);
    std::string pair;
    auto hexByte = [](const std::string& s, uint8_t& b) {
        if (s.size() != 2 || !std::isxdigit(static_cast<unsigned char>(s[0])) ||
            !std::isxdigit(static_cast<unsigned char>(s[1])))
            return false;
        b = static_cast<uint8_t>(std::stoi(s, nullptr, 16));
        return true;
    };
    while (in >> pair) {
        const auto colon = pair.find(':');
        uint8_t modifier = 0, usage = 0;
        if (colon == std::string::npos || !hexByte(pair.substr(0, colon), modifier) ||
            !hexByte(pair.substr(colon + 1), usage))
            return false;
        if (modifier != 0 && (modifier < 0xE0 || modifier > 0xE7))
            return false;
        bytes.push_back(modifier);
        bytes.push_back(usage);
    }
    return true;
}

} // namespace

std::string Latin1ToUtf8(const std::string& text) {
    std::string out;
    for (unsigned char ch : text) {
        if (ch < 0x80) {
            out += static_cast<char>(ch);
        } else {
            out += static_cast<char>(0xC0 | (ch >> 6));
            out += static_cast<char>(0x80 | (ch & 0x3F));
        }
    }
    return out;
}

const char* KeypadTypeName(int keypadType) {
    static const char* const names[] = {"default", "alternate", "customise"};
    return keypadType >= 0 && keypadType <= 8 ? names[keypadType % 3] : "unknown";
}

nlohmann::ordered_json StatusJson(const DeviceStatus& s) {
    std::vector<int> codes(s.keyCodes.begin(), s.keyCodes.begin() + s.tableLength);
    return {{"led_brightness", s.ledBrightness},
            {"jack_led_brightness", s.jackLedBrightness},
            {"buzzer", s.buzzer != 0},
            {"buzzer_period", s.buzzerPeriod},
            {"options", s.options},
            {"ways_code", s.waysCode()},
            {"keypad_type", s.keypadType},
            {"keypad_type_name", KeypadTypeName(s.keypadType)},
            {"keys", s.tableLength / 2},
            {"key_codes", codes},
            {"firmware_version", Latin1ToUtf8(s.firmwareVersion)},
            {"serial_number", Latin1ToUtf8(s.serialNumber)}};
}

int CmdStatus(const Context& c, const std::vector<std::string>& a) {
    bool json = false;
    for (const auto& arg : a) {
        if (arg == "--json")
            json = true;
        else
            return c.fail(EXIT_USAGE, "status: unknown argument '" + arg + "'");
    }
    if (int rc = openKeypad(c))
        return rc;
    DeviceStatus s;
    if (int rc = readStatus(c, s))
        return rc;
    if (json) {
        c.out << StatusJson(s).dump() << "\n";
        return EXIT_OK;
    }
    c.out << "led-brightness: " << int(s.ledBrightness) << "\n"
          << "jack-led-brightness: " << int(s.jackLedBrightness) << "\n"
          << "buzzer: " << (s.buzzer ? "on" : "off") << "\n"
          << "buzzer-period: " << int(s.buzzerPeriod) << "\n"
          << "keypad-type: " << int(s.keypadType) << "\n"
          << "options: 0x" << hex2(s.options) << "\n"
          << "ways-code: " << s.waysCode() << "\n"
          << "firmware-version: " << PrintableText(s.firmwareVersion) << "\n"
          << "serial-number: " << PrintableText(s.serialNumber) << "\n"
          << "key-codes: " << tableText(s) << "\n";
    return EXIT_OK;
}

int CmdSet(const Context& c, const std::vector<std::string>& a) {
    if (a.size() != 2)
        return c.fail(EXIT_USAGE, "set: expected SETTING VALUE (see `orvexctl set --help`)");
    const std::string& what = a[0];
    const std::string& text = a[1];
    ops::Setting setting = ops::Setting::LedBrightness;
    int value = 0;
    bool ok = false;
    if (what == "led" || what == "jack-led") {
        setting = what == "led" ? ops::Setting::LedBrightness : ops::Setting::JackLedBrightness;
    } else if (what == "buzzer") {
        setting = ops::Setting::Buzzer;
        ok = true;
        if (text == "on")
            value = 1;
        else if (text == "off")
            value = 0;
        else
            ok = false;
    } else if (what == "buzzer-period") {
        setting = ops::Setting::BuzzerPeriod;
    } else if (what == "table") {
        setting = ops::Setting::KeypadType;
        static const std::map<std::string, int> names = {
            {"default", 0}, {"alternate", 1}, {"customise", 2}, {"customize", 2}};
        if (auto it = names.find(text); it != names.end()) {
            value = it->second;
            ok = true;
        }
    } else {
        return c.fail(EXIT_USAGE, "set: unknown setting '" + what +
                                      "' (valid: led, jack-led, buzzer, buzzer-period, table)");
    }
    const ops::SettingRange range = ops::RangeOf(setting);
    if (!ok)
        ok = parseInt(text, range.low, range.high, value);
    if (!ok) {
        const std::string numbers = std::to_string(range.low) + " to " + std::to_string(range.high);
        const std::string valid = setting == ops::Setting::Buzzer ? "on, off, 1, 0"
                                  : setting == ops::Setting::KeypadType
                                      ? "default, alternate, customise, or " + numbers
                                      : numbers;
        return c.fail(EXIT_USAGE,
                      "set " + what + ": '" + text + "' is not valid (valid: " + valid + ")");
    }
    ops::SettingChange change;
    if (int rc = takeLock(c, change, "set"))
        return rc;
    if (int rc = openKeypad(c))
        return rc;
    if (const ops::Result r = change.plan("orvexctl", setting, value); !r.ok())
        return c.fail(EXIT_USAGE, "set " + what + ": " + r.text);
    if (!change.run().ok())
        return c.fail(EXIT_REFUSED, "set " + what + ": the keypad refused the value");
    return EXIT_OK;
}

int CmdTable(const Context& c, const std::vector<std::string>& a) {
    if (a.empty() || (a[0] != "get" && a[0] != "set"))
        return c.fail(EXIT_USAGE, "table: expected `get` or `set PAIRS`");
    if (a[0] == "get") {
        if (a.size() != 1)
            return c.fail(EXIT_USAGE, "table get: takes no arguments");
        if (int rc = openKeypad(c))
            return rc;
        DeviceStatus s;
        if (int rc = readStatus(c, s))
            return rc;
        c.out << tableText(s) << "\n";
        return EXIT_OK;
    }
    std::string text;
    for (size_t i = 1; i < a.size(); ++i)
        text += a[i] + " ";
    std::vector<uint8_t> bytes;
    if (!parseTable(text, bytes) || bytes.empty())
        return c.fail(EXIT_USAGE, "table set: expected MM:UU hex pairs with MM 00 or E0-E7");
    ops::TableLoad load;
    if (int rc = takeLock(c, load, "table set"))
        return rc;
    if (int rc = openKeypad(c))
        return rc;
    if (const ops::Result r = load.plan("orvexctl", std::move(bytes)); !r.ok()) {
        if (load.refusal() == ops::TableLoad::Refusal::NotCustomised)
            return c.fail(EXIT_REFUSED, "table set: " + r.text + "; use `set table customise`");
        return c.fail(load.refusal() == ops::TableLoad::Refusal::WrongLength ? EXIT_USAGE
                                                                             : EXIT_REFUSED,
                      "table set: " + r.text);
    }
    if (!load.run().ok())
        return c.fail(EXIT_REFUSED, "table set: the keypad refused the table");
    return EXIT_OK;
}

int CmdFactoryReset(const Context& c, const std::vector<std::string>& a) {
    if (!a.empty())
        return c.fail(EXIT_USAGE, "factory-reset: takes no arguments");
    ops::FactoryResetChange reset;
    if (int rc = takeLock(c, reset, "factory-reset"))
        return rc;
    if (int rc = openKeypad(c, Pick::OnlyOne))
        return rc;
    if (const ops::Result r = reset.plan("orvexctl"); !r.ok())
        return c.fail(EXIT_USAGE, "factory-reset: " + r.text);
    const ops::Result r = reset.run();
    if (r.outcome == ops::Outcome::NoKeypad)
        return c.fail(EXIT_NO_KEYPAD, "factory-reset: " + r.text);
    if (!r.ok())
        return c.fail(EXIT_REFUSED, r.text);
    return EXIT_OK;
}

int CmdList(const Context& c, const std::vector<std::string>& a) {
    bool json = false;
    for (const auto& arg : a) {
        if (arg == "--json")
            json = true;
        else
            return c.fail(EXIT_USAGE, "list: unknown argument '" + arg + "'");
    }
    auto narrow = [](const wchar_t* w) {
        std::string s;
        for (; w && *w; ++w)
            s += static_cast<char>(static_cast<uint32_t>(*w) & 0xFF);
        return PrintableText(s);
    };
    nlohmann::ordered_json found = nlohmann::ordered_json::array();
    for (const auto& [pid, kind] :
         {std::pair<unsigned short, const char*>{0x09BF, "keypad"}, {0x0200, "loader"}}) {
        std::vector<std::pair<std::string, std::string>> devices; // path, product
        hid_device_info* list = hid_enumerate(0x2047, pid);
        for (hid_device_info* it = list; it; it = it->next)
            // One line per device: the keypad's command interface, any loader interface.
            if (it->path && (pid != 0x09BF || it->interface_number == DEVICE_INTERFACE))
                devices.emplace_back(it->path, narrow(it->product_string));
        hid_free_enumeration(list);
        for (const auto& [path, product] : devices) {
            nlohmann::ordered_json d = {{"kind", kind},
                                        {"usb_id", pid == 0x09BF ? "2047:09bf" : "2047:0200"},
                                        {"path", Latin1ToUtf8(path)},
                                        {"product", Latin1ToUtf8(product)}};
            // A keypad's serial number and firmware version come from its status.
            std::optional<DeviceStatus> status;
            std::string problem;
            if (pid == 0x09BF) {
                d["serial_number"] = nullptr;
                d["firmware_version"] = nullptr;
                if (!openAt(path, status))
                    problem = "cannot be opened: no permission?";
                else if (!status)
                    problem = "no status answer";
                else {
                    d["serial_number"] = Latin1ToUtf8(PrintableSerial(status->serialNumber, ""));
                    d["firmware_version"] = Latin1ToUtf8(PrintableText(status->firmwareVersion));
                }
                d["problem"] =
                    problem.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(problem);
            }
            if (!json) {
                c.out << kind << "\t" << d["usb_id"].get<std::string>() << "\t" << path << "\t"
                      << product;
                if (pid != 0x09BF)
                    c.out << "\n";
                else if (!status)
                    c.out << "\tserial ?\tfirmware ? (" << problem << ")\n";
                else
                    c.out << "\tserial " << PrintableSerial(status->serialNumber, "")
                          << "\tfirmware " << PrintableText(status->firmwareVersion) << "\n";
            }
            found.push_back(d);
        }
        CloseDevice();
    }
    if (json)
        c.out << found.dump() << "\n";
    if (found.empty())
        return c.fail(EXIT_NO_KEYPAD, "list: no keypad or loader present");
    return EXIT_OK;
}

} // namespace orvex::cli
