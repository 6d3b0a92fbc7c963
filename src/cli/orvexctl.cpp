#include "cli/orvexctl.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>

#include <hidapi/hidapi.h>

#include "bsl/bsl430.h"
#include "cli/diagnose.h"
#include "config/ini_file.h"
#include "config/utility_config.h"
#include "device/device_commands.h"
#include "device/hid_backend.h"
#include "device/hid_link.h"
#include "firmware/image_checks.h"
#include "firmware/upgrade_sequence.h"
#include "platform/clock.h"
#include "platform/prompter.h"
#include "trace/hid_trace.h"

namespace orvex::cli {

namespace {

namespace fs = std::filesystem;

// Messages of the shared core (warnings such as "Unable to set option..")
// become one line each on stderr; questions are answered No.
class CliPrompter final : public Prompter {
public:
    explicit CliPrompter(std::ostream& err) : err_(err) {}
    MsgAnswer message(const std::string& text, const std::string&, MsgButtons buttons,
                      MsgIcon) override {
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        err_ << "orvexctl: " << line << "\n";
        ++count;
        return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
    }
    std::optional<std::string> openFile(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> pickFolder(const std::string&) override { return std::nullopt; }
    int count = 0;

private:
    std::ostream& err_;
};

struct Context {
    std::ostream& out;
    std::ostream& err;
    std::string dataHome;
    // --serial / --path: the keypad to use when several are plugged in.
    std::string serial;
    std::string path;
    bool maskSerial = false;

    int fail(int code, const std::string& message) const {
        err << "orvexctl: " << message << "\n";
        return code;
    }
};

const char* const kUsage =
    "usage: orvexctl [--serial S | --path P] [--trace FILE [--mask-serial]] <command> "
    "[arguments]\n"
    "\n"
    "Configure a Halden Orvex keypad from scripts.\n"
    "\n"
    "commands:\n"
    "  status [--json]              print every field of the keypad's status\n"
    "  set SETTING VALUE            change one running setting:\n"
    "                                 led 0-9, jack-led 0-9, buzzer on|off,\n"
    "                                 buzzer-period 1-9, table default|alternate|customise\n"
    "  save                         keep the running settings across power cycles and\n"
    "                               store them in the configuration file\n"
    "  restore [FILE]               send the settings of the configuration file (or FILE)\n"
    "  export DIR [--force]         copy the configuration file to DIR/USBUtilityIllumCfg.ini\n"
    "  import FILE                  restore from FILE (named USBUtilityIllumCfg.ini) and\n"
    "                               make it the configuration file\n"
    "  table get                    print the active key code table\n"
    "  table set PAIRS              load the customised table: MM:UU pairs in hex\n"
    "  factory-reset                restore the keypad's factory settings\n"
    "  flash [--allow-mass-erase] IMAGE  replace the firmware with a TI-TXT image\n"
    "  list                         list keypads (serial, path, firmware) and loaders\n"
    "  diagnose [--output FILE]     write a report to attach to a bug report\n"
    "\n"
    "options:\n"
    "  --serial S, --path P         use the keypad with this serial number or path\n"
    "  --trace FILE                 record every HID event in FILE (also ORVEX_TRACE=FILE)\n"
    "  --mask-serial                write the serial number as X's in the recording\n"
    "  --replay FILE                (orvexctl-virtual) answer from a recorded session\n"
    "\n"
    "exit codes: 0 ok, 2 bad arguments or input, 3 no keypad, 4 command refused,\n"
    "            5 firmware verification failed, 6 file error\n"
    "`orvexctl <command> --help` describes one command.\n";

const std::map<std::string, std::string>& commandHelp() {
    static const std::map<std::string, std::string> help = {
        {"status", "usage: orvexctl status [--json]\n"
                   "Reads the keypad's status and prints every field; --json prints one JSON "
                   "object.\n"},
        {"set", "usage: orvexctl set SETTING VALUE\n"
                "  led VALUE            key LED brightness, 0-9\n"
                "  jack-led VALUE       jack LED brightness, 0-9\n"
                "  buzzer on|off        buzzer on or off (also 1|0)\n"
                "  buzzer-period VALUE  buzzer period, 1-9\n"
                "  table NAME           active code table: default, alternate or customise "
                "(0-2)\n"
                "The change is running only until `orvexctl save`.\n"},
        {"save", "usage: orvexctl save\n"
                 "Stores the running settings as the keypad's power-up settings and writes them "
                 "to the configuration file.\n"},
        {"restore", "usage: orvexctl restore [FILE]\n"
                    "Sends the settings saved in the configuration file (or FILE) back to the "
                    "keypad, after a factory reset. The file is checked first: a file with an "
                    "unreadable value sends nothing.\n"},
        {"export", "usage: orvexctl export DIR [--force]\n"
                   "Copies the configuration file to DIR/USBUtilityIllumCfg.ini; --force "
                   "replaces an existing copy.\n"},
        {"import", "usage: orvexctl import FILE\n"
                   "FILE must be named USBUtilityIllumCfg.ini and hold an [appSettings] section. "
                   "Its settings are sent to the keypad and it replaces the configuration file.\n"},
        {"table", "usage: orvexctl table get\n"
                  "       orvexctl table set PAIRS\n"
                  "Key code table as one MM:UU pair per key, key 1 first: MM the modifier "
                  "(00, E0-E7), UU the HID usage, both hex. `set` loads the customised table of "
                  "the active layout (table type 2, 5 or 8) and needs 10, 12 or 16 pairs to "
                  "match.\n"},
        {"factory-reset", "usage: orvexctl factory-reset\n"
                          "Restores the keypad's factory settings and waits for it to come "
                          "back.\n"},
        {"flash", "usage: orvexctl flash [--allow-mass-erase] IMAGE\n"
                  "Switches the keypad into its bootstrap loader, downloads and verifies the "
                  "TI-TXT IMAGE and sends the previous settings back. Progress goes to "
                  "stderr.\n"
                  "The loader's RAM loader (RAM_BSL.Text, RAM_BSL_VERSION) and the keypad's "
                  "password (password.Text) are read from "
                  "$XDG_DATA_HOME/HaldenInterface/loader, then from "
                  "<XDG_DATA_DIRS>/orvex-config/loader. Without a password the loader "
                  "mass-erases the keypad first, which needs --allow-mass-erase. After an "
                  "upgrade the image's vector table is kept there as the keypad's next "
                  "password.\n"},
        {"list", "usage: orvexctl list\n"
                 "Lists the keypads (2047:09bf) with serial number, path and firmware version, "
                 "and the bootstrap loaders (2047:0200) present.\n"},
        {"diagnose", "usage: orvexctl diagnose [--output FILE] [--mask-serial]\n"
                     "Writes one report to attach to a bug report: versions, the keypads and "
                     "loaders present with their device nodes and the udev rule, the status "
                     "read with its HID trace, and the configuration file. Changes no "
                     "setting.\n"},
    };
    return help;
}

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

// The command interfaces of the keypads present, in hidapi's order.
std::vector<std::string> keypadPaths() {
    std::vector<std::string> paths;
    hid_device_info* list = hid_enumerate(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
    for (hid_device_info* it = list; it; it = it->next)
        if (it->interface_number == DEVICE_INTERFACE && it->path)
            paths.emplace_back(it->path);
    hid_free_enumeration(list);
    return paths;
}

// Opens the keypad at `path` as hid_handle (the scan's own settings) and reads
// its status; false when it cannot be opened. `status` is set when read.
bool openAt(const std::string& path, std::optional<DeviceStatus>& status) {
    std::lock_guard lock(link_mutex());
    if (hid_handle) {
        hid_exit_safely(hid_handle);
        hid_handle = nullptr;
    }
    hid_handle = hid_open_path(path.c_str());
    if (!hid_handle)
        return false;
    hid_set_nonblocking(hid_handle, 1);
    DeviceStatus s;
    if (ReadDeviceStatus(s) == 0)
        status = s;
    return true;
}

// --serial / --path: finds and opens the keypad asked for. The serial number
// is the one the keypad reports in its status (trailing spaces ignored).
int openSelected(const Context& c) {
    bool refused = false;
    for (const auto& path : keypadPaths()) {
        if (!c.path.empty() && path != c.path)
            continue;
        std::optional<DeviceStatus> status;
        if (!openAt(path, status)) {
            refused = true;
            continue;
        }
        if (!c.path.empty() || (status && trimmed(status->serialNumber) == trimmed(c.serial)))
            return EXIT_OK;
    }
    CloseDevice();
    const std::string which = c.path.empty() ? "serial number " + c.serial : "path " + c.path;
    return c.fail(EXIT_NO_KEYPAD, "no keypad with " + which +
                                      (refused ? " (a keypad present cannot be opened: "
                                                 "no permission, see the udev rule)"
                                               : ""));
}

int openKeypad(const Context& c) {
    if (!c.serial.empty() || !c.path.empty())
        return openSelected(c);
    {
        std::lock_guard lock(link_mutex());
        if (hid_handle) {
            hid_exit_safely(hid_handle);
            hid_handle = nullptr;
        }
        char manufacturer[SCAN_TEXT_SIZE] = {};
        char product[SCAN_TEXT_SIZE] = {};
        hid_handle = ScanForUSBDevice_a(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, manufacturer, product);
    }
    if (hid_handle)
        return EXIT_OK;
    if (LastScanFoundButCouldNotOpen())
        return c.fail(EXIT_NO_KEYPAD,
                      "keypad found but it cannot be opened (no permission: see the udev rule)");
    return c.fail(EXIT_NO_KEYPAD, "no keypad found (USB 2047:09bf)");
}

int readStatus(const Context& c, DeviceStatus& s) {
    if (ReadDeviceStatus(s) != 0)
        return c.fail(EXIT_REFUSED, "unable to read the keypad's status");
    return EXIT_OK;
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

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20 || ch >= 0x7F) {
            out += "\\u00" + hex2(ch); // 8-bit text, each byte one character
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char ch : s)
        out += (ch >= 0x20 && ch < 0x7F) ? static_cast<char>(ch) : '?';
    return out;
}

int cmdStatus(const Context& c, const std::vector<std::string>& a) {
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
        std::ostringstream o;
        o << "{\"led_brightness\":" << int(s.ledBrightness)
          << ",\"jack_led_brightness\":" << int(s.jackLedBrightness)
          << ",\"buzzer\":" << int(s.buzzer) << ",\"options\":" << int(s.options)
          << ",\"ways_code\":" << s.waysCode() << ",\"buzzer_period\":" << int(s.buzzerPeriod)
          << ",\"keypad_type\":" << int(s.keypadType) << ",\"key_codes\":[";
        for (int i = 0; i < s.tableLength; ++i)
            o << (i ? "," : "") << int(s.keyCodes[static_cast<size_t>(i)]);
        o << "],\"firmware_version\":" << jsonString(s.firmwareVersion)
          << ",\"serial_number\":" << jsonString(s.serialNumber) << "}\n";
        c.out << o.str();
        return EXIT_OK;
    }
    c.out << "led-brightness: " << int(s.ledBrightness) << "\n"
          << "jack-led-brightness: " << int(s.jackLedBrightness) << "\n"
          << "buzzer: " << (s.buzzer ? "on" : "off") << "\n"
          << "buzzer-period: " << int(s.buzzerPeriod) << "\n"
          << "keypad-type: " << int(s.keypadType) << "\n"
          << "options: 0x" << hex2(s.options) << "\n"
          << "ways-code: " << s.waysCode() << "\n"
          << "firmware-version: " << printable(s.firmwareVersion) << "\n"
          << "serial-number: " << printable(s.serialNumber) << "\n"
          << "key-codes: " << tableText(s) << "\n";
    return EXIT_OK;
}

int cmdSet(const Context& c, const std::vector<std::string>& a) {
    if (a.size() != 2)
        return c.fail(EXIT_USAGE, "set: expected SETTING VALUE (see `orvexctl set --help`)");
    const std::string& what = a[0];
    const std::string& text = a[1];
    uint8_t command = 0;
    int value = 0;
    bool ok = false;
    if (what == "led" || what == "jack-led") {
        command = what == "led" ? SetLedBrightness : SetJackLedBrightness;
        ok = parseInt(text, 0, 9, value);
    } else if (what == "buzzer") {
        command = SetBuzzer;
        ok = true;
        if (text == "on" || text == "1")
            value = 1;
        else if (text == "off" || text == "0")
            value = 0;
        else
            ok = false;
    } else if (what == "buzzer-period") {
        command = SetBuzzerPeriod;
        ok = parseInt(text, 1, 9, value);
    } else if (what == "table") {
        command = SetKeypadType;
        static const std::map<std::string, int> names = {
            {"default", 0}, {"alternate", 1}, {"customise", 2}, {"customize", 2}};
        if (auto it = names.find(text); it != names.end()) {
            value = it->second;
            ok = true;
        } else {
            ok = parseInt(text, 0, 2, value);
        }
    } else {
        return c.fail(EXIT_USAGE, "set: unknown setting '" + what + "'");
    }
    if (!ok)
        return c.fail(EXIT_USAGE, "set " + what + ": value '" + text + "' is out of range");
    if (int rc = openKeypad(c))
        return rc;
    if (SendDeviceCommandByte(command, static_cast<uint8_t>(value)) != LINK_OK)
        return c.fail(EXIT_REFUSED, "set " + what + ": the keypad refused the value");
    return EXIT_OK;
}

void prepareConfig(const Context& c) {
    PrepareConfigFileAt(c.dataHome);
}

int cmdSave(const Context& c, const std::vector<std::string>& a) {
    if (!a.empty())
        return c.fail(EXIT_USAGE, "save: takes no arguments");
    if (int rc = openKeypad(c))
        return rc;
    if (SendDeviceCommand(WriteDefaults) != LINK_OK)
        return c.fail(EXIT_REFUSED, "save: the keypad refused to store its settings");
    DeviceStatus s;
    if (int rc = readStatus(c, s))
        return rc;
    prepareConfig(c);
    if (FileName.empty())
        return c.fail(EXIT_FILE, "save: no data folder for the configuration file");
    ConfigSnapshot snap;
    snap.keypadType = s.keypadType;
    snap.ledBrightness = s.ledBrightness;
    snap.jackLedBrightness = s.jackLedBrightness;
    snap.buzzer = s.buzzer;
    snap.buzzerPeriodIndex = s.buzzerPeriodIndex();
    snap.options = s.options;
    std::copy_n(s.keyCodes.begin(), snap.codeTable.size(), snap.codeTable.begin());
    snap.serialNumber = s.serialNumber;
    if (!SaveSnapshot(snap))
        return c.fail(EXIT_FILE, "save: could not write " + FileName);
    c.out << "saved to " << FileName << "\n";
    return EXIT_OK;
}

// The restore shared by `restore` and `import`; a file it cannot read sends
// nothing and is reported as bad input.
int restoreFrom(const Context& c, const std::string& file, const char* name) {
    try {
        switch (load_data_from_file(file)) {
        case RestoreResult::Restored:
            return EXIT_OK;
        case RestoreResult::NotSaved:
            return c.fail(EXIT_FILE, std::string(name) + ": " + file +
                                         " holds no saved settings (FirstUp is not Yes)");
        case RestoreResult::Stopped:
        case RestoreResult::TableRefused:
            return c.fail(EXIT_REFUSED, std::string(name) + ": the keypad refused a setting");
        }
    } catch (const ConfigValueError& e) {
        return c.fail(EXIT_USAGE, std::string(name) + ": " + e.what());
    } catch (const IniFormatError& e) {
        return c.fail(EXIT_USAGE, std::string(name) + ": " + file + " line " +
                                      std::to_string(e.line()) + " has no closing bracket");
    }
    return EXIT_REFUSED;
}

int cmdRestore(const Context& c, const std::vector<std::string>& a) {
    if (a.size() > 1)
        return c.fail(EXIT_USAGE, "restore: expected at most one FILE");
    prepareConfig(c);
    const std::string file = a.empty() ? FileName : a[0];
    std::error_code ec;
    if (file.empty() || !fs::is_regular_file(file, ec))
        return c.fail(EXIT_FILE, "restore: no configuration file '" + file + "'");
    if (int rc = openKeypad(c))
        return rc;
    return restoreFrom(c, file, "restore");
}

int cmdExport(const Context& c, const std::vector<std::string>& a) {
    bool force = false;
    std::vector<std::string> rest;
    for (const auto& arg : a) {
        if (arg == "--force")
            force = true;
        else
            rest.push_back(arg);
    }
    if (rest.size() != 1)
        return c.fail(EXIT_USAGE, "export: expected DIR");
    std::error_code ec;
    if (!fs::is_directory(rest[0], ec))
        return c.fail(EXIT_USAGE, "export: '" + rest[0] + "' is not a folder");
    prepareConfig(c);
    if (!fs::is_regular_file(FileName, ec))
        return c.fail(EXIT_FILE, "export: no configuration file to export");
    const std::string target = (fs::path(rest[0]) / kExchangeFileName).string();
    if (fs::exists(target, ec) && !force)
        return c.fail(EXIT_FILE, "export: " + target + " already exists (use --force)");
    if (!CopyFileReplacing(FileName, target))
        return c.fail(EXIT_FILE, "export: could not write " + target);
    c.out << "exported to " << target << "\n";
    return EXIT_OK;
}

int cmdImport(const Context& c, const std::vector<std::string>& a) {
    if (a.size() != 1)
        return c.fail(EXIT_USAGE, "import: expected FILE");
    const std::string& file = a[0];
    if (fs::path(file).filename().string() != kExchangeFileName)
        return c.fail(EXIT_USAGE,
                      std::string("import: the file must be named ") + kExchangeFileName);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        return c.fail(EXIT_FILE, "import: cannot read '" + file + "'");
    try {
        if (!CIniFile::SectionExists(kConfigSection, file))
            return c.fail(EXIT_USAGE, "import: no [appSettings] section in " + file);
    } catch (const IniFormatError& e) {
        return c.fail(EXIT_USAGE, "import: " + file + " line " + std::to_string(e.line()) +
                                      " has no closing bracket");
    }
    prepareConfig(c);
    if (int rc = openKeypad(c))
        return rc;
    if (int rc = restoreFrom(c, file, "import"); rc != EXIT_OK && rc != EXIT_FILE)
        return rc; // an unreadable or refused file is not copied
    if (!CopyFileReplacing(file, FileName))
        return c.fail(EXIT_FILE, "import: could not replace " + FileName);
    return EXIT_OK;
}

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

int cmdTable(const Context& c, const std::vector<std::string>& a) {
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
    if (int rc = openKeypad(c))
        return rc;
    DeviceStatus s;
    if (int rc = readStatus(c, s))
        return rc;
    if (!IsCustomisedType(s.keypadType))
        return c.fail(EXIT_REFUSED, "table set: the active table (type " +
                                        std::to_string(s.keypadType) +
                                        ") is not a customised table; use `set table customise`");
    if (static_cast<int>(bytes.size()) != s.tableLength)
        return c.fail(EXIT_USAGE, "table set: this layout has " +
                                      std::to_string(s.tableLength / 2) + " keys, got " +
                                      std::to_string(bytes.size() / 2) + " pairs");
    // The same bytes the editors send: 20 for the small layouts, otherwise 32
    // (the 12-key table padded with zeros).
    bytes.resize(s.tableLength == 20 ? 20 : 32, 0);
    if (SendDeviceCommand(LoadCodeTable, bytes.data(), static_cast<uint32_t>(bytes.size())) !=
        LINK_OK)
        return c.fail(EXIT_REFUSED, "table set: the keypad refused the table");
    return EXIT_OK;
}

int cmdFactoryReset(const Context& c, const std::vector<std::string>& a) {
    if (!a.empty())
        return c.fail(EXIT_USAGE, "factory-reset: takes no arguments");
    if (int rc = openKeypad(c))
        return rc;
    (void)SendDeviceCommand(FactoryReset); // the keypad restarts; its answer means nothing
    sleep_ms(3000);
    if (int rc = openKeypad(c))
        return c.fail(rc, "factory-reset: the keypad did not come back; power it off and on");
    DeviceStatus s;
    return readStatus(c, s);
}

int cmdList(const Context& c, const std::vector<std::string>& a) {
    if (!a.empty())
        return c.fail(EXIT_USAGE, "list: takes no arguments");
    auto narrow = [](const wchar_t* w) {
        std::string s;
        for (; w && *w; ++w)
            s += static_cast<char>(static_cast<uint32_t>(*w) & 0xFF);
        return printable(s);
    };
    int found = 0;
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
            c.out << kind << "\t2047:" << (pid == 0x09BF ? "09bf" : "0200") << "\t" << path << "\t"
                  << product;
            // A keypad's serial number and firmware version come from its status.
            std::optional<DeviceStatus> status;
            if (pid != 0x09BF)
                c.out << "\n";
            else if (!openAt(path, status))
                c.out << "\tserial ?\tfirmware ? (cannot be opened: no permission?)\n";
            else if (!status)
                c.out << "\tserial ?\tfirmware ? (no status answer)\n";
            else
                c.out << "\tserial " << printable(trimmed(status->serialNumber)) << "\tfirmware "
                      << printable(status->firmwareVersion) << "\n";
            ++found;
        }
        CloseDevice();
    }
    if (!found)
        c.out << "no keypad or loader present\n";
    return EXIT_OK;
}

// Looks only: the one exchange is a status read, and the configuration file
// is read, never created.
int cmdDiagnose(const Context& c, const std::vector<std::string>& a) {
    std::string output;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--output" && i + 1 < a.size())
            output = a[++i];
        else
            return c.fail(EXIT_USAGE, "diagnose: unknown argument '" + a[i] + "'");
    }
    std::ostringstream r;
    r << "Orvex keypad diagnosis\n\n"
      << DiagnoseVersions(HidBackendName() == std::string("virtual") ? "orvexctl-virtual"
                                                                     : "orvexctl")
      << DiagnoseUdevRule() << "\ndevices:\n"
      << DiagnoseDevices() << "\nstatus read:\n";

    std::ostringstream status, notes;
    Context quiet{status, notes, c.dataHome, c.serial, c.path, c.maskSerial};
    trace::BeginCapture(c.maskSerial);
    int rc = openKeypad(quiet);
    DeviceStatus s;
    if (rc == EXIT_OK)
        rc = readStatus(quiet, s);
    const std::vector<std::string> lines = trace::EndCapture();
    if (rc == EXIT_OK) {
        r << "    firmware-version: " << printable(s.firmwareVersion) << "\n"
          << "    serial-number: "
          << (c.maskSerial ? std::string(s.serialNumber.size(), 'X') : printable(s.serialNumber))
          << "\n"
          << "    keypad-type: " << int(s.keypadType) << ", options: 0x" << hex2(s.options)
          << ", led-brightness: " << int(s.ledBrightness)
          << ", jack-led-brightness: " << int(s.jackLedBrightness)
          << ", buzzer: " << (s.buzzer ? "on" : "off") << ", buzzer-period: " << int(s.buzzerPeriod)
          << "\n"
          << "    key-codes: " << tableText(s) << "\n";
    } else {
        std::string why = notes.str();
        std::erase(why, '\n');
        if (why.rfind("orvexctl: ", 0) == 0)
            why.erase(0, 10);
        r << "    failed: " << why << "\n";
    }
    r << "trace of the status read:\n";
    for (const auto& line : lines)
        r << "    " << line << "\n";
    r << "\n" << DiagnoseConfigFile(c.dataHome);

    if (output.empty()) {
        c.out << r.str();
        return EXIT_OK;
    }
    std::ofstream file(output, std::ios::trunc);
    if (!(file << r.str()) || !file.flush())
        return c.fail(EXIT_FILE, "diagnose: could not write " + output);
    c.out << "diagnosis written to " << output << "\n";
    return EXIT_OK;
}

// Waits for the keypad's bootstrap loader (on its port, when known) to
// enumerate after EnterBootloader.
bool waitForLoader(const firmware::LoaderIds& ids) {
    for (int waited = 0; waited <= 10000; waited += 100) {
        uint16_t vid = 0, pid = 0;
        if (ids.Numbers(vid, pid) && bsl::CountDevicesOnPort(vid, pid, ids.usbPort) > 0)
            return true;
        sleep_ms(100);
    }
    return false;
}

bool KeypadPresent() {
    hid_device_info* list = hid_enumerate(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
    const bool found = list != nullptr;
    hid_free_enumeration(list);
    return found;
}

int cmdFlash(const Context& c, const std::vector<std::string>& a) {
    std::vector<std::string> args = a;
    const auto allow = std::find(args.begin(), args.end(), "--allow-mass-erase");
    const bool allowMassErase = allow != args.end();
    if (allowMassErase)
        args.erase(allow);
    if (args.size() != 1)
        return c.fail(EXIT_USAGE, "flash: expected [--allow-mass-erase] IMAGE");
    const std::string& image = args[0];
    if (image.size() > firmware::kMaxPathBytes)
        return c.fail(EXIT_USAGE, "flash: the image path is longer than " +
                                      std::to_string(firmware::kMaxPathBytes) + " bytes");
    // An image that could not be downloaded and started is refused before the
    // keypad leaves for its loader.
    if (const std::string why = CheckFirmwareImage(image); !why.empty())
        return c.fail(EXIT_FILE, "flash: " + why);

    firmware::LoaderIds ids = firmware::LoaderIds::FromResources();
    firmware::KeypadSettingsHandOver settings;
    // A loader already attached may be the keypad's, left by an interrupted
    // upgrade, or another device's: a running keypad comes first.
    const bool loaderWaiting = firmware::CountLoaderDevices(ids) > 0;
    const bool keypadRunning = !loaderWaiting || KeypadPresent();
    if (keypadRunning) {
        // The usual case: the keypad is running; keep its settings and switch it over.
        if (int rc = openKeypad(c))
            return rc;
        ids.usbPort = firmware::OpenKeypadUsbPort();
        if (loaderWaiting && ids.usbPort.empty())
            return c.fail(EXIT_USAGE, std::string("flash: ") + firmware::kLoaderNotToldApartText);
        DeviceStatus s;
        if (ReadDeviceStatus(s) == 0) {
            settings.captured = true;
            settings.keypad_table = s.keypadType;
            settings.led_brightness = s.ledBrightness;
            settings.buzzer_enable = s.buzzer;
            settings.buzzer_period = s.buzzerPeriodIndex();
            settings.no_of_keys = s.options;
            std::copy_n(s.keyCodes.begin(), settings.key_codes.size(), settings.key_codes.begin());
            settings.serialNumber = s.serialNumber;
        }
    }
    // Everything that can stop the upgrade is settled before the keypad leaves.
    const firmware::LoaderFolders folders = firmware::LoaderFolders::ForDataHome(c.dataHome);
    firmware::UpgradePlan plan;
    std::string why;
    if (!firmware::PlanUpgrade(folders, settings.serialNumber, plan, why))
        return c.fail(EXIT_FILE, "flash: " + why);
    if (plan.massEraseFirst && !allowMassErase)
        return c.fail(EXIT_USAGE, "flash: no password image (" +
                                      std::string(firmware::kPasswordFile) +
                                      ") is known for this keypad, so its loader would "
                                      "mass-erase it first; put its password into " +
                                      folders.user + " or add --allow-mass-erase");
    if (keypadRunning) {
        (void)SendDeviceCommand(EnterBootloader); // the keypad leaves without answering
        CloseDevice();
        if (!waitForLoader(ids))
            return c.fail(EXIT_NO_KEYPAD, "flash: no bootstrap loader appeared (USB 2047:0200)");
    }

    firmware::UpgradeSequence upgrade(
        [&c](int percent, const std::string& text) {
            std::string line = text;
            std::erase(line, '\r');
            std::istringstream lines(line);
            for (std::string part; std::getline(lines, part);)
                if (!part.empty())
                    c.err << "["
                          << (percent < 10    ? "  "
                              : percent < 100 ? " "
                                              : "")
                          << percent << "%] " << part << "\n";
        },
        ids, plan.images);
    upgrade.keepPasswordAs = plan.keepPasswordAs;
    if (!upgrade.Run(image))
        return c.fail(EXIT_VERIFY, "flash: the upgrade failed; the keypad stays in its loader");

    switch (firmware::RestoreSettingsAfterUpgrade(settings)) {
    case firmware::RestoreResult::Restored:
        return EXIT_OK;
    case firmware::RestoreResult::NothingCaptured:
        return EXIT_OK; // the core has said the settings could not be sent back
    case firmware::RestoreResult::KeypadMissing:
        return c.fail(EXIT_NO_KEYPAD, "flash: the keypad did not come back after the upgrade");
    case firmware::RestoreResult::Stopped:
        break;
    }
    return c.fail(EXIT_REFUSED, "flash: the keypad refused a setting of the restore");
}

} // namespace

std::string DefaultDataHome() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return xdg;
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/share";
    return {};
}

int Run(const std::vector<std::string>& commandLine, std::ostream& out, std::ostream& err,
        const std::string& dataHome) {
    Context c{out, err, dataHome, {}, {}, false};
    std::vector<std::string> args;
    for (size_t i = 0; i < commandLine.size(); ++i) {
        const std::string& arg = commandLine[i];
        if (arg == "--serial" || arg == "--path") {
            if (i + 1 >= commandLine.size() || commandLine[i + 1].empty())
                return c.fail(EXIT_USAGE, arg + " needs a value");
            (arg == "--serial" ? c.serial : c.path) = commandLine[++i];
        } else if (arg == "--mask-serial") {
            c.maskSerial = true;
        } else {
            args.push_back(arg);
        }
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? EXIT_USAGE : EXIT_OK;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const auto& help = commandHelp();
    if (help.find(command) == help.end())
        return c.fail(EXIT_USAGE, "unknown command '" + command + "' (see `orvexctl --help`)");
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
        out << help.at(command);
        return EXIT_OK;
    }

    CliPrompter messages(err);
    Prompter& previous = prompter();
    setPrompter(&messages);
    static const std::map<std::string,
                          std::function<int(const Context&, const std::vector<std::string>&)>>
        commands = {
            {"status", cmdStatus},     {"set", cmdSet},
            {"save", cmdSave},         {"restore", cmdRestore},
            {"export", cmdExport},     {"import", cmdImport},
            {"table", cmdTable},       {"factory-reset", cmdFactoryReset},
            {"flash", cmdFlash},       {"list", cmdList},
            {"diagnose", cmdDiagnose},
        };
    const int rc = commands.at(command)(c, rest);
    CloseDevice();
    setPrompter(&previous);
    return rc;
}

} // namespace orvex::cli
