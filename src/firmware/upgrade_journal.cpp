#include "firmware/upgrade_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "config/atomic_file.h"
#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_identity.h"

namespace orvex::firmware {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int kJournalFormat = 1;
constexpr const char* kJournalName = "upgrade-journal.json";

std::string hexOf(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

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

// A number in [low, high] at `key`; throws json::exception otherwise.
int number(const json& j, const char* key, int low, int high) {
    const int v = j.at(key).get<int>();
    if (v < low || v > high)
        throw json::other_error::create(501, std::string(key) + " out of range", &j);
    return v;
}

std::string heldBy(int fd) {
    char text[128] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    std::string holder = got > 0 ? std::string(text, static_cast<size_t>(got)) : std::string();
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0'))
        holder.pop_back();
    // "PID PROGRAM"
    const auto space = holder.find(' ');
    if (space == std::string::npos)
        return "another program";
    return holder.substr(space + 1) + ", process " + holder.substr(0, space);
}

} // namespace

std::string StateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state && fs::path(state).is_absolute())
        return (fs::path(state) / "orvex-config").string();
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    return (fs::path(home) / ".local" / "state" / "orvex-config").string();
}

std::string UpgradeJournalPath() {
    const std::string folder = StateFolder();
    return folder.empty() ? std::string() : (fs::path(folder) / kJournalName).string();
}

bool WriteUpgradeJournal(const UpgradeJournal& journal, std::string& error) {
    const std::string path = UpgradeJournalPath();
    if (path.empty()) {
        error = "no folder for the upgrade journal (XDG_STATE_HOME and HOME are unset)";
        return false;
    }
    const KeypadSettingsHandOver& s = journal.settings;
    json j = {
        {"format", kJournalFormat},
        {"program", journal.program},
        {"started_at", journal.startedAt},
        {"usb_port", s.usbPort},
        {"serial_number", PrintableText(s.serialNumber)},
        {"serial_number_hex", hexOf(s.serialNumber)},
        {"settings_read", s.captured},
        {"options", s.no_of_keys},
        {"keypad_type", s.keypad_table},
        {"led_brightness", s.led_brightness},
        {"buzzer", s.buzzer_enable},
        {"buzzer_period_index", s.buzzer_period},
        {"key_codes", s.key_codes},
        {"image", journal.imagePath},
        {"image_sha256", journal.imageSha256},
    };
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    // A file name need not be UTF-8; the image path is only a reminder.
    const std::string text = j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    if (!ReplaceFileContents(path, text)) {
        error = "cannot write the upgrade journal " + path;
        return false;
    }
    return true;
}

std::optional<UpgradeJournal> ReadUpgradeJournal(std::string& error) {
    error.clear();
    const std::string path = UpgradeJournalPath();
    std::error_code ec;
    if (path.empty() || !fs::exists(path, ec))
        return std::nullopt;
    std::string text;
    if (!ReadWholeFile(path, text)) {
        error = "the upgrade journal " + path + " cannot be read";
        return std::nullopt;
    }
    try {
        const json j = json::parse(text);
        if (j.at("format").get<int>() != kJournalFormat)
            throw json::other_error::create(501, "unknown format", &j);
        UpgradeJournal journal;
        KeypadSettingsHandOver& s = journal.settings;
        journal.program = j.at("program").get<std::string>();
        journal.startedAt = j.at("started_at").get<std::string>();
        journal.imagePath = j.at("image").get<std::string>();
        journal.imageSha256 = j.at("image_sha256").get<std::string>();
        s.usbPort = j.at("usb_port").get<std::string>();
        if (!bytesOfHex(j.at("serial_number_hex").get<std::string>(), s.serialNumber))
            throw json::other_error::create(501, "serial_number_hex is not hex", &j);
        s.captured = j.at("settings_read").get<bool>();
        s.no_of_keys = number(j, "options", 0, 255);
        s.keypad_table = number(j, "keypad_type", 0, 255);
        s.led_brightness = number(j, "led_brightness", 0, 255);
        s.buzzer_enable = number(j, "buzzer", 0, 255);
        s.buzzer_period = number(j, "buzzer_period_index", -1, 254);
        const json& codes = j.at("key_codes");
        if (!codes.is_array() || codes.size() != s.key_codes.size())
            throw json::other_error::create(501, "key_codes is not 20 numbers", &j);
        for (size_t i = 0; i < s.key_codes.size(); ++i) {
            s.key_codes[i] = codes[i].get<int>();
            if (s.key_codes[i] < 0 || s.key_codes[i] > 255)
                throw json::other_error::create(501, "key_codes out of range", &j);
        }
        return journal;
    } catch (const json::exception& e) {
        error = "the upgrade journal " + path + " cannot be read (" + e.what() +
                "); remove it to give the unfinished upgrade up";
        return std::nullopt;
    }
}

void RemoveUpgradeJournal() {
    const std::string path = UpgradeJournalPath();
    std::error_code ec;
    if (!path.empty())
        fs::remove(path, ec);
}

std::string DescribeUpgradeJournal(const UpgradeJournal& j, const std::string& indent) {
    std::string text = indent + "keypad: serial number " +
                       PrintableSerial(j.settings.serialNumber) + ", USB port " +
                       (j.settings.usbPort.empty() ? "unknown" : j.settings.usbPort) + "\n";
    text += indent + "started: " + j.startedAt + " by " + j.program + "\n";
    text +=
        indent + "image: " +
        (j.imagePath.empty() ? "not chosen yet"
                             : PrintableText(j.imagePath) + " (SHA-256 " + j.imageSha256 + ")") +
        "\n";
    text += indent + "settings to send back: " +
            (j.settings.captured
                 ? "options " + std::to_string(j.settings.no_of_keys) + ", keypad type " +
                       std::to_string(j.settings.keypad_table) + ", LED " +
                       std::to_string(j.settings.led_brightness) + ", buzzer " +
                       std::to_string(j.settings.buzzer_enable) + ", buzzer period " +
                       std::to_string(j.settings.buzzer_period + 1) + ", 20 code table bytes"
                 : std::string("none (they could not be read)")) +
            "\n";
    return text;
}

std::string UtcNowText() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string Sha256Of(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return hexOf(std::string(reinterpret_cast<const char*>(digest), length));
}

JournalKeypad FindJournalKeypad(const UpgradeJournal& journal, const LoaderIds& ids) {
    const std::string& port = journal.settings.usbPort;
    const std::vector<std::string> loaders = LoaderUsbPorts(ids);
    const std::vector<std::string> keypads = KeypadCommandPaths();
    if (port.empty()) {
        if (loaders.size() == 1 && keypads.empty())
            return JournalKeypad::InLoader;
        if (loaders.empty() && keypads.size() == 1)
            return JournalKeypad::Running;
        return JournalKeypad::Absent;
    }
    for (const auto& p : loaders)
        if (p == port)
            return JournalKeypad::InLoader;
    for (const auto& path : keypads)
        if (KeypadUsbPort(path) == port)
            return JournalKeypad::Running;
    return JournalKeypad::Absent;
}

bool OpenJournalKeypad(const UpgradeJournal& journal, std::optional<DeviceStatus>& status) {
    status.reset();
    if (!RescanForKeypad({"", journal.settings.usbPort}, false))
        return false;
    DeviceStatus s;
    if (ReadDeviceStatus(s) == 0)
        status = s;
    return true;
}

bool KeypadMayTakeJournal(const UpgradeJournal& journal,
                          const std::optional<DeviceStatus>& status) {
    if (!status)
        return false;
    const std::string reported = PrintableSerial(status->serialNumber, "");
    if (!reported.empty() && status->serialNumber == journal.settings.serialNumber)
        return true;
    // What new firmware reports before anything of its own is sent back.
    return status->options == kFreshFirmwareOptions &&
           (reported.empty() || reported == kFreshFirmwareSerial);
}

std::string JournalKeypadMismatch(const UpgradeJournal& journal,
                                  const std::optional<DeviceStatus>& status) {
    const std::string& port = journal.settings.usbPort;
    const std::string keypad =
        port.empty() ? "The keypad attached" : "The keypad on USB port " + port;
    const std::string reports = status ? "reports serial number " +
                                             PrintableSerial(status->serialNumber) + " (options " +
                                             std::to_string(status->options) + ")"
                                       : "does not answer with its status";
    return keypad + " " + reports + ", but the unfinished upgrade was of the keypad with serial " +
           "number " + PrintableSerial(journal.settings.serialNumber);
}

// ------------------------------------------------------------ the lock

std::string UpgradeLock::LockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && fs::path(runtime).is_absolute())
        return (fs::path(runtime) / "orvex-config-upgrade.lock").string();
    const std::string state = StateFolder();
    if (!state.empty())
        return (fs::path(state) / "upgrade.lock").string();
    return "/tmp/orvex-config-upgrade-" + std::to_string(::getuid()) + ".lock";
}

std::unique_ptr<UpgradeLock> UpgradeLock::Acquire(const std::string& program,
                                                  std::string& refusal) {
    const std::string path = LockPath();
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        refusal = "The upgrade lock " + path + " cannot be opened: " + std::strerror(errno) + ".";
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        refusal = errno == EWOULDBLOCK ? "Another firmware upgrade is running (" + heldBy(fd) + ")."
                                       : "The upgrade lock " + path +
                                             " cannot be taken: " + std::strerror(errno) + ".";
        ::close(fd);
        return nullptr;
    }
    // Who holds it, for the one that is refused.
    const std::string holder = std::to_string(::getpid()) + " " + program + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, holder.data(), holder.size(), 0) != static_cast<ssize_t>(holder.size())) {
        // The lock holds all the same; only the name is missing.
    }
    return std::unique_ptr<UpgradeLock>(new UpgradeLock(fd));
}

UpgradeLock::~UpgradeLock() {
    // Emptied first, so a stale name is never shown.
    (void)::ftruncate(fd_, 0);
    ::close(fd_);
}

} // namespace orvex::firmware
