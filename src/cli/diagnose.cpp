#include "cli/diagnose.h"

#include <grp.h>
#include <hidapi/hidapi.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_common.h"
#include "config/ini_file.h"
#include "config/utility_config.h"
#include "device/hid_backend.h"
#include "ops/firmware_upgrade.h"
#include "trace/hid_trace.h"

namespace orvex::cli {

namespace {

namespace fs = std::filesystem;

constexpr const char* kRuleName = "70-orvex-keypad.rules";

std::string narrow(const wchar_t* w) {
    std::string s;
    for (; w && *w; ++w)
        s += (*w >= 0x20 && *w < 0x7F) ? static_cast<char>(*w) : '?';
    return s;
}

std::string userName(uid_t uid) {
    const passwd* p = getpwuid(uid);
    return p ? p->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid) {
    const group* g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

// udev keeps the tags of a device node in its database under
// /run/udev/data/c<major>:<minor>: "G:" lines for the tags, "Q:" for the
// current ones.
std::string uaccessState(const struct stat& st) {
    std::ifstream db("/run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" +
                     std::to_string(minor(st.st_rdev)));
    if (!db)
        return "unknown (udev has no record of this node)";
    for (std::string line; std::getline(db, line);)
        if (line == "G:uaccess" || line == "Q:uaccess")
            return "applied";
    return "not applied (re-plug the keypad or run `udevadm trigger` after installing the rule)";
}

std::string nodeLine(const std::string& path) {
    struct stat st {};
    if (path.rfind("/dev/", 0) != 0 || ::stat(path.c_str(), &st) != 0)
        return "    node: none (not a device node on this system)\n";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    std::ostringstream o;
    o << "    node: owner " << userName(st.st_uid) << ", group " << groupName(st.st_gid)
      << ", mode " << mode << ", this user may "
      << (::access(path.c_str(), R_OK | W_OK) == 0 ? "open it" : "NOT open it") << "\n"
      << "    uaccess tag: " << uaccessState(st) << "\n";
    return o.str();
}

// Every one of `serials` (trailing padding dropped; shorter than four
// characters would hit unrelated text) as X's wherever it stands in `text`.
void maskSerials(std::string& text, const std::vector<std::string>& serials) {
    for (std::string serial : serials) {
        serial = trimmed(serial);
        if (serial.size() < 4)
            continue;
        const std::string shown = PrintableText(serial);
        for (const std::string& form : {serial, shown})
            for (size_t at = text.find(form); at != std::string::npos;
                 at = text.find(form, at + form.size()))
                text.replace(at, form.size(), form.size(), 'X');
    }
}

} // namespace

std::string DiagnoseVersions(const std::string& program) {
    std::ostringstream o;
    o << "program: " << program << " " << ORVEX_PROGRAM_VERSION << "\n"
      << "Qt: " << ORVEX_QT_VERSION << " (the version the windows are built with)\n"
      << "hidapi: " << hid_version_str() << "\n";
    utsname u{};
    if (uname(&u) == 0)
        o << "kernel: " << u.sysname << " " << u.release << " " << u.version << " " << u.machine
          << "\n";
    return o.str();
}

std::string DiagnoseUdevRule() {
    static const std::array<const char*, 5> folders = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                                       "/usr/lib/udev/rules.d", "/lib/udev/rules.d",
                                                       "/usr/local/lib/udev/rules.d"};
    std::string found;
    std::error_code ec;
    for (const char* folder : folders) {
        const fs::path rule = fs::path(folder) / kRuleName;
        if (fs::exists(rule, ec))
            found += (found.empty() ? "" : ", ") + rule.string();
    }
    return "udev rule " + std::string(kRuleName) + ": " +
           (found.empty() ? "not installed (see the README's USB permissions)" : found) + "\n";
}

std::string DiagnoseDevices() {
    std::ostringstream o;
    int count = 0;
    for (const auto& [pid, kind] :
         {std::pair<unsigned short, const char*>{0x09BF, "keypad"}, {0x0200, "loader"}}) {
        hid_device_info* list = hid_enumerate(0x2047, pid);
        for (hid_device_info* it = list; it; it = it->next, ++count) {
            o << kind << " 2047:" << (pid == 0x09BF ? "09bf" : "0200") << " interface "
              << it->interface_number << ": " << (it->path ? it->path : "") << "\n"
              << "    product: " << narrow(it->product_string) << ", release "
              << (it->release_number >> 8) << "." << std::hex << (it->release_number & 0xFF)
              << std::dec << "\n"
              << nodeLine(it->path ? it->path : "");
        }
        hid_free_enumeration(list);
    }
    if (!count)
        o << "no keypad (2047:09bf) or loader (2047:0200) present\n";
    return o.str();
}

std::string DiagnoseConfigFile(const std::string& dataHome) {
    if (dataHome.empty())
        return "configuration file: none (no data folder: HOME and XDG_DATA_HOME unset)\n";
    const std::string file = (fs::path(dataHome) / kConfigFolderName / kConfigFileName).string();
    std::string state;
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        state = "missing (created at the first start of the utility)";
    } else {
        try {
            if (!CIniFile::SectionExists(kConfigSection, file))
                state = "does not load: no [appSettings] section";
            else if (GetSettings("FirstUp", file) == "Yes")
                state = "loads; holds saved settings";
            else
                state = "loads; holds no saved settings (FirstUp is not Yes)";
        } catch (const IniFormatError& e) {
            state = "does not load: line " + std::to_string(e.line()) + " has no closing bracket";
        }
    }
    return "configuration file: " + file + "\n    " + state + "\n";
}

std::string DiagnoseUpgradeJournal() {
    return ops::DescribeUnfinishedUpgrade(" (`orvexctl resume` finishes it)");
}

// Looks only: the one exchange is a status read, and the configuration file
// is read, never created.
int CmdDiagnose(const Context& c, const std::vector<std::string>& a) {
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
        r << "    firmware-version: " << PrintableText(s.firmwareVersion) << "\n"
          << "    serial-number: "
          << (c.maskSerial ? std::string(s.serialNumber.size(), 'X')
                           : PrintableText(s.serialNumber))
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
    r << "\n" << DiagnoseConfigFile(c.dataHome) << DiagnoseUpgradeJournal();

    std::string report = r.str();
    if (c.maskSerial) {
        // The trace masks its own; the status read, the journal's keypad and
        // the --serial asked for appear in the text as well.
        std::vector<std::string> serials = {c.serial};
        if (rc == EXIT_OK)
            serials.push_back(s.serialNumber);
        serials.push_back(ops::UnfinishedUpgradeSerialNumber());
        maskSerials(report, serials);
    }
    if (output.empty()) {
        c.out << report;
        return EXIT_OK;
    }
    std::ofstream file(output, std::ios::trunc);
    if (!(file << report) || !file.flush())
        return c.fail(EXIT_FILE, "diagnose: could not write " + output);
    c.out << "diagnosis written to " << output << "\n";
    return EXIT_OK;
}

} // namespace orvex::cli
